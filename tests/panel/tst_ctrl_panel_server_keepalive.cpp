// The shared 15 s keepalive of a panel port, in real time.
#include <QElapsedTimer>
#include <QtTest>

#include "ctrl_panel_server.h"
#include "panel_client.h"

using namespace panel_test;

class tst_ctrl_panel_server_keepalive : public QObject
{
    Q_OBJECT

private slots:
    void silence_drops_one_connection();
};

// Each frame restarts the one timer of the port; when it runs out, only the first connection
// of the table is closed.
void tst_ctrl_panel_server_keepalive::silence_drops_one_connection()
{
    const int port = free_port();
    Ctrl_panel_server server(port);
    PanelClient a, b;
    QVERIFY(a.greet(port));
    QVERIFY(b.greet(port));
    const QByteArray alive = hex("0000000b000000000100 00");
    a.send(alive);
    QCOMPARE(b.take(11).size(), 11);
    QTest::qWait(8000);
    b.send(alive);
    QCOMPARE(a.take(11).size(), 11);
    QElapsedTimer since_last_frame;
    since_last_frame.start();

    // Past 15 s from start-up and from the first frame, but not from the last one.
    QTest::qWait(14000);
    QCOMPARE(a.socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(b.socket.state(), QAbstractSocket::ConnectedState);

    QTest::ignoreMessage(QtDebugMsg, "keepalive disconnect");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^disconnected: \".*127\\.0\\.0\\.1\"$"));
    QVERIFY(QTest::qWaitFor([&] {
        return a.socket.state() != QAbstractSocket::ConnectedState
            || b.socket.state() != QAbstractSocket::ConnectedState;
    }, 3000));
    QVERIFY(since_last_frame.elapsed() >= 14900);
    QTest::qWait(300);
    const int open = int(a.socket.state() == QAbstractSocket::ConnectedState)
                     + int(b.socket.state() == QAbstractSocket::ConnectedState);
    QCOMPARE(open, 1);
    QCOMPARE(server.connection_status(), 1);
}

QTEST_GUILESS_MAIN(tst_ctrl_panel_server_keepalive)
#include "tst_ctrl_panel_server_keepalive.moc"
