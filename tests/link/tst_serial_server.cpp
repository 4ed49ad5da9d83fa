// The RS-232 pass-through port on a pseudo-terminal.
#include <QtTest>

#include <algorithm>
#include <vector>

#include <termios.h>

#include "pseudoterminal.h"
#include "serial.h"

class tst_serial_server : public QObject
{
    Q_OBJECT

private slots:
    void chunks_concatenate_to_input_data();
    void chunks_concatenate_to_input();
    void no_bytes_no_signal();
    void poll_hands_on_at_the_end_of_the_period();
    void send_writes_bytes_unchanged();
    void baud_and_parity_change_on_open_port();
    void failed_open();
    void stalled_line_drops_instead_of_piling_up();
};

namespace {
QByteArray concat(const QSignalSpy &spy)
{
    QByteArray all;
    for (const QList<QVariant> &args : spy)
        all += args.at(0).toByteArray();
    return all;
}

QByteArray pattern(int n)
{
    QByteArray data;
    for (int i = 0; i < n; ++i)
        data.append(char((i * 31 + i / 256) & 0xff));
    return data;
}
} // namespace

void tst_serial_server::chunks_concatenate_to_input_data()
{
    QTest::addColumn<int>("bursts");
    QTest::addColumn<int>("burst_size");
    QTest::addColumn<int>("pause_ms");
    QTest::addColumn<bool>("immediate");
    for (bool immediate : { false, true }) {
        const char *mode = immediate ? "immediate: " : "poll: ";
        QTest::addRow("%sone byte", mode) << 1 << 1 << 0 << immediate;
        QTest::addRow("%sbursts across polls", mode) << 40 << 97 << 3 << immediate;
        QTest::addRow("%sbursts longer than one link packet", mode) << 4 << 3000 << 25 << immediate;
    }
}

void tst_serial_server::chunks_concatenate_to_input()
{
    QFETCH(int, bursts);
    QFETCH(int, burst_size);
    QFETCH(int, pause_ms);
    QFETCH(bool, immediate);
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    SerialServer serial(pty.slavePath());
    serial.set_immediate(immediate);
    QSignalSpy spy(&serial, &SerialServer::serial_data);
    const QByteArray input = pattern(bursts * burst_size);
    for (int b = 0; b < bursts; ++b) {
        pty.write(input.mid(b * burst_size, burst_size));
        QTest::qWait(pause_ms);
    }
    QTRY_COMPARE(concat(spy).size(), input.size());
    QCOMPARE(concat(spy), input);
    for (const QList<QVariant> &args : spy)
        QVERIFY(!args.at(0).toByteArray().isEmpty());
}

void tst_serial_server::no_bytes_no_signal()
{
    PseudoTerminal pty;
    SerialServer serial(pty.slavePath());
    QSignalSpy spy(&serial, &SerialServer::serial_data);
    QTest::qWait(100);
    QCOMPARE(spy.count(), 0);
}

// The poll sleeps while the line is idle, yet a byte must leave at the end of the period it
// arrived in, as with a poll that never stops: over random arrival points its wait spreads
// over the period (median about 5 ms), never a whole period after the byte.
void tst_serial_server::poll_hands_on_at_the_end_of_the_period()
{
    PseudoTerminal pty;
    SerialServer serial(pty.slavePath());
    QSignalSpy spy(&serial, &SerialServer::serial_data);
    QRandomGenerator rng(7);
    std::vector<qint64> waits;
    for (int i = 0; i < 40; ++i) {
        QTest::qWait(int(rng.bounded(2, 13)));
        QElapsedTimer t;
        t.start();
        pty.write("x");
        QVERIFY(spy.wait(1000));
        waits.push_back(t.nsecsElapsed());
    }
    std::sort(waits.begin(), waits.end());
    QVERIFY2(waits[waits.size() / 2] < 8000000,
             qPrintable(QStringLiteral("median wait %1 ns").arg(waits[waits.size() / 2])));
    QCOMPARE(concat(spy), QByteArray(40, 'x'));
}

void tst_serial_server::send_writes_bytes_unchanged()
{
    PseudoTerminal pty;
    SerialServer serial(pty.slavePath());
    serial.send(QByteArray());
    QTest::qWait(50);
    QCOMPARE(pty.readAvailable(), QByteArray());
    const QByteArray data = pattern(5000);
    serial.send(data.left(1));
    serial.send(data.mid(1));
    QCOMPARE(pty.read(data.size()), data);
}

void tst_serial_server::baud_and_parity_change_on_open_port()
{
    PseudoTerminal pty;
    SerialServer serial(pty.slavePath());
    QSignalSpy spy(&serial, &SerialServer::serial_data);
    serial.set_baud(9600);
    serial.set_parity(QSerialPort::EvenParity);
    termios tio {};
    QCOMPARE(::tcgetattr(pty.masterFd(), &tio), 0);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&tio), speed_t(B9600));
    // A pseudo-terminal has no parity bit to keep, so only the port staying open shows here.
    pty.write("after");
    QTRY_COMPARE(concat(spy), QByteArray("after"));
    serial.send("back");
    QCOMPARE(pty.read(4), QByteArray("back"));
}

void tst_serial_server::failed_open()
{
    QTest::ignoreMessage(QtDebugMsg, "Failed to open serial port for LTC");
    SerialServer serial(QStringLiteral("/nonexistent/ttyS2"));
    QSignalSpy spy(&serial, &SerialServer::serial_data);
    serial.send("nothing");
    serial.set_baud(9600);
    QTest::qWait(50);
    QCOMPARE(spy.count(), 0);
}

// Link data for a line that takes nothing waits in a bounded queue; what is dropped is
// whole chunks at the end, so what the line gets is still the data in order.
void tst_serial_server::stalled_line_drops_instead_of_piling_up()
{
    PseudoTerminal pty;
    SerialServer serial(pty.slavePath());
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    const int chunk_size = 256 * 1024;
    QByteArray accepted;
    int chunks = 0;
    for (; chunks < 64 && logged.isEmpty(); ++chunks) {
        const QByteArray chunk = pattern(chunk_size).mid(chunks % 7) + QByteArray::number(chunks);
        serial.send(chunk);
        if (logged.isEmpty())
            accepted += chunk;
        QTest::qWait(1);
    }
    qInstallMessageHandler(previous);
    QCOMPARE(logged.size(), 1);
    QVERIFY2(logged.first().startsWith("RS-232 output full, dropped "), qPrintable(logged.first()));
    QVERIFY(accepted.size() >= 4 * 1024 * 1024);
    QVERIFY(chunks < 64);
    QCOMPARE(pty.read(accepted.size(), 30000), accepted);
}

QTEST_GUILESS_MAIN(tst_serial_server)
#include "tst_serial_server.moc"
