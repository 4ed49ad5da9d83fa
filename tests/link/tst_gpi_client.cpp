// The connecting end of the unit link against a raw TCP server over loopback.
#include <QtTest>

#include <memory>

#include "gpi-client.h"
#include "linkpeer.h"

using namespace linkpeer;

class tst_gpi_client : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void silent_until_server_handshake();
    void handshake_then_refresh_answer();
    void packets_behind_handshake();
    void stream_in_pieces_and_in_bulk_data();
    void stream_in_pieces_and_in_bulk();
    void unknown_type_keeps_connection();
    void byte_exact_packets();
    void long_serial_chunk_split_in_order();
    void no_destination_no_attempt();
    void enable_switches_connection();
    void set_dst_keeps_connection();
    void reconnects_after_peer_goes();
    void reconnects_after_drop_mid_packet();
    void fault_closes_connection_data();
    void fault_closes_connection();
    void server_that_stops_reading_is_dropped();

private:
    QTcpSocket *accept(int timeout_ms = 3000);
    QTcpSocket *linked();
    void expect_alive();

    quint16 port = 0;
    std::unique_ptr<QTcpServer> listener;
    std::unique_ptr<Gpi_client> client;
    QStringList events;
};

void tst_gpi_client::init()
{
    port = free_port();
    listener = std::make_unique<QTcpServer>();
    QVERIFY(listener->listen(QHostAddress::Any, port));
    client = std::make_unique<Gpi_client>(port);
    events.clear();
    connect(client.get(), &Gpi_client::refresh, this, [this] { events << "refresh"; });
    connect(client.get(), &Gpi_client::cmd_gpi, this, [this](QList<int> l) {
        QStringList s;
        for (int v : l)
            s << QString::number(v);
        events << "gpi " + s.join(',');
    });
    connect(client.get(), &Gpi_client::cmd_serial, this,
            [this](QByteArray d) { events << "serial " + QString::fromLatin1(d); });
    client->enable(1);
    client->set_dst("127.0.0.1");
}

void tst_gpi_client::cleanup()
{
    client.reset();
    listener.reset();
}

// The next connection from the client; owned by `listener`.
QTcpSocket *tst_gpi_client::accept(int timeout_ms)
{
    if (!QTest::qWaitFor([this] { return listener->hasPendingConnections(); }, timeout_ms))
        return nullptr;
    return listener->nextPendingConnection();
}

QTcpSocket *tst_gpi_client::linked()
{
    QTcpSocket *s = accept();
    if (!s)
        return nullptr;
    const int before = events.count("refresh");
    s->write(handshake());
    if (read_n(*s, 8) != handshake())
        return nullptr;
    if (!QTest::qWaitFor([&] { return events.count("refresh") == before + 1; }, 3000))
        return nullptr;
    return s;
}

// After a fault the client connects again and understands the server.
void tst_gpi_client::expect_alive()
{
    events.clear();
    QTcpSocket *s = linked();
    QVERIFY(s);
    QCOMPARE(client->status(), 1);
    s->write(states(1, { 0, 1, 0, 1, 0, 1, 0, 1 }));
    QTRY_COMPARE(events, QStringList({ "refresh", "gpi 0,1,0,1,0,1,0,1" }));
}

void tst_gpi_client::silent_until_server_handshake()
{
    QTcpSocket *s = accept();
    QVERIFY(s);
    client->send_gpo({ 1, 1, 1, 1, 1, 1, 1, 1 });
    client->send_serial("abc");
    QCOMPARE(drain(*s), QByteArray());
    QCOMPARE(client->status(), 0);
}

// The client's handshake goes first, and the hub's answer to refresh() follows it.
void tst_gpi_client::handshake_then_refresh_answer()
{
    connect(client.get(), &Gpi_client::refresh, this,
            [this] { client->send_gpo({ 1, 0, 0, 0, 0, 0, 0, 1 }); });
    QTcpSocket *s = accept();
    QVERIFY(s);
    s->write(handshake());
    const QByteArray expected = handshake() + states(0, { 1, 0, 0, 0, 0, 0, 0, 1 });
    QCOMPARE(read_n(*s, expected.size()), expected);
    QCOMPARE(client->status(), 1);
}

void tst_gpi_client::packets_behind_handshake()
{
    QTcpSocket *s = accept();
    QVERIFY(s);
    s->write(handshake() + states(1, { 1, 1, 0, 0, 0, 0, 0, 0 }) + serial("hi") + keepalive());
    QTRY_COMPARE(events, QStringList({ "refresh", "gpi 1,1,0,0,0,0,0,0", "serial hi" }));
}

void tst_gpi_client::stream_in_pieces_and_in_bulk_data()
{
    add_stream_rows(1);
}

// What the socket holds goes into the receive machine piece by piece, however it arrived.
void tst_gpi_client::stream_in_pieces_and_in_bulk()
{
    QFETCH(QByteArrayList, writes);
    QFETCH(int, packets);
    QFETCH(QByteArray, serial_bytes);
    QTcpSocket *s = linked();
    QVERIFY(s);
    QSignalSpy serial(client.get(), &Gpi_client::cmd_serial);
    QSignalSpy gpi(client.get(), &Gpi_client::cmd_gpi);
    for (const QByteArray &w : writes) {
        s->write(w);
        s->flush();
        if (writes.size() > 1)
            QTest::qWait(2);
    }
    QTRY_COMPARE_WITH_TIMEOUT(serial.count() + gpi.count(), packets, 10000);
    QCOMPARE(joined_serial(serial), serial_bytes);
    QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
}

// A packet of the server's own direction is not taken, and the connection stays.
void tst_gpi_client::unknown_type_keeps_connection()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    events.clear();
    QTest::ignoreMessage(QtDebugMsg, "Unknown message 0");
    s->write(states(0, { 1, 1, 1, 1, 1, 1, 1, 1 }) + serial("next"));
    QTRY_COMPARE(events, QStringList({ "serial next" }));
    QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
}

void tst_gpi_client::byte_exact_packets()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    client->send_gpo({ 1, 0, 1, 0, 0, 0, 0, 0 });
    client->send_serial("abc");
    const QByteArray expected = QByteArray::fromHex(
        "0000003000000000" "0200000001" "0200000000" "0200000001" "0200000000"
        "0200000000" "0200000000" "0200000000" "0200000000"
        "0000000e00020000030003616263");
    QCOMPARE(read_n(*s, expected.size()), expected);
}

void tst_gpi_client::long_serial_chunk_split_in_order()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    QByteArray chunk;
    for (int i = 0; i < 3000; ++i)
        chunk.append(char(i % 253));
    client->send_serial(chunk);
    const QByteArray expected = serial(chunk.left(1013)) + serial(chunk.mid(1013, 1013))
            + serial(chunk.mid(2026));
    QCOMPARE(read_n(*s, expected.size()), expected);
}

void tst_gpi_client::no_destination_no_attempt()
{
    client->set_dst(QString());
    QTcpSocket *first = accept(); // an attempt may have started before the reset
    if (first)
        first->abort();
    QVERIFY(!accept(2500));
    client->set_dst("127.0.0.1");
    QVERIFY(accept(2500));
}

void tst_gpi_client::enable_switches_connection()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    client->enable(1);
    QTest::qWait(1500);
    QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
    client->enable(0);
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!accept(2500));
    client->enable(1);
    expect_alive();
}

void tst_gpi_client::set_dst_keeps_connection()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    QCOMPARE(QHostAddress(s->localAddress().toIPv4Address()), QHostAddress("127.0.0.1"));
    client->set_dst("127.0.0.2");
    QVERIFY(!accept(2500));
    QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
    s->write(serial("still"));
    QTRY_COMPARE(events.last(), QString("serial still"));
    s->abort();
    QTcpSocket *next = accept();
    QVERIFY(next);
    QCOMPARE(QHostAddress(next->localAddress().toIPv4Address()), QHostAddress("127.0.0.2"));
}

void tst_gpi_client::reconnects_after_peer_goes()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    s->close();
    expect_alive();
}

void tst_gpi_client::reconnects_after_drop_mid_packet()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    s->write(states(1, { 1, 1, 1, 1, 1, 1, 1, 1 }).left(30));
    s->flush();
    QTest::qWait(50);
    s->abort();
    expect_alive();
}

void tst_gpi_client::fault_closes_connection_data()
{
    add_fault_rows();
}

// A fault closes the connection; the next attempt starts afresh within a second.
void tst_gpi_client::fault_closes_connection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, log);
    QFETCH(bool, handshaken);
    QTcpSocket *s = accept();
    QVERIFY(s);
    if (!log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(log));
    s->write(bytes);
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    if (!handshaken) // nothing goes out before the server's handshake is accepted
        QCOMPARE(s->readAll(), QByteArray());
    QCOMPARE(events, handshaken ? QStringList({ "refresh" }) : QStringList());
    expect_alive();
}

// Unsent packets for a server that reads nothing must not pile up without bound.
void tst_gpi_client::server_that_stops_reading_is_dropped()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    s->setReadBufferSize(16);
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    const QByteArray chunk(256 * 1024, 'z');
    for (int i = 0; i < 400 && logged.filter("Server not reading").isEmpty(); ++i) {
        client->send_serial(chunk);
        QTest::qWait(1);
    }
    qInstallMessageHandler(previous);
    QCOMPARE(logged.filter(QRegularExpression("^Server not reading [0-9]+$")).size(), 1);
    expect_alive();
}

QTEST_GUILESS_MAIN(tst_gpi_client)
#include "tst_gpi_client.moc"
