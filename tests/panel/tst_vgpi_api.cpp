#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include "vgpi_api.h"

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// The spy's emissions as "type,type_specific,value" items joined by ";".
QString emissions(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << QStringLiteral("%1,%2,%3").arg(args.at(0).toInt()).arg(args.at(1).toInt()).arg(
                   args.at(2).toInt());
    return out.join(';');
}

enum Setter { PacketSize, PacketType, TypeSpecific, PacketUint16 };

const char GOOD_UINT16[] = "0000000b0002000301" "1234";
const char GOOD_INT32[] = "0000000d0002000102" "fffffffe";

} // namespace

Q_DECLARE_METATYPE(Setter)

class tst_vgpi_api : public QObject
{
    Q_OBJECT

private slots:
    void getters_data();
    void getters();
    void setters_data();
    void setters();
    void converters_data();
    void converters();
    void get_data_data();
    void get_data();
    void builders();
    void parse_frame_data();
    void parse_frame();
    void garbage_never_stalls();

private:
    Vgpi_api api;
};

void tst_vgpi_api::getters_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("type_specific");

    QTest::newRow("full frame") << hex("0000000b00021234010001") << 11 << 2 << 0x1234;
    QTest::newRow("type 0x80 reads unsigned") << hex("0000000b00800000") << 11 << 128 << 0;
    QTest::newRow("type 0xff, ts 0xffff") << hex("0000000b00ffffff") << 11 << 255 << 0xffff;
    QTest::newRow("size negative as int") << hex("fffffff5") << -11 << 0 << 0;
    QTest::newRow("empty") << QByteArray() << 0 << 0 << 0;
    QTest::newRow("3 bytes: no size") << hex("000000") << 0 << 0 << 0;
    QTest::newRow("5 bytes: no type") << hex("0000000b00") << 11 << 0 << 0;
    QTest::newRow("7 bytes: no type specific") << hex("0000000b000212") << 11 << 2 << 0;
}

void tst_vgpi_api::getters()
{
    QFETCH(QByteArray, frame);
    QTEST(api.vgpi_get_packet_size(frame), "size");
    QTEST(api.vgpi_get_packet_type(frame), "type");
    QTEST(api.vgpi_get_type_specific(frame), "type_specific");
}

void tst_vgpi_api::setters_data()
{
    QTest::addColumn<Setter>("setter");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray z = QByteArray(11, '\0');
    QTest::newRow("size, 3 bytes unchanged") << PacketSize << z.left(3) << 11 << z.left(3);
    QTest::newRow("size") << PacketSize << z.left(4) << 0x01020304 << hex("01020304");
    QTest::newRow("size -1") << PacketSize << z.left(4) << -1 << hex("ffffffff");
    QTest::newRow("type, 5 bytes unchanged") << PacketType << z.left(5) << 2 << z.left(5);
    QTest::newRow("type keeps low 8 bits") << PacketType << z.left(6) << 0x1ff << hex("0000000000ff");
    QTest::newRow("ts, 7 bytes unchanged") << TypeSpecific << z.left(7) << 3 << z.left(7);
    QTest::newRow("ts keeps low 16 bits") << TypeSpecific << z.left(8) << 0x12345
                                          << hex("0000000000002345");
    QTest::newRow("uint16, 10 bytes unchanged") << PacketUint16 << z.left(10) << 1 << z.left(10);
    QTest::newRow("uint16 70000 keeps 4464") << PacketUint16 << z << 70000
                                             << hex("0000000000000000011170");
    QTest::newRow("uint16, longer array keeps its tail")
        << PacketUint16 << hex("00000000000000000000aabb") << 0xffff
        << hex("0000000000000000" "01ffff" "bb");
}

void tst_vgpi_api::setters()
{
    QFETCH(Setter, setter);
    QFETCH(QByteArray, frame);
    QFETCH(int, value);
    switch (setter) {
    case PacketSize: api.vgpi_set_packet_size(frame, value); break;
    case PacketType: api.vgpi_set_packet_type(frame, value); break;
    case TypeSpecific: api.vgpi_set_type_specific(frame, value); break;
    case PacketUint16: api.vgpi_set_packet_uint16(frame, value); break;
    }
    QTEST(frame, "expected");
}

void tst_vgpi_api::converters_data()
{
    QTest::addColumn<bool>("int32");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");

    QTest::newRow("int16 empty") << false << QByteArray() << 0;
    QTest::newRow("int16 one byte is the high byte") << false << hex("12") << 0x1200;
    QTest::newRow("int16 no sign extension") << false << hex("ffff") << 65535;
    QTest::newRow("int16 extra bytes ignored") << false << hex("123456") << 0x1234;
    QTest::newRow("int32 empty") << true << QByteArray() << 0;
    QTest::newRow("int32 one byte") << true << hex("12") << 0x12000000;
    QTest::newRow("int32 two bytes") << true << hex("1234") << 305397760;
    QTest::newRow("int32 three bytes") << true << hex("123456") << 0x12345600;
    QTest::newRow("int32 signed") << true << hex("fffffffe") << -2;
    QTest::newRow("int32 one byte 0x80 is negative") << true << hex("80") << int(0x80000000u);
    QTest::newRow("int32 extra bytes ignored") << true << hex("123456789a") << 0x12345678;
}

void tst_vgpi_api::converters()
{
    QFETCH(bool, int32);
    QFETCH(QByteArray, bytes);
    QTEST(int32 ? api.vgpi_to_int32(bytes) : api.vgpi_to_int16(bytes), "expected");
}

void tst_vgpi_api::get_data_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("item_type");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("uint16") << hex("0000000b0002000301abcd") << 1 << hex("abcd");
    QTest::newRow("uint16 with trailing bytes") << hex("0000000b0002000301abcd99") << 1 << hex("abcd");
    QTest::newRow("uint16 cut short") << hex("0000000b0002000301ab") << 1 << hex("ab");
    QTest::newRow("int32") << hex("0000000d000200030212345678ff") << 2 << hex("12345678");
    QTest::newRow("int32 despite a size of 9") << hex("000000090002000302123456") << 2 << hex("123456");
    QTest::newRow("string item: all the rest") << hex("0000000d00020003030002414200") << 3
                                               << hex("0002414200");
    QTest::newRow("header only") << hex("0000000800020003") << 0 << QByteArray();
    QTest::newRow("short header") << hex("00000008") << 0 << QByteArray();
    QTest::newRow("empty") << QByteArray() << 0 << QByteArray();
}

void tst_vgpi_api::get_data()
{
    QFETCH(QByteArray, frame);
    int item_type = -1;
    const QByteArray data = api.vgpi_get_data(frame, item_type);
    QTEST(item_type, "item_type");
    QTEST(data, "data");
}

void tst_vgpi_api::builders()
{
    QCOMPARE(api.vgpi_frame_get_answer(0, 0), hex("0000000b000100000100 00"));
    QCOMPARE(api.vgpi_frame_uint16(3, 2), hex("0000000b000200030100 02"));
    QCOMPARE(api.vgpi_frame_get(0x12345, 70000), hex("0000000b000023450111 70"));
}

void tst_vgpi_api::parse_frame_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("dropped"); // the rest of the chunk is dropped and logged
    auto row = [](const QString &name, const QByteArray &chunk, const QString &expected,
                  bool dropped = false) {
        QTest::newRow(qPrintable(name)) << chunk << expected << dropped;
    };

    const QByteArray good = hex("0000000b0002000301 0001");
    const QByteArray other = hex("0000000b0002000401 0000");
    row("uint16 frame", good, "2,3,1");
    row("two back-to-back frames, in order", good + other, "2,3,1;2,4,0");
    row("int32 frame gives the signed value", hex(GOOD_INT32), "2,1,-2");
    row("packet type read unsigned", hex("0000000b00c8000301 0001"), "200,3,1");
    row("item type 3 gives nothing", hex("0000000b0002000303 0001"), "");
    row("frame without items gives nothing", hex("0000000800020003"), "");
    row("empty frame then a good one", hex("0000000800020003") + good, "2,3,1");
    row("items after the first are skipped", hex("0000000e0002000301 0007 01 0009") + other,
        "2,3,7;2,4,0");
    row("size larger than the chunk still reports", hex("000000400002000301 0005"), "2,3,5");
    row("size larger than the chunk swallows the rest", hex("000000160002000301 0005") + other,
        "2,3,5");

    // Malformed: the parser cannot advance past these, so it drops the rest and returns.
    row("size 0", hex("000000000002000301 0001") + good, "", true);
    row("size -11", hex("fffffff50002000301 0001") + good, "", true);
    row("size over 2 GiB is negative", hex("8000000b0002000301 0001"), "", true);
    row("size 4, inside the header", hex("000000040002000301 0001") + good, "", true);
    row("size 7, inside the header", hex("000000070002000301 0001") + good, "", true);
    row("size 10 cuts the uint16 item", hex("0000000a0002000301 0001") + good, "", true);
    row("size 12 cuts the int32 item", hex("0000000c0002000102 fffffffe"), "", true);
    row("good frame then size 0", good + hex("00000000000000"), "2,3,1", true);
    for (int n = 1; n < 4; ++n) {
        row(QStringLiteral("good frame then %1 stray bytes").arg(n), good + QByteArray(n, '\x01'),
            "2,3,1", true);
        row(QStringLiteral("%1 stray bytes alone").arg(n), QByteArray(n, '\x0b'), "", true);
    }

    // Every truncation of a good frame: the size then exceeds the chunk, so a frame cut inside
    // its value is still reported, missing value bytes counting as 0.
    const QByteArray u16 = hex(GOOD_UINT16);
    for (int n = 0; n < u16.size(); ++n) {
        const QString expected = n < 9 ? QString() : QStringLiteral("2,3,%1").arg(n == 9 ? 0 : 0x1200);
        row(QStringLiteral("uint16 frame cut to %1 bytes").arg(n), u16.left(n), expected,
            n > 0 && n < 4);
    }
    const QByteArray i32 = hex(GOOD_INT32);
    for (int n = 0; n < i32.size(); ++n) {
        const QByteArray padded = i32.left(n) + QByteArray(i32.size() - n, '\0');
        const int value = qFromBigEndian<qint32>(padded.constData() + 9);
        const QString expected = n < 9 ? QString() : QStringLiteral("2,1,%1").arg(value);
        row(QStringLiteral("int32 frame cut to %1 bytes").arg(n), i32.left(n), expected,
            n > 0 && n < 4);
    }
}

void tst_vgpi_api::parse_frame()
{
    QFETCH(QByteArray, chunk);
    QFETCH(bool, dropped);
    if (dropped)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("discarded bytes:"));
    // A parser of its own: one that has just logged many discards summarises the next ones.
    Vgpi_api parser;
    QSignalSpy spy(&parser, &Vgpi_api::signal_parse_frame);
    parser.parse_frame(chunk);
    QTEST(emissions(spy), "expected");
}

// Random chunks must neither hang the parser nor make it read outside the chunk (the sanitizer
// build catches the latter); each frame consumes at least its 8-byte header.
void tst_vgpi_api::garbage_never_stalls()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QRandomGenerator rng(20261209);
    QSignalSpy spy(&api, &Vgpi_api::signal_parse_frame);
    for (int round = 0; round < 5000; ++round) {
        QByteArray chunk(int(rng.bounded(64)), '\0');
        for (char &c : chunk)
            c = char(rng.bounded(256));
        if (round % 2)
            chunk[0] = chunk[1] = chunk[2] = '\0'; // plausible sizes 0..255
        spy.clear();
        api.parse_frame(chunk);
        QVERIFY(spy.count() <= chunk.size() / 8);
    }
    QLoggingCategory::setFilterRules(QString());
}

QTEST_GUILESS_MAIN(tst_vgpi_api)
#include "tst_vgpi_api.moc"
