// The 10-second receive time-outs of both link ends, and the keepalive that keeps a real
// pair of them linked past it.
#include <QtTest>

#include <memory>

#include "gpi-client.h"
#include "gpi-server.h"
#include "linkpeer.h"

using namespace linkpeer;

class tst_link_timeouts : public QObject
{
    Q_OBJECT

private slots:
    void server_drops_silent_clients_one_per_tick();
    void client_drops_server_without_handshake();
    void keepalive_keeps_pair_linked();
};

void tst_link_timeouts::server_drops_silent_clients_one_per_tick()
{
    const quint16 port = free_port();
    Gpi_server server(port);
    server.enable(1);

    QTcpSocket never; // accepted, never sends its handshake
    never.connectToHost(QHostAddress::LocalHost, port);
    QCOMPARE(read_n(never, 8), handshake());
    QElapsedTimer clock;
    clock.start();
    QTcpSocket silent; // handshakes, then says nothing
    silent.connectToHost(QHostAddress::LocalHost, port);
    QCOMPARE(read_n(silent, 8), handshake());
    silent.write(handshake());
    QTcpSocket alive; // keeps sending keepalives
    alive.connectToHost(QHostAddress::LocalHost, port);
    QCOMPARE(read_n(alive, 8), handshake());
    alive.write(handshake());

    QTest::ignoreMessage(QtDebugMsg, "client timeout");
    QTest::ignoreMessage(QtDebugMsg, "client timeout");
    qint64 never_closed = 0, silent_closed = 0;
    while (clock.elapsed() < 14000) {
        alive.write(keepalive());
        QTest::qWait(100);
        if (!never_closed && never.state() == QAbstractSocket::UnconnectedState)
            never_closed = clock.elapsed();
        if (!silent_closed && silent.state() == QAbstractSocket::UnconnectedState)
            silent_closed = clock.elapsed();
    }
    QVERIFY2(never_closed >= 9000 && never_closed <= 12500, qPrintable(QString::number(never_closed)));
    QVERIFY2(silent_closed >= 9000 && silent_closed <= 13500, qPrintable(QString::number(silent_closed)));
    QVERIFY(qAbs(silent_closed - never_closed) >= 500); // separate ticks
    QCOMPARE(alive.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(server.status(), 1);
}

void tst_link_timeouts::client_drops_server_without_handshake()
{
    const quint16 port = free_port();
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, port));
    Gpi_client client(port);
    client.enable(1);
    client.set_dst("127.0.0.1");
    QVERIFY(QTest::qWaitFor([&] { return listener.hasPendingConnections(); }, 3000));
    std::unique_ptr<QTcpSocket> mute(listener.nextPendingConnection());
    QElapsedTimer clock;
    clock.start();
    QTest::ignoreMessage(QtDebugMsg, "server timeout");
    QVERIFY(QTest::qWaitFor([&] { return mute->state() == QAbstractSocket::UnconnectedState; }, 17000));
    QVERIFY2(clock.elapsed() >= 9000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(mute->readAll(), QByteArray());
    QVERIFY(QTest::qWaitFor([&] { return listener.hasPendingConnections(); }, 3000));
}

void tst_link_timeouts::keepalive_keeps_pair_linked()
{
    const quint16 port = free_port();
    Gpi_server server(port);
    Gpi_client client(port);
    server.enable(1);
    client.enable(1);
    client.set_dst("127.0.0.1");
    QSignalSpy refreshed(&client, &Gpi_client::refresh);
    QSignalSpy to_server(&server, &Gpi_server::cmd_serial);
    QSignalSpy to_client(&client, &Gpi_client::cmd_serial);
    QTRY_COMPARE_WITH_TIMEOUT(client.status(), 1, 3000);
    QTest::qWait(16000);
    QCOMPARE(client.status(), 1);
    QCOMPARE(server.status(), 1);
    QCOMPARE(refreshed.count(), 1); // never reconnected
    client.send_serial("up");
    server.send_serial("down");
    QTRY_COMPARE(to_server.count(), 1);
    QTRY_COMPARE(to_client.count(), 1);
    QCOMPARE(to_server.at(0).at(0).toByteArray(), QByteArray("up"));
    QCOMPARE(to_client.at(0).at(0).toByteArray(), QByteArray("down"));
}

QTEST_GUILESS_MAIN(tst_link_timeouts)
#include "tst_link_timeouts.moc"
