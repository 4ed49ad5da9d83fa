// The listening end of the unit link against raw TCP peers over loopback.
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "gpi-server.h"
#include "link-packet.h"
#include "linkpeer.h"

using namespace linkpeer;

class tst_gpi_server : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void handshake_sent_on_accept();
    void status_before_handshake();
    void packets_behind_handshake_data();
    void packets_behind_handshake();
    void stream_in_pieces_and_in_bulk_data();
    void stream_in_pieces_and_in_bulk();
    void unknown_type_keeps_connection();
    void keepalive_answered_once();
    void states_packet_reaches_handshaken_clients_only();
    void long_serial_chunk_split_in_order();
    void empty_serial_chunk();
    void short_state_list_padded();
    void enable_0_closes_all();
    void closed_while_disabled();
    void fault_closes_connection_data();
    void fault_closes_connection();
    void peer_that_stops_reading_is_dropped();
    void connections_waiting_for_handshake_are_bounded();

private:
    std::unique_ptr<QTcpSocket> connect_peer();
    std::unique_ptr<QTcpSocket> linked_peer();
    void expect_alive();

    quint16 port = 0;
    std::unique_ptr<Gpi_server> server;
    QStringList events;
};

void tst_gpi_server::init()
{
    port = free_port();
    server = std::make_unique<Gpi_server>(port);
    server->enable(1);
    events.clear();
    connect(server.get(), &Gpi_server::refresh, this, [this] { events << "refresh"; });
    connect(server.get(), &Gpi_server::cmd_gpo, this, [this](QList<int> l) {
        QStringList s;
        for (int v : l)
            s << QString::number(v);
        events << "gpo " + s.join(',');
    });
    connect(server.get(), &Gpi_server::cmd_serial, this,
            [this](QByteArray d) { events << "serial " + QString::fromLatin1(d); });
}

void tst_gpi_server::cleanup()
{
    server.reset();
}

std::unique_ptr<QTcpSocket> tst_gpi_server::connect_peer()
{
    auto s = std::make_unique<QTcpSocket>();
    s->connectToHost(QHostAddress::LocalHost, port);
    return s;
}

std::unique_ptr<QTcpSocket> tst_gpi_server::linked_peer()
{
    auto s = connect_peer();
    if (read_n(*s, 8) != handshake())
        return nullptr;
    const int before = events.count("refresh");
    s->write(handshake());
    if (!QTest::qWaitFor([&] { return events.count("refresh") == before + 1; }, 3000))
        return nullptr;
    return s;
}

// After a fault the server still takes a new client and understands it.
void tst_gpi_server::expect_alive()
{
    events.clear();
    auto s = linked_peer();
    QVERIFY(s);
    s->write(states(0, { 0, 1, 0, 1, 0, 1, 0, 1 }));
    QTRY_COMPARE(events, QStringList({ "refresh", "gpo 0,1,0,1,0,1,0,1" }));
}

void tst_gpi_server::handshake_sent_on_accept()
{
    auto s = connect_peer();
    QCOMPARE(read_n(*s, 8), handshake());
    QCOMPARE(drain(*s), QByteArray());
}

void tst_gpi_server::status_before_handshake()
{
    QCOMPARE(server->status(), 0);
    auto s = connect_peer();
    QCOMPARE(read_n(*s, 8), handshake());
    QCOMPARE(server->status(), 1);
    server->send_gpi({ 1, 1, 1, 1, 1, 1, 1, 1 });
    server->send_serial("abc");
    QCOMPARE(drain(*s), QByteArray());
    QVERIFY(events.isEmpty());
}

void tst_gpi_server::packets_behind_handshake_data()
{
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("states") << states(0, { 1, 0, 1, 0, 0, 0, 0, 2 })
                            << QStringList({ "refresh", "gpo 1,0,1,0,0,0,0,2" });
    QTest::newRow("states, serial, keepalive")
        << states(0, { 0, 0, 0, 0, 0, 0, 0, -1 }) + serial("xy") + keepalive()
        << QStringList({ "refresh", "gpo 0,0,0,0,0,0,0,-1", "serial xy" });
}

// Everything that arrives with the handshake is handled in the same pass, after refresh().
void tst_gpi_server::packets_behind_handshake()
{
    QFETCH(QByteArray, tail);
    QFETCH(QStringList, expected);
    auto s = connect_peer();
    QCOMPARE(read_n(*s, 8), handshake());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Handshake ok [1-9][0-9]*$"));
    s->write(handshake() + tail);
    QTRY_COMPARE(events, expected);
}

void tst_gpi_server::stream_in_pieces_and_in_bulk_data()
{
    add_stream_rows(0);
}

// What the socket holds goes into the receive machine piece by piece, however it arrived.
void tst_gpi_server::stream_in_pieces_and_in_bulk()
{
    QFETCH(QByteArrayList, writes);
    QFETCH(int, packets);
    QFETCH(QByteArray, serial_bytes);
    auto s = linked_peer();
    QVERIFY(s);
    QSignalSpy serial(server.get(), &Gpi_server::cmd_serial);
    QSignalSpy gpo(server.get(), &Gpi_server::cmd_gpo);
    for (const QByteArray &w : writes) {
        s->write(w);
        s->flush();
        if (writes.size() > 1)
            QTest::qWait(2);
    }
    QTRY_COMPARE_WITH_TIMEOUT(serial.count() + gpo.count(), packets, 10000);
    QCOMPARE(joined_serial(serial), serial_bytes);
    QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
}

// A packet of the client's own direction is not taken, and the connection stays.
void tst_gpi_server::unknown_type_keeps_connection()
{
    auto s = linked_peer();
    QVERIFY(s);
    events.clear();
    QTest::ignoreMessage(QtDebugMsg, "Unknown message 1");
    s->write(states(1, { 1, 1, 1, 1, 1, 1, 1, 1 }) + serial("next"));
    QTRY_COMPARE(events, QStringList({ "serial next" }));
    QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
}

void tst_gpi_server::keepalive_answered_once()
{
    auto s = linked_peer();
    auto other = linked_peer();
    QVERIFY(s && other);
    s->write(keepalive());
    QCOMPARE(read_n(*s, 13), QByteArray::fromHex("0000000d000300000200000000"));
    QCOMPARE(drain(*s), QByteArray());
    QCOMPARE(other->readAll(), QByteArray());
}

void tst_gpi_server::states_packet_reaches_handshaken_clients_only()
{
    auto a = linked_peer();
    auto b = linked_peer();
    auto waiting = connect_peer();
    QVERIFY(a && b);
    QCOMPARE(read_n(*waiting, 8), handshake());
    server->send_gpi({ 1, 0, 1, 0, 0, 0, 0, 0 });
    server->send_serial("abc");
    const QByteArray expected = QByteArray::fromHex(
        "0000003000010000" "0200000001" "0200000000" "0200000001" "0200000000"
        "0200000000" "0200000000" "0200000000" "0200000000"
        "0000000e00020000030003616263");
    QCOMPARE(read_n(*a, expected.size()), expected);
    QCOMPARE(read_n(*b, expected.size()), expected);
    QCOMPARE(drain(*waiting), QByteArray());
}

void tst_gpi_server::long_serial_chunk_split_in_order()
{
    auto s = linked_peer();
    QVERIFY(s);
    QByteArray chunk;
    for (int i = 0; i < 2500; ++i)
        chunk.append(char(i % 251));
    server->send_serial(chunk);
    const QByteArray expected = serial(chunk.left(1013)) + serial(chunk.mid(1013, 1013))
            + serial(chunk.mid(2026));
    QCOMPARE(read_n(*s, expected.size()), expected);
}

void tst_gpi_server::empty_serial_chunk()
{
    auto s = linked_peer();
    QVERIFY(s);
    server->send_serial(QByteArray());
    QCOMPARE(read_n(*s, 11), QByteArray::fromHex("0000000b00020000030000"));
}

void tst_gpi_server::short_state_list_padded()
{
    auto s = linked_peer();
    QVERIFY(s);
    server->send_gpi({ 1, 1 });
    QCOMPARE(read_n(*s, 48), states(1, { 1, 1, 0, 0, 0, 0, 0, 0 }));
}

void tst_gpi_server::enable_0_closes_all()
{
    auto a = linked_peer();
    auto b = linked_peer();
    auto c = linked_peer();
    QVERIFY(a && b && c);
    QCOMPARE(server->status(), 1);
    server->enable(0);
    for (auto *s : { a.get(), b.get(), c.get() })
        QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(server->status(), 0);
    server->enable(1);
    expect_alive();
}

void tst_gpi_server::closed_while_disabled()
{
    server->enable(0);
    auto s = connect_peer();
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(s->readAll(), QByteArray());
    QCOMPARE(server->status(), 0);
    server->enable(1);
    expect_alive();
}

void tst_gpi_server::fault_closes_connection_data()
{
    add_fault_rows();
}

// A fault closes that connection only: a bystander stays linked and a new client is taken.
void tst_gpi_server::fault_closes_connection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, log);
    QFETCH(bool, handshaken);
    auto bystander = linked_peer();
    QVERIFY(bystander);
    auto s = connect_peer();
    QCOMPARE(read_n(*s, 8), handshake());
    events.clear();
    if (!log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(log));
    s->write(bytes);
    QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(events, handshaken ? QStringList({ "refresh" }) : QStringList());
    QCOMPARE(bystander->state(), QAbstractSocket::ConnectedState);
    QTRY_COMPARE(server->status(), 1);
    bystander.reset();
    QTRY_COMPARE(server->status(), 0);
    expect_alive();
}

// Unsent packets for a peer that reads nothing must not pile up without bound. The stuck
// peer is a plain socket with a small receive buffer that is never read.
void tst_gpi_server::peer_that_stops_reading_is_dropped()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    QVERIFY(QTest::qWaitFor([this] { return server->status() == 1; }, 3000));
    QCOMPARE(::send(fd, handshake().constData(), 8, 0), ssize_t(8));
    QVERIFY(QTest::qWaitFor([this] { return events.count("refresh") == 1; }, 3000));
    auto reader = linked_peer();
    QVERIFY(reader);

    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    const QByteArray chunk(256 * 1024, 'z');
    const qint64 packets_size = chunk.size() + 11 * ((chunk.size() + 1012) / 1013);
    qint64 received = 0;
    bool dropped = false;
    for (int i = 1; i <= 100 && !dropped; ++i) {
        server->send_serial(chunk);
        // The reader keeps up with every chunk before the next one goes out.
        const bool kept_up = QTest::qWaitFor([&] {
            received += reader->readAll().size();
            return received == i * packets_size;
        }, 5000);
        dropped = !logged.filter(QRegularExpression("^Peer not reading [0-9]+$")).isEmpty();
        if (!kept_up)
            break;
    }
    qInstallMessageHandler(previous);
    ::close(fd);
    QVERIFY(dropped);
    QCOMPARE(received % packets_size, 0);
    QCOMPARE(reader->state(), QAbstractSocket::ConnectedState);
}

// Connections that never send their handshake cannot pile up: past a small number the one
// that has waited longest is closed, and a real client still links.
void tst_gpi_server::connections_waiting_for_handshake_are_bounded()
{
    std::vector<std::unique_ptr<QTcpSocket>> waiting;
    for (int i = 0; i < 200; ++i) {
        waiting.push_back(connect_peer());
        QCOMPARE(read_n(*waiting.back(), 8), handshake());
    }
    const auto open = [&] {
        return std::count_if(waiting.begin(), waiting.end(), [](const std::unique_ptr<QTcpSocket> &s) {
            return s->state() == QAbstractSocket::ConnectedState;
        });
    };
    QTRY_COMPARE(open(), long(LINK_MAX_WAITING));
    for (int i = 0; i < 200; ++i)
        QCOMPARE(waiting[size_t(i)]->state() == QAbstractSocket::ConnectedState, i >= 200 - LINK_MAX_WAITING);
    expect_alive();
}

QTEST_GUILESS_MAIN(tst_gpi_server)
#include "tst_gpi_server.moc"
