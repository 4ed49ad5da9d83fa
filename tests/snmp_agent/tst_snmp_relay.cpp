#include "snmp_agent.h"
#include "snmp_relay.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace {

const QByteArray node = ".1.3.6.1.4.1.61904.16.";

void fill(Snmp_Agent *agent)
{
    agent->set_device_ID(16);
    agent->set_mib_element_str(QStringLiteral("1.1"), QStringLiteral("TOLVANE"));
    for (int n = 1; n <= 8; ++n)
        agent->set_mib_element_int(QStringLiteral("2.%0").arg(n), 0);
    for (int n = 1; n <= 8; ++n)
        agent->set_mib_element_int(QStringLiteral("3.%0").arg(n), 0);
}

// snmpd's own sequence for a SET: PING and a GET of the object first, the empty line after.
QByteArray snmpd_set(const QByteArray &oid, const QByteArray &value)
{
    return "PING\nget\n" + oid + "\nPING\nset\n" + oid + "\n" + value + "\n\n";
}

} // namespace

// The relay between a pipe pair standing in for snmpd and either a real agent or a
// device socket the test drives by hand.
class tst_Snmp_Relay : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void through_agent_data();
    void through_agent();
    void request_split_across_reads();
    void overlong_input_line_keeps_step();
    void without_device_data();
    void without_device();
    void silent_device_times_out_data();
    void silent_device_times_out();
    void device_gone_mid_request();
    void device_out_of_turn_lines_ignored();
    void device_overlong_line_dropped();
    void newer_device_replaces_older();
    void input_closed_finishes();
    void first_request_waits_for_device_data();
    void first_request_waits_for_device();
    void no_device_within_wait_data();
    void no_device_within_wait();
    void wait_ends_with_first_device();

private:
    // Without a wait for the device, unless a test is about that wait.
    void start_relay(int reply_timeout_ms = 500, int device_wait_ms = 0);
    void start_agent();
    QLocalSocket *connect_device();
    void snmpd_write(const QByteArray &bytes);
    QStringList snmpd_read(int lines, int timeout_ms = 3000);
    QStringList snmpd_read_rest();

    std::unique_ptr<QTemporaryDir> dir;
    QString path;
    int to_relay[2] = {-1, -1};
    int from_relay[2] = {-1, -1};
    QByteArray out;
    std::unique_ptr<Snmp_Relay> relay;
    std::unique_ptr<Snmp_Agent> agent;
    std::unique_ptr<QLocalSocket> device;
};

void tst_Snmp_Relay::init()
{
    dir.reset(new QTemporaryDir);
    path = dir->filePath(QStringLiteral("sock.unix"));
    QCOMPARE(pipe(to_relay), 0);
    // The relay runs in this thread: writes larger than the pipe must not block the test.
    fcntl(to_relay[1], F_SETFL, O_NONBLOCK);
    QCOMPARE(pipe2(from_relay, O_NONBLOCK), 0);
    out.clear();
}

void tst_Snmp_Relay::cleanup()
{
    device.reset();
    agent.reset();
    relay.reset();
    for (int fd : {to_relay[0], to_relay[1], from_relay[0], from_relay[1]})
        if (fd >= 0)
            close(fd);
    to_relay[0] = to_relay[1] = from_relay[0] = from_relay[1] = -1;
}

void tst_Snmp_Relay::start_relay(int reply_timeout_ms, int device_wait_ms)
{
    relay.reset(new Snmp_Relay(to_relay[0], from_relay[1], path, reply_timeout_ms,
                               device_wait_ms));
}

void tst_Snmp_Relay::start_agent()
{
    agent.reset(new Snmp_Agent(nullptr, path));
    fill(agent.get());
    // The relay takes the agent's connection once its event loop has run; until then it
    // answers NONE itself.
    QStringList reply;
    for (int i = 0; i < 50 && reply.size() != 3; ++i) {
        QTest::qWait(20);
        snmpd_write("get\n" + node + "1.1\n");
        reply = snmpd_read(1);
        if (reply == QStringList{"NONE"})
            continue;
        reply += snmpd_read(3 - reply.size());
    }
    QCOMPARE(reply, (QStringList{node + "1.1", "string", "TOLVANE"}));
}

QLocalSocket *tst_Snmp_Relay::connect_device()
{
    device.reset(new QLocalSocket);
    device->connectToServer(path);
    if (!device->waitForConnected(3000))
        return nullptr;
    // The relay sees the connection once its server has run.
    QTest::qWait(100);
    return device.get();
}

void tst_Snmp_Relay::snmpd_write(const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(to_relay[1], bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += int(n);
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// Reads until `lines` lines have come (or the time is up) and returns all complete lines.
QStringList tst_Snmp_Relay::snmpd_read(int lines, int timeout_ms)
{
    char chunk[4096];
    QElapsedTimer timer;
    timer.start();
    while (out.count('\n') < lines && timer.elapsed() < timeout_ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        ssize_t n;
        while ((n = read(from_relay[0], chunk, sizeof chunk)) > 0)
            out.append(chunk, int(n));
    }
    QStringList result;
    int end;
    while ((end = out.indexOf('\n')) >= 0) {
        result << QString::fromUtf8(out.left(end));
        out.remove(0, end + 1);
    }
    return result;
}

// Everything the relay still says within a short while; used to prove it said nothing.
QStringList tst_Snmp_Relay::snmpd_read_rest()
{
    return snmpd_read(1000000, 300);
}

void tst_Snmp_Relay::through_agent_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("reply");
    QTest::addColumn<QStringList>("writes");
    const QString s = QString::fromLatin1(node);
    QTest::newRow("PING") << QByteArray("PING\n") << QStringList{"PONG"} << QStringList{};
    QTest::newRow("get product name")
        << "get\n" + node + "1.1\n" << QStringList{s + "1.1", "string", "TOLVANE"}
        << QStringList{};
    QTest::newRow("get unknown") << "get\n" + node + "9.9\n" << QStringList{"NONE"}
                                 << QStringList{};
    QTest::newRow("getnext enterprise")
        << QByteArray("getnext\n.1.3.6.1.4.1.61904\n")
        << QStringList{s + "1.1", "string", "TOLVANE"} << QStringList{};
    QTest::newRow("getnext last") << "getnext\n" + node + "3.8\n" << QStringList{"NONE"}
                                  << QStringList{};
    QTest::newRow("set output 2")
        << snmpd_set(node + "3.2", "integer 1") + "PING\n"
        << QStringList{"PONG", s + "3.2", "INTEGER", "0", "PONG", "DONE", "PONG"}
        << QStringList{"3.2=1"};
    QTest::newRow("two sets in a row")
        << snmpd_set(node + "3.1", "integer 1") + snmpd_set(node + "3.8", "integer 0")
        << QStringList{"PONG", s + "3.1", "INTEGER", "0", "PONG", "DONE",
                       "PONG", s + "3.8", "INTEGER", "0", "PONG", "DONE"}
        << QStringList{"3.1=1", "3.8=0"};
    QTest::newRow("set unknown object") << "set\n" + node + "3.9\ninteger 1\n\n"
                                        << QStringList{"not-writable"} << QStringList{};
    QTest::newRow("set input is refused") << "set\n" + node + "2.3\ninteger 1\n\n"
                                          << QStringList{"not-writable"} << QStringList{};
    QTest::newRow("set product name is refused") << "set\n" + node + "1.1\ninteger 1\n\n"
                                                 << QStringList{"not-writable"} << QStringList{};
    QTest::newRow("set string value") << "set\n" + node + "3.2\nstring \"1\"\n\n"
                                      << QStringList{"wrong-type"} << QStringList{};
    QTest::newRow("empty lines between requests")
        << "\n\nget\n\n" + node + "1.1\n"
        << QStringList{s + "1.1", "string", "TOLVANE"} << QStringList{};
    QTest::newRow("binary junk") << QByteArray("\x00\xff\xfe\n", 4) + "PING\n"
                                 << QStringList{"PONG"} << QStringList{};
    QTest::newRow("unknown request word") << QByteArray("hello\nPING\n") << QStringList{"PONG"}
                                          << QStringList{};
}

void tst_Snmp_Relay::through_agent()
{
    QFETCH(QByteArray, request);
    QFETCH(QStringList, reply);
    QFETCH(QStringList, writes);
    start_relay();
    start_agent();
    QSignalSpy spy(agent.get(), &Snmp_Agent::signal_set_val);
    snmpd_write(request);
    QCOMPARE(snmpd_read(reply.size()), reply);
    QCOMPARE(snmpd_read_rest(), QStringList{});
    QStringList emitted;
    for (const QList<QVariant> &args : spy)
        emitted << args[0].toString() + "=" + args[1].toString();
    QCOMPARE(emitted, writes);
}

void tst_Snmp_Relay::request_split_across_reads()
{
    start_relay();
    start_agent();
    const QByteArray request = "getnext\n" + node + "1.1\n";
    for (char c : request) {
        snmpd_write(QByteArray(1, c));
        QTest::qWait(5);
    }
    QCOMPARE(snmpd_read(3), (QStringList{node + "2.1", "INTEGER", "0"}));
}

void tst_Snmp_Relay::overlong_input_line_keeps_step()
{
    start_relay();
    start_agent();
    snmpd_write("get\n" + node + QByteArray(100000, '1') + "\nPING\n");
    QCOMPARE(snmpd_read(2, 5000), (QStringList{"NONE", "PONG"}));
}

void tst_Snmp_Relay::without_device_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("reply");
    QTest::newRow("PING") << QByteArray("PING\n") << QStringList{"PONG"};
    QTest::newRow("get") << "get\n" + node + "1.1\n" << QStringList{"NONE"};
    QTest::newRow("getnext") << QByteArray("getnext\n.1.3.6.1.4.1.61904\n")
                             << QStringList{"NONE"};
    QTest::newRow("set") << "set\n" + node + "3.2\ninteger 1\n\n"
                         << QStringList{"resource-unavailable"};
}

void tst_Snmp_Relay::without_device()
{
    QFETCH(QByteArray, request);
    QFETCH(QStringList, reply);
    start_relay();
    snmpd_write(request);
    QCOMPARE(snmpd_read(reply.size(), 1000), reply);
}

void tst_Snmp_Relay::silent_device_times_out_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("forwarded");
    QTest::addColumn<QString>("reply");
    QTest::newRow("PING") << QByteArray("PING\n") << QByteArray("PING\n") << "PONG";
    QTest::newRow("get") << "get\n" + node + "1.1\n" << "get\n" + node + "1.1\n" << "NONE";
    QTest::newRow("set") << "set\n" + node + "3.2\ninteger 1\n\n"
                         << "set\n" + node + "3.2\ninteger 1\n" << "resource-unavailable";
}

void tst_Snmp_Relay::silent_device_times_out()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, forwarded);
    QFETCH(QString, reply);
    start_relay();
    QLocalSocket *dev = connect_device();
    QVERIFY(dev);
    QSignalSpy gone(dev, &QLocalSocket::disconnected);
    snmpd_write(request);
    QByteArray got;
    QTRY_COMPARE(got += dev->readAll(), forwarded);
    QCOMPARE(snmpd_read(1, 3000), QStringList{reply});
    // The late answer must not be taken for the answer to a later request.
    QTRY_COMPARE(gone.size(), 1);
    snmpd_write("get\n" + node + "1.1\n");
    QCOMPARE(snmpd_read(1, 1000), QStringList{"NONE"});
}

void tst_Snmp_Relay::device_gone_mid_request()
{
    // A long reply time-out: the answer must come from the disconnection, not the timer.
    start_relay(10000);
    QLocalSocket *dev = connect_device();
    QVERIFY(dev);
    snmpd_write("get\n" + node + "1.1\n");
    QTRY_VERIFY(dev->bytesAvailable() > 0);
    dev->write(node + "1.1\n");
    dev->flush();
    QTest::qWait(50);
    device.reset();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(snmpd_read(1, 5000), QStringList{"NONE"});
    QVERIFY(timer.elapsed() < 5000);
}

void tst_Snmp_Relay::device_out_of_turn_lines_ignored()
{
    start_relay();
    QLocalSocket *dev = connect_device();
    QVERIFY(dev);
    dev->write("PONG\nDONE\nnone\n");
    dev->flush();
    QTest::qWait(100);
    snmpd_write("get\n" + node + "2.1\n");
    QByteArray got;
    QTRY_COMPARE(got += dev->readAll(), "get\n" + node + "2.1\n");
    dev->write(node + "2.1\nINTEGER\n1\n");
    QCOMPARE(snmpd_read(3), (QStringList{node + "2.1", "INTEGER", "1"}));
}

void tst_Snmp_Relay::device_overlong_line_dropped()
{
    start_relay();
    QLocalSocket *dev = connect_device();
    QVERIFY(dev);
    QSignalSpy gone(dev, &QLocalSocket::disconnected);
    snmpd_write("get\n" + node + "1.1\n");
    QTRY_VERIFY(dev->bytesAvailable() > 0);
    dev->write(QByteArray(10000, 'x'));
    dev->flush();
    QCOMPARE(snmpd_read(1, 3000), QStringList{"NONE"});
    QTRY_COMPARE(gone.size(), 1);
}

void tst_Snmp_Relay::newer_device_replaces_older()
{
    start_relay();
    std::unique_ptr<QLocalSocket> older(new QLocalSocket);
    older->connectToServer(path);
    QVERIFY(older->waitForConnected(3000));
    QSignalSpy gone(older.get(), &QLocalSocket::disconnected);
    start_agent();
    QTRY_COMPARE(gone.size(), 1);
}

void tst_Snmp_Relay::input_closed_finishes()
{
    start_relay();
    QSignalSpy finished(relay.get(), &Snmp_Relay::finished);
    close(to_relay[1]);
    to_relay[1] = -1;
    QTRY_COMPARE(finished.size(), 1);
}

void tst_Snmp_Relay::first_request_waits_for_device_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("forwarded");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("reply");
    const QString s = QString::fromLatin1(node);
    QTest::newRow("get") << "get\n" + node + "1.1\n" << "get\n" + node + "1.1\n"
                         << node + "1.1\nstring\nTOLVANE\n"
                         << QStringList{s + "1.1", "string", "TOLVANE"};
    QTest::newRow("getnext") << QByteArray("getnext\n.1.3.6.1.4.1.61904\n")
                             << QByteArray("getnext\n.1.3.6.1.4.1.61904\n")
                             << node + "1.1\nstring\nTOLVANE\n"
                             << QStringList{s + "1.1", "string", "TOLVANE"};
    QTest::newRow("set") << "set\n" + node + "3.2\ninteger 1\n\n"
                         << "set\n" + node + "3.2\ninteger 1\n" << QByteArray("OK\n")
                         << QStringList{"DONE"};
    // snmpd's first words to a new handler: answered at once, then the get waits.
    QTest::newRow("PING then get")
        << "PING\nget\n" + node + "2.1\n" << "get\n" + node + "2.1\n"
        << node + "2.1\nINTEGER\n1\n" << QStringList{"PONG", s + "2.1", "INTEGER", "1"};
}

void tst_Snmp_Relay::first_request_waits_for_device()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, forwarded);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, reply);
    start_relay(500, 3000);
    snmpd_write(request);
    // The device program connects at its next reconnect attempt, up to a second later.
    const QStringList before = snmpd_read(reply.size(), 600);
    QCOMPARE(before, reply.mid(0, before.size()));
    QVERIFY(before.size() < reply.size());
    QLocalSocket *dev = connect_device();
    QVERIFY(dev);
    QByteArray got;
    QTRY_COMPARE(got += dev->readAll(), forwarded);
    dev->write(answer);
    QCOMPARE(before + snmpd_read(reply.size() - before.size()), reply);
}

void tst_Snmp_Relay::no_device_within_wait_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("waits");
    QTest::newRow("PING") << QByteArray("PING\n") << "PONG" << false;
    QTest::newRow("get") << "get\n" + node + "1.1\n" << "NONE" << true;
    QTest::newRow("set") << "set\n" + node + "3.2\ninteger 1\n\n" << "resource-unavailable"
                         << true;
}

void tst_Snmp_Relay::no_device_within_wait()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, reply);
    QFETCH(bool, waits);
    const int wait_ms = 1000;
    start_relay(500, wait_ms);
    QElapsedTimer timer;
    timer.start();
    snmpd_write(request);
    QCOMPARE(snmpd_read(1, 3000), QStringList{reply});
    if (!waits) {
        QVERIFY2(timer.elapsed() < wait_ms / 2, qPrintable(QString::number(timer.elapsed())));
        return;
    }
    // The wait is a coarse timer, which Qt may fire up to 5 % early.
    QVERIFY2(timer.elapsed() >= wait_ms * 9 / 10, qPrintable(QString::number(timer.elapsed())));
    // The wait is over: later requests are answered at once.
    timer.restart();
    snmpd_write("get\n" + node + "1.1\n");
    QCOMPARE(snmpd_read(1, 3000), QStringList{"NONE"});
    QVERIFY(timer.elapsed() < wait_ms / 2);
}

void tst_Snmp_Relay::wait_ends_with_first_device()
{
    start_relay(500, 10000);
    QVERIFY(connect_device());
    device.reset();
    QTest::qWait(100);
    // A device that came and went is absent as in normal running, not awaited.
    QElapsedTimer timer;
    timer.start();
    snmpd_write("get\n" + node + "1.1\n");
    QCOMPARE(snmpd_read(1, 3000), QStringList{"NONE"});
    QVERIFY(timer.elapsed() < 1000);
}

QTEST_MAIN(tst_Snmp_Relay)
#include "tst_snmp_relay.moc"
