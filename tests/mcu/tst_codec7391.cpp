#include <QtTest>

#include <cstdio>
#include <unistd.h>
#include <vector>

#include "codec-7391.h"

namespace {
// The decoder reports a bad check on standard output; catch that for one call.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        if (::pipe(fds) != 0)
            qFatal("pipe");
        saved = ::dup(STDOUT_FILENO);
        ::dup2(fds[1], STDOUT_FILENO);
    }
    QByteArray finish()
    {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(fds[1]);
        QByteArray out;
        char buf[256];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, int(n));
        ::close(fds[0]);
        return out;
    }

private:
    int fds[2];
    int saved;
};

QByteArray encode(const QByteArray &message)
{
    QByteArray frame(2 * message.size() + 8, '\0');
    frame.resize(encode_7391(message.constData(), message.size(), frame.data()));
    return frame;
}

struct Decoded
{
    QByteArray message;
    QByteArray output;
};

// Exact-size heap copies, so a read or write outside the given bytes is caught.
Decoded decode(const QByteArray &frame)
{
    const std::vector<char> in(frame.begin(), frame.end());
    std::vector<char> out(size_t(qMax(frame.size() - 8, 0)));
    StdoutCapture capture;
    const int n = decode_7391(in.data(), out.data(), int(in.size()));
    Decoded result;
    result.output = capture.finish();
    result.message = QByteArray(out.data(), n);
    return result;
}
} // namespace

class tst_Codec7391 : public QObject
{
    Q_OBJECT
private slots:
    void examples_data();
    void examples();
    void stuffing_data();
    void stuffing();
    void all_escaped_message();
    void changed_byte_data();
    void changed_byte();
    void truncated_data();
    void truncated();
    void length_field_ignored();
    void unstuffing_quirks_data();
    void unstuffing_quirks();
    void payload_len_data();
    void payload_len();
};

void tst_Codec7391::examples_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("empty") << QByteArray() << QByteArray::fromHex("0505808080FE0606");
    QTest::newRow("00") << QByteArray::fromHex("00") << QByteArray::fromHex("05058180 00 FFFD0606");
    QTest::newRow("01 00") << QByteArray::fromHex("0100") << QByteArray::fromHex("05058280 0100 FDFD0606");
    QTest::newRow("04 00") << QByteArray::fromHex("0400") << QByteArray::fromHex("05058280 040C00 EEFD0606");
    QTest::newRow("output command") << QByteArray::fromHex("050100000000000000")
                                    << QByteArray::fromHex("05058980 040D0100000000000000 E5FD0606");
    QTest::newRow("input report") << QByteArray::fromHex("030100010000000001")
                                  << QByteArray::fromHex("05058980 030100010000000001 F1FD0606");
}

void tst_Codec7391::examples()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, frame);
    QCOMPARE(encode(message), frame);
    const Decoded decoded = decode(frame);
    QCOMPARE(decoded.message, message);
    QCOMPARE(decoded.output, QByteArray());
}

void tst_Codec7391::stuffing_data()
{
    QTest::addColumn<int>("byte");
    for (int b = 0; b <= 0xFF; ++b)
        QTest::addRow("%02x", b) << b;
}

// Only 0x04..0x0B are escaped, so markers appear in a frame as markers only.
void tst_Codec7391::stuffing()
{
    QFETCH(int, byte);
    const QByteArray message(3, char(byte));
    const QByteArray frame = encode(message);
    const bool escaped = byte >= 0x04 && byte <= 0x0B;
    QCOMPARE(frame.size(), escaped ? 14 : 11);
    if (escaped)
        QCOMPARE(frame.mid(4, 2), QByteArray::fromHex("04") + char(byte + 8));
    QCOMPARE(frame.count('\x05'), 2);
    QCOMPARE(frame.count('\x06'), 2);
    QCOMPARE(decode(frame).message, message);
}

void tst_Codec7391::all_escaped_message()
{
    const QByteArray message = QByteArray::fromHex("040506070809 0A0B04");
    const QByteArray frame = encode(message);
    QCOMPARE(frame.size(), 26);
    QCOMPARE(get_payload_len_7391(frame.constData()), 9);
    QCOMPARE(decode(frame).message, message);
}

void tst_Codec7391::changed_byte_data()
{
    QTest::addColumn<QByteArray>("frame");
    const QList<QByteArray> messages = { QByteArray(), QByteArray::fromHex("050100000000000000"),
                                         QByteArray::fromHex("02312E3200") };
    for (const QByteArray &message : messages) {
        const QByteArray good = encode(message);
        // Every byte from the length field through the check-high byte.
        for (int offset = 2; offset < good.size() - 2; ++offset) {
            for (int delta : { 1, 0x80, 0xFF }) {
                QByteArray bad = good;
                bad[offset] = char(bad.at(offset) + delta);
                QTest::addRow("%s offset %d +%d", message.toHex().constData(), offset, delta) << bad;
            }
        }
    }
}

void tst_Codec7391::changed_byte()
{
    QFETCH(QByteArray, frame);
    const Decoded decoded = decode(frame);
    QCOMPARE(decoded.message, QByteArray());
    QCOMPARE(decoded.output, QByteArray("crc error\n"));
}

void tst_Codec7391::truncated_data()
{
    QTest::addColumn<QByteArray>("frame");
    const QByteArray good = encode(QByteArray::fromHex("050100000000000000"));
    for (int len = 0; len < good.size(); ++len)
        QTest::addRow("first %d bytes", len) << good.left(len);
    QTest::newRow("markers only") << QByteArray::fromHex("05050606");
}

// A piece of a frame never yields a message and never makes the decoder read past it.
void tst_Codec7391::truncated()
{
    QFETCH(QByteArray, frame);
    const Decoded decoded = decode(frame);
    QCOMPARE(decoded.message, QByteArray());
    QCOMPARE(decoded.output, frame.size() < 4 ? QByteArray() : QByteArray("crc error\n"));
}

void tst_Codec7391::length_field_ignored()
{
    QByteArray frame = encode(QByteArray::fromHex("030100010000000001"));
    // Claim 5 bytes and repair the check so only the length disagrees.
    frame[2] = char(0x85);
    const int sum = 0x85 + 0x80 + 0x03 + 0x01 + 0x01 + 0x01;
    const int check = (16384 - sum) % 16384;
    frame[frame.size() - 4] = char(0x80 | (check & 0x7F));
    frame[frame.size() - 3] = char(0x80 | ((check >> 7) & 0x7F));
    QCOMPARE(decode(frame).message, QByteArray::fromHex("030100010000000001"));
}

void tst_Codec7391::unstuffing_quirks_data()
{
    QTest::addColumn<QByteArray>("stuffed");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("escape at the end") << QByteArray::fromHex("0104") << QByteArray::fromHex("01");
    QTest::newRow("two escapes") << QByteArray::fromHex("04040D") << QByteArray::fromHex("05");
    QTest::newRow("escape before low byte") << QByteArray::fromHex("0401") << QByteArray::fromHex("F9");
}

// The decoder unstuffs whatever it is given; build such frames with a valid check.
void tst_Codec7391::unstuffing_quirks()
{
    QFETCH(QByteArray, stuffed);
    QFETCH(QByteArray, message);
    QByteArray frame = QByteArray::fromHex("0505") + char(0x80 | stuffed.size()) + char(0x80) + stuffed;
    int sum = 0;
    for (int k = 2; k < frame.size(); ++k)
        sum += static_cast<unsigned char>(frame.at(k));
    const int check = (16384 - sum % 16384) % 16384;
    frame += char(0x80 | (check & 0x7F));
    frame += char(0x80 | ((check >> 7) & 0x7F));
    frame += QByteArray::fromHex("0606");
    QCOMPARE(decode(frame).message, message);
}

void tst_Codec7391::payload_len_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("length");
    QTest::newRow("9") << QByteArray::fromHex("05058980") << 9;
    QTest::newRow("largest") << QByteArray::fromHex("0505FFFF") << 16383;
    QTest::newRow("high group only") << QByteArray::fromHex("05058081") << 128;
    QTest::newRow("bit 7 clear") << QByteArray::fromHex("05050301") << 131;
}

void tst_Codec7391::payload_len()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, length);
    QCOMPARE(get_payload_len_7391(frame.constData()), length);
}

QTEST_GUILESS_MAIN(tst_Codec7391)
#include "tst_codec7391.moc"
