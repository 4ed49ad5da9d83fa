#include "snmp_agent.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString node = QStringLiteral(".1.3.6.1.4.1.61904.16.");

// The seventeen objects as the hub installs them, inputs and outputs all off.
void fill(Snmp_Agent *agent)
{
    agent->set_device_ID(16);
    agent->set_mib_element_str(QStringLiteral("1.1"), QStringLiteral("TOLVANE"));
    for (int n = 1; n <= 8; ++n)
        agent->set_mib_element_int(QStringLiteral("2.%0").arg(n), 0);
    for (int n = 1; n <= 8; ++n)
        agent->set_mib_element_int(QStringLiteral("3.%0").arg(n), 0);
}

QStringList table_keys()
{
    QStringList keys{QStringLiteral("1.1")};
    for (int n = 1; n <= 8; ++n)
        keys << QStringLiteral("2.%1").arg(n);
    for (int n = 1; n <= 8; ++n)
        keys << QStringLiteral("3.%1").arg(n);
    return keys;
}

// The OID line of a getnext reply, or "none".
QString next_oid(const Snmp_Agent &agent, const QString &oid)
{
    return agent.get_next_element(oid).section(QLatin1Char('\n'), 0, 0);
}

} // namespace

class tst_Snmp_Agent : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void walk_from_restart_oid_data();
    void walk_from_restart_oid();
    void get_next_data();
    void get_next();
    void interleaved_walks();
    void get_relative_and_absolute_data();
    void get_relative_and_absolute();
    void append_existing_key_updates_in_place();
    void append_key_differing_in_case();
    void answer_types();
    void device_node_data();
    void device_node();

    void line_protocol_data();
    void line_protocol();
    void line_held_back_until_newline();
    void overlong_line_drops_connection();
    void reconnects_after_relay_returns();

private:
    void start_relay();
    void connect_agent();
    void send(const QByteArray &bytes);
    QStringList reply_then_ping(int lines);

    std::unique_ptr<QTemporaryDir> dir;
    QString path;
    std::unique_ptr<QLocalServer> server;
    std::unique_ptr<Snmp_Agent> agent;
    QLocalSocket *peer = nullptr;
    QStringList received;
    QByteArray pending;
};

void tst_Snmp_Agent::init()
{
    dir.reset(new QTemporaryDir);
    path = dir->filePath(QStringLiteral("sock.unix"));
    received.clear();
    pending.clear();
    peer = nullptr;
}

void tst_Snmp_Agent::cleanup()
{
    agent.reset();
    server.reset();
}

void tst_Snmp_Agent::start_relay()
{
    server.reset(new QLocalServer);
    QVERIFY(server->listen(path));
}

// Creates a filled agent and takes its connection as the relay would.
void tst_Snmp_Agent::connect_agent()
{
    agent.reset(new Snmp_Agent(nullptr, path));
    fill(agent.get());
    QTRY_VERIFY_WITH_TIMEOUT(server->hasPendingConnections(), 5000);
    peer = server->nextPendingConnection();
    QLocalSocket *socket = peer;
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        pending += socket->readAll();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            received << QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
        }
    });
}

void tst_Snmp_Agent::send(const QByteArray &bytes)
{
    peer->write(bytes);
    peer->flush();
}

// Waits for `lines` reply lines, then proves nothing else follows: a PING must be answered
// by the very next line.
QStringList tst_Snmp_Agent::reply_then_ping(int lines)
{
    (void)QTest::qWaitFor([&] { return received.size() >= lines; }, 3000);
    send("PING\n");
    (void)QTest::qWaitFor([&] { return received.size() > lines; }, 3000);
    if (received.size() != lines + 1 || received.last() != QLatin1String("PONG"))
        return received;
    return received.mid(0, lines);
}

void tst_Snmp_Agent::walk_from_restart_oid_data()
{
    QTest::addColumn<QString>("start");
    QTest::newRow("enterprise prefix") << QStringLiteral(".1.3.6.1.4.1.61904");
    QTest::newRow("base OID") << QStringLiteral(".1.3.6.1.4.1.61904.16");
}

void tst_Snmp_Agent::walk_from_restart_oid()
{
    QFETCH(QString, start);
    Snmp_Agent agent(nullptr, path);
    fill(&agent);
    QStringList answers;
    QString oid = start;
    for (int i = 0; i < 18; ++i) {
        oid = next_oid(agent, oid);
        answers << oid;
        if (oid == QLatin1String("none"))
            break;
    }
    QStringList expected;
    for (const QString &key : table_keys())
        expected << node + key;
    expected << QStringLiteral("none");
    QCOMPARE(answers, expected);
}

void tst_Snmp_Agent::get_next_data()
{
    QTest::addColumn<QString>("asked_before");
    QTest::addColumn<QString>("oid");
    QTest::addColumn<QString>("expected");
    const QString none = QStringLiteral("none");
    QTest::newRow("2.3 after 3.5") << node + "3.5" << node + "2.3" << node + "2.4";
    QTest::newRow("2.3 after walk end") << node + "3.8" << node + "2.3" << node + "2.4";
    QTest::newRow("column 2 gives 2.1") << node + "1.1" << node + "2" << node + "2.1";
    QTest::newRow("column 3 gives 3.1") << node + "1.1" << node + "3" << node + "3.1";
    QTest::newRow("inside 1.1 gives 2.1") << "" << node + "1.1.0" << node + "2.1";
    QTest::newRow("last object") << "" << node + "3.8" << none;
    QTest::newRow("after the table") << "" << node + "4" << none;
    QTest::newRow("other device after") << "" << ".1.3.6.1.4.1.61904.17" << none;
    QTest::newRow("other device before") << "" << ".1.3.6.1.4.1.61904.15.9" << node + "1.1";
    QTest::newRow("whole tree") << "" << ".1" << node + "1.1";
    QTest::newRow("without leading dot") << "" << "1.3.6.1.4.1.61904.16.2.8" << node + "3.1";
    QTest::newRow("between the columns") << "" << node + "2.9" << node + "3.1";
    QTest::newRow("empty") << "" << "" << none;
    QTest::newRow("trailing dot") << "" << node << none;
    QTest::newRow("not numeric") << "" << node + "x" << none;
    QTest::newRow("huge sub-identifier") << "" << node + "99999999999999999999" << none;
}

void tst_Snmp_Agent::get_next()
{
    QFETCH(QString, asked_before);
    QFETCH(QString, oid);
    QFETCH(QString, expected);
    Snmp_Agent agent(nullptr, path);
    fill(&agent);
    agent.get_next_element(asked_before);
    QCOMPARE(next_oid(agent, oid), expected);
    if (expected != QLatin1String("none"))
        QCOMPARE(agent.get_next_element(oid).section(QLatin1Char('\n'), 1),
                 agent.get_oid_element(expected));
}

void tst_Snmp_Agent::interleaved_walks()
{
    Snmp_Agent agent(nullptr, path);
    fill(&agent);
    QString a = QStringLiteral(".1.3.6.1.4.1.61904");
    QString b = a;
    QStringList walk_a, walk_b;
    a = next_oid(agent, a);
    walk_a << a;
    while (b != QLatin1String("none")) {
        b = next_oid(agent, b);
        walk_b << b;
        if (a != QLatin1String("none")) {
            a = next_oid(agent, a);
            walk_a << a;
        }
    }
    QStringList expected;
    for (const QString &key : table_keys())
        expected << node + key;
    expected << QStringLiteral("none");
    QCOMPARE(walk_a, expected);
    QCOMPARE(walk_b, expected);
}

void tst_Snmp_Agent::get_relative_and_absolute_data()
{
    QTest::addColumn<QString>("oid");
    QTest::addColumn<QString>("expected");
    QTest::newRow("absolute 2.3") << node + "2.3" << "INTEGER\n1";
    QTest::newRow("relative 2.3") << "2.3" << "INTEGER\n1";
    QTest::newRow("absolute 1.1") << node + "1.1" << "string\nTOLVANE";
    QTest::newRow("relative 1.1") << "1.1" << "string\nTOLVANE";
    QTest::newRow("absolute 2.9") << node + "2.9" << "none";
    QTest::newRow("relative 2.9") << "2.9" << "none";
    QTest::newRow("other device") << ".1.3.6.1.4.1.61904.17.2.3" << "none";
    QTest::newRow("base OID") << ".1.3.6.1.4.1.61904.16" << "none";
    QTest::newRow("node twice") << node + node.mid(1) + "2.3" << "none";
    QTest::newRow("empty") << "" << "none";
}

void tst_Snmp_Agent::get_relative_and_absolute()
{
    QFETCH(QString, oid);
    QFETCH(QString, expected);
    Snmp_Agent agent(nullptr, path);
    fill(&agent);
    agent.set_mib_element_int(QStringLiteral("2.3"), 1);
    QCOMPARE(agent.get_oid_element(oid), expected);
}

void tst_Snmp_Agent::append_existing_key_updates_in_place()
{
    Snmp_Agent agent(nullptr, path);
    fill(&agent);
    agent.set_mib_element_int(QStringLiteral("2.1"), 1);
    QCOMPARE(agent.mib_size(), 17);
    QCOMPARE(agent.find_index(QStringLiteral("2.1")), 1);
    QCOMPARE(agent.get_oid_element(QStringLiteral("2.1")), QStringLiteral("INTEGER\n1"));
    QCOMPARE(agent.get_oid_element(QStringLiteral("2.2")), QStringLiteral("INTEGER\n0"));
    fill(&agent);
    QCOMPARE(agent.mib_size(), 17);
    QCOMPARE(agent.find_index(QStringLiteral("3.8")), 16);
}

void tst_Snmp_Agent::append_key_differing_in_case()
{
    Snmp_Agent agent(nullptr, path);
    agent.MIB_map_append(QStringLiteral("a.b"), QStringLiteral("string\nx"));
    agent.MIB_map_append(QStringLiteral("A.B"), QStringLiteral("string\ny"));
    QCOMPARE(agent.mib_size(), 1);
    QCOMPARE(agent.find_index(QStringLiteral("a.B")), 0);
    QCOMPARE(agent.get_oid_element(QStringLiteral("a.b")), QStringLiteral("string\ny"));
    QCOMPARE(agent.find_index(QStringLiteral("c")), int(Snmp_Agent::end_position));
}

void tst_Snmp_Agent::answer_types()
{
    Snmp_Agent agent(nullptr, path);
    agent.set_mib_element_int32(QStringLiteral("5.1"), -5);
    agent.set_mib_element_int(QStringLiteral("5.2"), 7);
    agent.set_mib_element_str(QStringLiteral("5.3"), QStringLiteral("a b"));
    QCOMPARE(agent.get_oid_element(QStringLiteral("5.1")), QStringLiteral("Integer32\n-5"));
    QCOMPARE(agent.get_oid_element(QStringLiteral("5.2")), QStringLiteral("INTEGER\n7"));
    QCOMPARE(agent.get_oid_element(QStringLiteral("5.3")), QStringLiteral("string\na b"));
}

void tst_Snmp_Agent::device_node_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("expected");
    QTest::newRow("device 16") << ".1.3.6.1.4.1.61904.16.3.1" << true;
    QTest::newRow("device 17") << ".1.3.6.1.4.1.61904.17.3.1" << false;
    QTest::newRow("device 161") << ".1.3.6.1.4.1.61904.161.3.1" << false;
    QTest::newRow("base OID") << ".1.3.6.1.4.1.61904.16" << false;
    QTest::newRow("relative") << "3.1" << false;
}

void tst_Snmp_Agent::device_node()
{
    QFETCH(QString, text);
    QFETCH(bool, expected);
    Snmp_Agent agent(nullptr, path);
    QVERIFY(!agent.device_node(text));
    agent.set_device_ID(16);
    QCOMPARE(agent.device_node(text), expected);
}

void tst_Snmp_Agent::line_protocol_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("reply");
    QTest::addColumn<QStringList>("writes");
    const QByteArray n = node.toLatin1();
    const QString s = node;
    QTest::newRow("PING") << QByteArray("PING\n") << QStringList{"PONG"} << QStringList{};
    QTest::newRow("ping") << QByteArray("ping\n") << QStringList{"PONG"} << QStringList{};
    QTest::newRow("bare OID is a get")
        << n + "1.1\n" << QStringList{s + "1.1", "string", "TOLVANE"} << QStringList{};
    QTest::newRow("Get, two OIDs")
        << "Get\n" + n + "1.1\n" + n + "2.1\n"
        << QStringList{s + "1.1", "string", "TOLVANE", s + "2.1", "INTEGER", "0"}
        << QStringList{};
    QTest::newRow("get unknown") << "get\n" + n + "9.9\n" << QStringList{"none"} << QStringList{};
    QTest::newRow("GETNEXT enterprise")
        << QByteArray("GETNEXT\n.1.3.6.1.4.1.61904\n")
        << QStringList{s + "1.1", "string", "TOLVANE"} << QStringList{};
    QTest::newRow("getnext 1.1")
        << "getnext\n" + n + "1.1\n" << QStringList{s + "2.1", "INTEGER", "0"} << QStringList{};
    QTest::newRow("getnext last") << "getnext\n" + n + "3.8\n" << QStringList{"none"}
                                  << QStringList{};
    QTest::newRow("set") << "set\n" + n + "3.2\ninteger 1\n" << QStringList{"OK"}
                         << QStringList{"3.2=1"};
    QTest::newRow("SET keyword") << "SET\n" + n + "3.2\ninteger 1\n" << QStringList{"OK"}
                                 << QStringList{"3.2=1"};
    QTest::newRow("two integer lines")
        << "set\n" + n + "3.8\ninteger 7\ninteger 0\n" << QStringList{"OK", "OK"}
        << QStringList{"3.8=7", "3.8=0"};
    QTest::newRow("two spaces") << "set\n" + n + "3.2\ninteger  1\n" << QStringList{"OK"}
                                << QStringList{};
    QTest::newRow("INTEGER in capitals") << "set\n" + n + "3.2\nINTEGER 1\n"
                                         << QStringList{"OK"} << QStringList{};
    QTest::newRow("integer x") << "set\n" + n + "3.2\ninteger x\n" << QStringList{"OK"}
                               << QStringList{"3.2=0"};
    QTest::newRow("string value") << "set\n" + n + "1.1\nstring \"a\"\n" << QStringList{"OK"}
                                  << QStringList{};
    QTest::newRow("unknown object") << "set\n" + n + "3.9\ninteger 1\n" << QStringList{"none"}
                                    << QStringList{};
    QTest::newRow("value without OID") << QByteArray("set\ninteger 1\n") << QStringList{"none"}
                                       << QStringList{};
    QTest::newRow("other device after a valid target")
        << "set\n" + n + "3.2\ninteger 1\n.1.3.6.1.4.1.61904.17.3.2\ninteger 1\n"
        << QStringList{"OK", "none"} << QStringList{"3.2=1"};
    QTest::newRow("binary junk") << QByteArray("\x00\xff\xfe\x80.\x01\n", 7)
                                 << QStringList{"none"} << QStringList{};
    QTest::newRow("empty line is a get of nothing") << QByteArray("\n") << QStringList{"none"}
                                                    << QStringList{};
    QTest::newRow("CRLF line ends") << "get\r\n" + n + "1.1\r\n"
                                    << QStringList{s + "1.1", "string", "TOLVANE"}
                                    << QStringList{};
}

void tst_Snmp_Agent::line_protocol()
{
    QFETCH(QByteArray, request);
    QFETCH(QStringList, reply);
    QFETCH(QStringList, writes);
    start_relay();
    connect_agent();
    QSignalSpy spy(agent.get(), &Snmp_Agent::signal_set_val);
    send(request);
    QCOMPARE(reply_then_ping(reply.size()), reply);
    QStringList emitted;
    for (const QList<QVariant> &args : spy)
        emitted << args[0].toString() + "=" + args[1].toString();
    QCOMPARE(emitted, writes);
}

void tst_Snmp_Agent::line_held_back_until_newline()
{
    start_relay();
    connect_agent();
    const QByteArray request = "get\n" + node.toLatin1() + "1.1\n";
    for (char c : request) {
        send(QByteArray(1, c));
        QTest::qWait(5);
        if (c != '\n')
            QVERIFY(received.isEmpty());
    }
    QCOMPARE(reply_then_ping(3), (QStringList{node + "1.1", "string", "TOLVANE"}));
}

void tst_Snmp_Agent::overlong_line_drops_connection()
{
    start_relay();
    connect_agent();
    QSignalSpy gone(peer, &QLocalSocket::disconnected);
    send(QByteArray(20000, '1'));
    QTRY_COMPARE_WITH_TIMEOUT(gone.size(), 1, 3000);
    QVERIFY(received.isEmpty());
    // The agent comes back by itself and answers again.
    QTRY_VERIFY_WITH_TIMEOUT(server->hasPendingConnections(), 5000);
    peer = server->nextPendingConnection();
    QByteArray buffer;
    peer->write("PING\n");
    QTRY_VERIFY_WITH_TIMEOUT((buffer += peer->readAll()) == "PONG\n", 3000);
}

void tst_Snmp_Agent::reconnects_after_relay_returns()
{
    start_relay();
    connect_agent();
    server.reset(); // also closes the agent's connection, a child of the server
    peer = nullptr;
    QTest::qWait(1500);
    start_relay();
    QTRY_VERIFY_WITH_TIMEOUT(server->hasPendingConnections(), 5000);
    QLocalSocket *again = server->nextPendingConnection();
    again->write("get\n.1.3.6.1.4.1.61904.16.1.1\n");
    QByteArray buffer;
    QTRY_VERIFY_WITH_TIMEOUT((buffer += again->readAll()).count('\n') == 3, 3000);
    QCOMPARE(buffer, QByteArray(".1.3.6.1.4.1.61904.16.1.1\nstring\nTOLVANE\n"));
}

QTEST_MAIN(tst_Snmp_Agent)
#include "tst_snmp_agent.moc"
