#include <QSignalSpy>
#include <QtTest>

#include "myserver.h"
#include "panel_client.h"

using namespace panel_test;

class tst_myserver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QTcpSocket *>(); }
    void broadcast_and_reads_per_connection();
    void disconnected_socket_has_left_the_list();
    void stalled_reader_is_cut_off();
    void burst_is_handed_over_in_bounded_pieces();
};

void tst_myserver::broadcast_and_reads_per_connection()
{
    const int port = free_port();
    MyServer server(port);
    QSignalSpy accepted(&server, &MyServer::signal_new_client);
    QSignalSpy reads(&server, &MyServer::signal_readyRead);
    PanelClient a, b;
    QVERIFY(a.open(port));
    QTRY_COMPARE(accepted.count(), 1);
    QVERIFY(b.open(port));
    QTRY_COMPARE(accepted.count(), 2);
    QVERIFY(accepted.at(0).at(1).toString().endsWith(QStringLiteral("127.0.0.1")));

    server.sendToAllConnections("both");
    QCOMPARE(a.take(4), QByteArray("both"));
    QCOMPARE(b.take(4), QByteArray("both"));

    b.send("from b");
    QTRY_COMPARE(reads.count(), 1);
    QCOMPARE(reads.at(0).at(0), accepted.at(1).at(0));
    QCOMPARE(reads.at(0).at(1).toByteArray(), QByteArray("from b"));
}

// A broadcast made while the closing is reported reaches only the connections still open.
void tst_myserver::disconnected_socket_has_left_the_list()
{
    const int port = free_port();
    MyServer server(port);
    QSignalSpy accepted(&server, &MyServer::signal_new_client);
    QSignalSpy gone(&server, &MyServer::signal_pDisconnected);
    connect(&server, &MyServer::signal_pDisconnected, &server,
            [&server] { server.sendToAllConnections("after"); });
    PanelClient a, b;
    QVERIFY(a.open(port));
    QVERIFY(b.open(port));
    QTRY_COMPARE(accepted.count(), 2);
    server.slot_close_connection(accepted.at(0).at(0).value<QTcpSocket *>());
    QCOMPARE(gone.count(), 1);
    QVERIFY(a.wait_closed());
    QCOMPARE(a.socket.bytesAvailable(), 0);
    QCOMPARE(b.take(5), QByteArray("after"));
}

// A panel that never reads must not make the unit buffer its LED frames without end.
void tst_myserver::stalled_reader_is_cut_off()
{
    const int port = free_port();
    MyServer server(port);
    QSignalSpy accepted(&server, &MyServer::signal_new_client);
    QSignalSpy gone(&server, &MyServer::signal_pDisconnected);
    PanelClient stalled;
    stalled.socket.setReadBufferSize(1);
    QVERIFY(stalled.open(port));
    QTRY_COMPARE(accepted.count(), 1);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Write backlog full, closing ip: "));
    const QByteArray block(64 * 1024, 'x');
    for (int i = 0; i < 2000 && gone.isEmpty(); ++i) {
        server.sendToAllConnections(block);
        QTest::qWait(1);
    }
    QCOMPARE(gone.count(), 1);
}

// A panel that sends without pause must not have its whole backlog handled in one turn of the
// event loop, so the bytes come in pieces of at most 4 KiB, all of them, in order.
void tst_myserver::burst_is_handed_over_in_bounded_pieces()
{
    const int port = free_port();
    MyServer server(port);
    QSignalSpy accepted(&server, &MyServer::signal_new_client);
    QByteArray got;
    int pieces = 0, largest = 0;
    connect(&server, &MyServer::signal_readyRead, &server, [&](QTcpSocket *, QByteArray data) {
        got += data;
        ++pieces;
        largest = qMax(largest, data.size());
    });
    PanelClient sender;
    QVERIFY(sender.open(port));
    QTRY_COMPARE(accepted.count(), 1);
    QByteArray burst(1024 * 1024, '\0');
    for (int i = 0; i < burst.size(); ++i)
        burst[i] = char(i * 7 + i / 251);
    sender.send(burst);
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), burst.size(), 20000);
    QVERIFY(got == burst);
    QVERIFY2(largest <= 4 * 1024, qPrintable(QString::number(largest)));
    QVERIFY(pieces >= burst.size() / (4 * 1024));
}

QTEST_GUILESS_MAIN(tst_myserver)
#include "tst_myserver.moc"
