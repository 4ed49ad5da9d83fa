#include <QtTest>

#include "codec-7391.h"
#include "rx-7391.h"

namespace {
QByteArray frame_of(const QByteArray &message)
{
    QByteArray frame(2 * message.size() + 8, '\0');
    frame.resize(encode_7391(message.constData(), message.size(), frame.data()));
    return frame;
}

const QByteArray ACK = QByteArray(1, '\0');
const QByteArray REPORT = QByteArray::fromHex("030100010000000001");
const QByteArray OUTPUTS = QByteArray::fromHex("0501000000000000ff");

QList<QByteArray> receive(Rx7391 &rx, const QList<QByteArray> &reads)
{
    QList<QByteArray> messages;
    QByteArray message;
    for (const QByteArray &read : reads) {
        rx.append(read);
        while (rx.next(&message))
            messages << message;
    }
    return messages;
}
} // namespace

class tst_Rx7391 : public QObject
{
    Q_OBJECT
private slots:
    void any_cut_data();
    void any_cut();
    void overflow_keeps_last_byte();
};

void tst_Rx7391::any_cut_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("messages");
    const QByteArray frames = frame_of(ACK) + frame_of(REPORT) + frame_of(OUTPUTS);
    const QList<QByteArray> all{ACK, REPORT, OUTPUTS};
    QTest::newRow("three frames") << frames << all;
    QTest::newRow("noise in front") << QByteArray::fromHex("ff0605000405") + frames << all;
    QTest::newRow("truncated frame in front") << frame_of(REPORT).left(9) + frames << all;
    QTest::newRow("lone start byte in front") << QByteArray::fromHex("05") + frames << all;
    QTest::newRow("bad check value dropped")
        << frame_of(REPORT).replace(5, 1, "\x7f") + frame_of(OUTPUTS) << QList<QByteArray>{OUTPUTS};
    QTest::newRow("empty message gives nothing") << frame_of(QByteArray()) + frame_of(ACK)
                                                 << QList<QByteArray>{ACK};
    QTest::newRow("end markers alone") << QByteArray::fromHex("0606060605050606") + frame_of(ACK)
                                       << QList<QByteArray>{ACK};
}

// The same messages come out wherever the reads are cut: in one read, byte by byte, and cut
// once at every position.
void tst_Rx7391::any_cut()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, messages);
    {
        Rx7391 rx;
        QCOMPARE(receive(rx, {stream}), messages);
        QVERIFY(rx.buffered() < 8);
    }
    QList<QByteArray> bytes;
    for (char c : stream)
        bytes << QByteArray(1, c);
    Rx7391 bytewise;
    QCOMPARE(receive(bytewise, bytes), messages);
    for (int cut = 1; cut < stream.size(); ++cut) {
        Rx7391 rx;
        QCOMPARE(receive(rx, {stream.left(cut), stream.mid(cut)}), messages);
    }
}

// A started frame longer than the bound is shed down to its last byte, which may begin the
// next frame's marker; the frame after the noise is still found.
void tst_Rx7391::overflow_keeps_last_byte()
{
    Rx7391 rx;
    const QByteArray noise = QByteArray::fromHex("0505") + QByteArray(Rx7391::BUFFER_MAX - 2, 'A')
            + QByteArray::fromHex("05");
    QCOMPARE(receive(rx, {noise}), QList<QByteArray>{});
    QCOMPARE(rx.buffered(), 1);
    QCOMPARE(rx.take_dropped(), 4096);
    QCOMPARE(rx.take_dropped(), 0);
    QCOMPARE(receive(rx, {frame_of(REPORT).mid(1)}), QList<QByteArray>{REPORT});
}

QTEST_GUILESS_MAIN(tst_Rx7391)
#include "tst_rx7391.moc"
