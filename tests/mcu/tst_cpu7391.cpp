#include <QtTest>

#include <QRandomGenerator>

#include "codec-7391.h"
#include "cpu-7391.h"
#include "pseudoterminal.h"

namespace {
QByteArray frame_of(const QByteArray &message)
{
    QByteArray frame(2 * message.size() + 8, '\0');
    frame.resize(encode_7391(message.constData(), message.size(), frame.data()));
    return frame;
}

const QByteArray ACK = frame_of(QByteArray(1, '\0'));
const QByteArray FIRST = QByteArray::fromHex("1101");
const QByteArray SECOND = QByteArray::fromHex("1102");
const QByteArray REPORT = QByteArray::fromHex("030100000000000001");

// Records what the transport hands up.
class Transport : public Cpu7391
{
public:
    using Cpu7391::Cpu7391;
    QList<QByteArray> received;

protected:
    void process_msg(QByteArray message) override { received.append(message); }
};

void send(Transport &transport, const QByteArray &message)
{
    transport.send_data(message.constData(), message.size());
}
} // namespace

class tst_Cpu7391 : public QObject
{
    Q_OBJECT
private slots:
    void second_frame_waits_for_ack_data();
    void second_frame_waits_for_ack();
    void second_frame_after_timeout();
    void reply_does_not_release_data();
    void reply_does_not_release();
    void idle_after_timeout();
    void receive_data();
    void receive();
    void tx_queue_drops_oldest();
    void unopened_port_queue_is_bounded();
    void rx_buffer_is_bounded_data();
    void rx_buffer_is_bounded();
};

void tst_Cpu7391::second_frame_waits_for_ack_data()
{
    QTest::addColumn<QByteArray>("ack");
    QTest::newRow("00") << ACK;
    QTest::newRow("00 with further bytes") << frame_of(QByteArray::fromHex("00FF01"));
    QTest::newRow("behind a report") << frame_of(REPORT) + ACK;
}

void tst_Cpu7391::second_frame_waits_for_ack()
{
    QFETCH(QByteArray, ack);
    PseudoTerminal pty;
    Transport transport(pty.slavePath());
    send(transport, FIRST);
    send(transport, SECOND);
    QCOMPARE(pty.read(frame_of(FIRST).size()), frame_of(FIRST));
    QCOMPARE(pty.read(1, 300), QByteArray());
    pty.write(ack);
    QCOMPARE(pty.read(frame_of(SECOND).size(), 1000), frame_of(SECOND));
}

void tst_Cpu7391::second_frame_after_timeout()
{
    PseudoTerminal pty;
    Transport transport(pty.slavePath());
    QElapsedTimer clock;
    clock.start();
    send(transport, FIRST);
    send(transport, SECOND);
    QCOMPARE(pty.read(frame_of(FIRST).size()), frame_of(FIRST));
    QTest::ignoreMessage(QtDebugMsg, "LTC: UART timeout");
    QCOMPARE(pty.read(frame_of(SECOND).size(), 3000), frame_of(SECOND));
    QVERIFY2(clock.elapsed() >= 1800, qPrintable(QString::number(clock.elapsed())));
}

void tst_Cpu7391::reply_does_not_release_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("version report") << QByteArray::fromHex("02312E3200") + QByteArray(26, '\0');
    QTest::newRow("input report") << REPORT;
}

// Only the acknowledgement releases the frame in flight; a report is handed up and the
// time-out keeps running from the first write.
void tst_Cpu7391::reply_does_not_release()
{
    QFETCH(QByteArray, reply);
    PseudoTerminal pty;
    Transport transport(pty.slavePath());
    QElapsedTimer clock;
    clock.start();
    send(transport, FIRST);
    send(transport, SECOND);
    QCOMPARE(pty.read(frame_of(FIRST).size()), frame_of(FIRST));
    QTest::qWait(1000);
    pty.write(frame_of(reply));
    QTRY_COMPARE(transport.received, QList<QByteArray>() << reply);
    QTest::ignoreMessage(QtDebugMsg, "LTC: UART timeout");
    QCOMPARE(pty.read(frame_of(SECOND).size(), 3000), frame_of(SECOND));
    QVERIFY2(clock.elapsed() >= 1800 && clock.elapsed() < 2800, qPrintable(QString::number(clock.elapsed())));
}

void tst_Cpu7391::idle_after_timeout()
{
    PseudoTerminal pty;
    Transport transport(pty.slavePath());
    send(transport, FIRST);
    QCOMPARE(pty.read(frame_of(FIRST).size()), frame_of(FIRST));
    QTest::ignoreMessage(QtDebugMsg, "LTC: UART timeout");
    QTest::qWait(2200);
    send(transport, SECOND);
    QCOMPARE(pty.read(frame_of(SECOND).size(), 500), frame_of(SECOND));
}

void tst_Cpu7391::receive_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("messages");
    const QByteArray a = REPORT;
    const QByteArray b = QByteArray::fromHex("02") + QByteArray("1.2").leftJustified(30, '\0');
    const QByteArray fa = frame_of(a);
    const QByteArray fb = frame_of(b);
    using L = QList<QByteArray>;

    QTest::newRow("one frame") << L { fa } << L { a };
    QTest::newRow("empty payload") << L { frame_of(QByteArray()) } << L {};
    QTest::newRow("empty payload then frame") << L { frame_of(QByteArray()) + fa } << L { a };
    QTest::newRow("stray leading byte") << L { QByteArray(1, '\x7F') + fa } << L { a };
    QTest::newRow("stray 05") << L { QByteArray(1, '\x05') + fa } << L { a };
    QTest::newRow("stray end marker") << L { QByteArray::fromHex("0606") + fa } << L { a };
    QTest::newRow("two frames in one read") << L { fa + fb } << L { a, b };
    QTest::newRow("three frames, one read") << L { fb + fa + fb } << L { b, a, b };
    for (int cut = 1; cut < fa.size(); ++cut)
        QTest::addRow("split at %d", cut) << L { fa.left(cut), fa.mid(cut) } << L { a };
    L bytes;
    for (char c : fb)
        bytes.append(QByteArray(1, c));
    QTest::newRow("one byte a read") << bytes << L { b };
    QTest::newRow("start markers without end")
        << L { QByteArray::fromHex("0505 8180 41 0505 8180 42 0505 83"), fa } << L { a };
    // A frame cut short by noise does not take the good frame behind it along.
    for (int len = 1; len < fb.size() - 1; ++len)
        QTest::addRow("first %d bytes of a frame, then a frame", len) << L { fb.left(len) + fa } << L { a };
    QByteArray corrupt = fb;
    corrupt[6] = 'X';
    QTest::newRow("corrupt frame, then a frame") << L { corrupt + fa } << L { a };
    QTest::newRow("corrupt frame alone") << L { corrupt } << L {};
    QTest::newRow("escape before end marker") << L { QByteArray::fromHex("0505818004 8080 0606"), fa } << L { a };
    QByteArray burst;
    L burst_messages;
    for (int k = 0; k < 1000; ++k) {
        const QByteArray m = QByteArray::fromHex("03") + QByteArray(8, char(k));
        burst += frame_of(m);
        burst_messages.append(m);
    }
    QTest::newRow("burst beyond the buffer limit") << L { burst } << burst_messages;
    QRandomGenerator random(7391);
    for (int row = 0; row < 32; ++row) {
        QByteArray noise(1 + int(random.bounded(300)), '\0');
        for (char &c : noise)
            c = char(random.bounded(256));
        QTest::addRow("noise %d", row) << L { noise, fa } << L { a };
    }
}

void tst_Cpu7391::receive()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, messages);
    PseudoTerminal pty;
    Transport transport(pty.slavePath());
    for (const QByteArray &chunk : chunks) {
        pty.write(chunk);
        QTest::qWait(20);
    }
    QTRY_COMPARE(transport.received, messages);
    QTest::qWait(50);
    QCOMPARE(transport.received, messages);
}

// Drops come once per frame; the first few are logged each, the rest in one summary line.
static void expect_drop_log(int dropped)
{
    const char *line = "LTC: TX queue full, dropped oldest frame";
    for (int k = 0; k < qMin(dropped, RepeatLog::BURST); ++k)
        QTest::ignoreMessage(QtDebugMsg, line);
    if (dropped > RepeatLog::BURST)
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("%1 ... repeated %2 times")
                                                        .arg(QLatin1String(line))
                                                        .arg(dropped - RepeatLog::BURST)));
}

// A controller that stops acknowledging: one frame in flight, the newest 64 waiting.
void tst_Cpu7391::tx_queue_drops_oldest()
{
    PseudoTerminal pty;
    Transport transport(pty.slavePath());
    const int sent = 100;
    const int dropped = sent - 1 - Cpu7391::TX_QUEUE_MAX;
    expect_drop_log(dropped);
    for (int seq = 0; seq < sent; ++seq)
        send(transport, QByteArray::fromHex("11") + char(0x20 + seq));

    QByteArray acks;
    for (int k = 0; k < sent; ++k)
        acks += ACK;
    pty.write(acks);
    const int frame_size = frame_of(FIRST).size();
    const QByteArray wire = pty.read((1 + Cpu7391::TX_QUEUE_MAX) * frame_size);
    QCOMPARE(pty.read(1, 200), QByteArray());
    QByteArray expected = frame_of(QByteArray::fromHex("1120"));
    for (int seq = sent - Cpu7391::TX_QUEUE_MAX; seq < sent; ++seq)
        expected += frame_of(QByteArray::fromHex("11") + char(0x20 + seq));
    QCOMPARE(wire, expected);
}

void tst_Cpu7391::unopened_port_queue_is_bounded()
{
    QTest::ignoreMessage(QtDebugMsg, "Failed to open serial port");
    Transport transport(QStringLiteral("/nonexistent/ttyS3"));
    const int sent = 200;
    expect_drop_log(sent - 1 - Cpu7391::TX_QUEUE_MAX);
    for (int k = 0; k < sent; ++k)
        send(transport, FIRST);
}

void tst_Cpu7391::rx_buffer_is_bounded_data()
{
    QTest::addColumn<QByteArray>("noise");
    QTest::newRow("frame that never ends") << QByteArray::fromHex("05058180") + QByteArray(20000, 'A');
    QTest::newRow("no marker at all") << QByteArray(20000, 'A');
    QTest::newRow("markers and escapes") << QByteArray::fromHex("0505").repeated(1) + QByteArray::fromHex("0441").repeated(10000);
}

// Noise longer than any frame is shed and the line recovers with the next good frame.
void tst_Cpu7391::rx_buffer_is_bounded()
{
    QFETCH(QByteArray, noise);
    PseudoTerminal pty;
    Transport transport(pty.slavePath());
    if (noise.startsWith("\x05\x05"))
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^LTC: RX buffer full, dropped \\d+ bytes$"));
    for (int k = 0; k < noise.size(); k += 1000) {
        pty.write(noise.mid(k, 1000));
        QTest::qWait(2);
    }
    pty.write(frame_of(REPORT));
    QTRY_COMPARE(transport.received, QList<QByteArray>() << REPORT);
}

QTEST_GUILESS_MAIN(tst_Cpu7391)
#include "tst_cpu7391.moc"
