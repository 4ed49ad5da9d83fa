#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include "ctrl_panel_server.h"
#include "panel_client.h"

using namespace panel_test;

namespace {

// Five LED frames (n, v), packet type 2, as the unit sends them after the handshake.
QByteArray led_frames(std::initializer_list<std::pair<int, int>> leds)
{
    QByteArray out;
    for (auto [n, v] : leds) {
        QByteArray frame = hex("0000000b00020000010000");
        frame[7] = char(n);
        frame[10] = char(v);
        out += frame;
    }
    return out;
}

const char ALIVE_REQUEST[] = "0000000b000000000100 00";
const char ALIVE_ANSWER[] = "0000000b000100000100 00";

} // namespace

class tst_ctrl_panel_server : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void handshake_sent_first();
    void led_frames_after_reply_to_that_connection_only();
    void bad_reply_closes_data();
    void bad_reply_closes();
    void alive_answered_on_every_connection();
    void alive_with_nonzero_type_specific_unanswered();
    void frames_give_panel_cmd_data();
    void frames_give_panel_cmd();
    void send_data_block();
    void connection_status_follows_connections();
    void port_in_use();
    void teardown_closes_open_connections();

private:
    int port = 0;
    std::unique_ptr<Ctrl_panel_server> server;
};

void tst_ctrl_panel_server::init()
{
    port = free_port();
    server = std::make_unique<Ctrl_panel_server>(port);
}

void tst_ctrl_panel_server::cleanup()
{
    server.reset();
}

void tst_ctrl_panel_server::handshake_sent_first()
{
    PanelClient panel;
    QVERIFY(panel.open(port));
    QCOMPARE(panel.take(8), hex("5045525000010000"));
    QTest::qWait(100);
    QCOMPARE(panel.socket.bytesAvailable(), 0);
}

void tst_ctrl_panel_server::led_frames_after_reply_to_that_connection_only()
{
    PanelClient a, b;
    QVERIFY(a.open(port));
    QVERIFY(b.open(port));
    QCOMPARE(a.take(8), panel_handshake());
    QCOMPARE(b.take(8), panel_handshake());
    a.send(panel_handshake());
    QCOMPARE(a.take(55), led_frames({ { 1, 0 }, { 2, 0 }, { 3, 0 }, { 4, 0 }, { 5, 1 } }));
    QTest::qWait(100);
    QCOMPARE(a.socket.bytesAvailable(), 0);
    QCOMPARE(b.socket.bytesAvailable(), 0);
}

void tst_ctrl_panel_server::bad_reply_closes_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("reply plus a frame in one write")
        << panel_handshake() + hex("0000000b0002000301 0001");
    QTest::newRow("link handshake") << hex("4e4f525600030000");
    QTest::newRow("first 7 bytes") << panel_handshake().left(7);
    QTest::newRow("one byte more") << panel_handshake() + hex("00");
    QTest::newRow("a frame instead") << hex(ALIVE_REQUEST);
}

void tst_ctrl_panel_server::bad_reply_closes()
{
    QFETCH(QByteArray, reply);
    PanelClient panel;
    QVERIFY(panel.open(port));
    QCOMPARE(panel.take(8), panel_handshake());
    QTest::ignoreMessage(QtDebugMsg, "Incorrect connection protocol!");
    panel.send(reply);
    QVERIFY(panel.wait_closed());
    QCOMPARE(panel.socket.bytesAvailable(), 0);
    QTRY_COMPARE(server->connection_status(), 0);
}

// Also the connection still waiting for its handshake gets the answer.
void tst_ctrl_panel_server::alive_answered_on_every_connection()
{
    PanelClient a, b, waiting;
    QVERIFY(a.greet(port));
    QVERIFY(b.greet(port));
    QVERIFY(waiting.open(port));
    QCOMPARE(waiting.take(8), panel_handshake());
    b.send(hex(ALIVE_REQUEST));
    for (PanelClient *p : { &a, &b, &waiting })
        QCOMPARE(p->take(11), hex(ALIVE_ANSWER));
}

void tst_ctrl_panel_server::alive_with_nonzero_type_specific_unanswered()
{
    PanelClient a;
    QVERIFY(a.greet(port));
    a.send(hex("0000000b000000010100 00"));
    QTest::qWait(200);
    QCOMPARE(a.socket.bytesAvailable(), 0);
}

void tst_ctrl_panel_server::frames_give_panel_cmd_data()
{
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<QList<int>>("commands"); // type, data pairs

    QTest::newRow("uint16 frame") << hex("0000000b0002000301 0001") << QList<int> { 3, 1 };
    QTest::newRow("int32 item") << hex("0000000d0002000402 00011170") << QList<int> { 4, 70000 };
    QTest::newRow("negative int32 item") << hex("0000000d0002000402 fffffffe") << QList<int> { 4, -2 };
    QTest::newRow("two frames in one write")
        << hex("0000000b0002000301 0001 0000000b0002000301 0000") << QList<int> { 3, 1, 3, 0 };
    QTest::newRow("other packet type") << hex("0000000b0007000301 0001") << QList<int> {};
    QTest::newRow("string item") << hex("0000000b0002000303 0000") << QList<int> {};
    QTest::newRow("size 0 after a command")
        << hex("0000000b0002000101 0001 00000000 0002000201 0001") << QList<int> { 1, 1 };
}

void tst_ctrl_panel_server::frames_give_panel_cmd()
{
    QFETCH(QByteArray, frames);
    QFETCH(QList<int>, commands);
    QSignalSpy spy(server.get(), &Ctrl_panel_server::panel_cmd);
    PanelClient panel;
    QVERIFY(panel.greet(port));
    panel.send(frames);
    if (!commands.isEmpty())
        QTRY_COMPARE(spy.count(), commands.size() / 2);
    QTest::qWait(100);
    QList<int> seen;
    for (const QList<QVariant> &args : spy)
        seen << args.at(0).toInt() << args.at(1).toInt();
    QCOMPARE(seen, commands);
    QCOMPARE(panel.socket.state(), QAbstractSocket::ConnectedState);
}

void tst_ctrl_panel_server::send_data_block()
{
    PanelClient greeted, waiting;
    QVERIFY(greeted.greet(port));
    QVERIFY(waiting.open(port));
    QCOMPARE(waiting.take(8), panel_handshake());
    server->send_data(1, 0, 0, 7, 0);
    const QByteArray expected =
        led_frames({ { 5, 0 }, { 1, 2 }, { 2, 0 }, { 3, 0 }, { 4, 2 }, { 5, 0 } });
    QCOMPARE(expected.size(), 66);
    QCOMPARE(greeted.take(66), expected);
    QCOMPARE(waiting.take(66), expected);
}

void tst_ctrl_panel_server::connection_status_follows_connections()
{
    QCOMPARE(server->connection_status(), 0);
    PanelClient panel;
    QVERIFY(panel.open(port));
    QCOMPARE(panel.take(8), panel_handshake());
    QCOMPARE(server->connection_status(), 1);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^disconnected: \".*127\\.0\\.0\\.1\"$"));
    panel.socket.disconnectFromHost();
    QTRY_COMPARE(server->connection_status(), 0);
}

void tst_ctrl_panel_server::port_in_use()
{
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("^Server Error. Unable to start the server: \".+\"$"));
    Ctrl_panel_server second(port);
    QCOMPARE(second.connection_status(), 0);
}

// The unit deletes its panel services on SIGINT, possibly in the middle of a greeting.
void tst_ctrl_panel_server::teardown_closes_open_connections()
{
    PanelClient greeted, waiting;
    QVERIFY(greeted.greet(port));
    QVERIFY(waiting.open(port));
    QCOMPARE(waiting.take(8), panel_handshake());
    greeted.send(hex(ALIVE_REQUEST));
    server.reset();
    QVERIFY(greeted.wait_closed());
    QVERIFY(waiting.wait_closed());
    QTest::qWait(50); // deferred deletions run without the server
}

QTEST_GUILESS_MAIN(tst_ctrl_panel_server)
#include "tst_ctrl_panel_server.moc"
