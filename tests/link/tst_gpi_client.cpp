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
    void split_packet_waits_for_last_byte();
    void two_packets_in_one_segment();
    void unknown_types_are_skipped_data();
    void unknown_types_are_skipped();
    void byte_exact_packets();
    void long_serial_chunk_split_in_order();
    void no_destination_no_attempt();
    void enable_switches_connection();
    void set_dst_keeps_connection();
    void reconnects_after_peer_goes();
    void reconnects_after_drop_mid_packet();
    void malformed_closes_connection_data();
    void malformed_closes_connection();
    void wrong_handshake_closes_connection();
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

void tst_gpi_client::split_packet_waits_for_last_byte()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    events.clear();
    const QByteArray p = serial("split");
    for (int i = 0; i < p.size() - 1; ++i) {
        s->write(p.mid(i, 1));
        s->flush();
        QTest::qWait(2);
    }
    QTest::qWait(50);
    QVERIFY(events.isEmpty());
    s->write(p.right(1));
    QTRY_COMPARE(events, QStringList({ "serial split" }));
}

void tst_gpi_client::two_packets_in_one_segment()
{
    QTcpSocket *s = linked();
    QVERIFY(s);
    events.clear();
    s->write(states(1, { 2, 0, 0, 0, 0, 0, 0, 0 }) + states(1, { 3, 0, 0, 0, 0, 0, 0, 0 }));
    QTRY_COMPARE(events, QStringList({ "gpi 2,0,0,0,0,0,0,0", "gpi 3,0,0,0,0,0,0,0" }));
}

void tst_gpi_client::unknown_types_are_skipped_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QString>("log");
    QTest::newRow("type 7") << typed(7, 1) << "Unknown message 7";
    QTest::newRow("type 0 is the server's") << states(0, { 1, 1, 1, 1, 1, 1, 1, 1 }) << "Unknown message 0";
    QTest::newRow("type -128") << typed(0x80, 3) << "Unknown message -128";
}

void tst_gpi_client::unknown_types_are_skipped()
{
    QFETCH(QByteArray, packet);
    QFETCH(QString, log);
    QTcpSocket *s = linked();
    QVERIFY(s);
    events.clear();
    QTest::ignoreMessage(QtDebugMsg, log.toLatin1().constData());
    s->write(packet + serial("next"));
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

void tst_gpi_client::malformed_closes_connection_data()
{
    // The server's test walks every cut of the same receive checks.
    add_malformed_rows(false);
}

void tst_gpi_client::malformed_closes_connection()
{
    QFETCH(QByteArray, packet);
    QTcpSocket *s = linked();
    QVERIFY(s);
    events.clear();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Bad (packet header|serial data) "));
    s->write(packet);
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(events.isEmpty());
    expect_alive();
}

void tst_gpi_client::wrong_handshake_closes_connection()
{
    QTcpSocket *s = accept();
    QVERIFY(s);
    s->write(QByteArray("NORV") + QByteArray::fromHex("00030001") + states(1, { 1, 1, 1, 1, 1, 1, 1, 1 }));
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(s->readAll(), QByteArray());
    QVERIFY(events.isEmpty());
    QCOMPARE(client->status(), 0);
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
