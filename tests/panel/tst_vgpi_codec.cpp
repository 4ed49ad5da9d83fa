// The C codec on raw buffers: every reader's signedness, every writer's truncation, item
// lengths and the link packets built the way the link builds them.
#include <QtTest>

#include <cstdlib>

#include "vgpi-api.h"

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

const unsigned char *u(const QByteArray &a)
{
    return reinterpret_cast<const unsigned char *>(a.constData());
}

unsigned char *u(QByteArray &a)
{
    return reinterpret_cast<unsigned char *>(a.data());
}
} // namespace

class tst_vgpi_codec : public QObject
{
    Q_OBJECT

private slots:
    void readers_data();
    void readers();
    void writers_data();
    void writers();
    void int32_roundtrip_data();
    void int32_roundtrip();
    void string_items_data();
    void string_items();
    void binary_items_data();
    void binary_items();
    void item_length_data();
    void item_length();
    void unknown_item_types_move_on();
    void handshake_data();
    void handshake();
    void header_fields();
    void link_packets_data();
    void link_packets();
};

enum Reader { Uint8Raw, Uint16Raw, Int32Raw, Uint16Item, Int32Item, PacketSize, PacketType,
              TypeSpecific, ItemType };

void tst_vgpi_codec::readers_data()
{
    QTest::addColumn<int>("reader");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("uint8 raw 7f") << int(Uint8Raw) << hex("7f") << qint64(127);
    QTest::newRow("uint8 raw 80 is signed") << int(Uint8Raw) << hex("80") << qint64(-128);
    QTest::newRow("uint8 raw ff is signed") << int(Uint8Raw) << hex("ff") << qint64(-1);
    QTest::newRow("uint16 raw ffff unsigned") << int(Uint16Raw) << hex("ffff") << qint64(65535);
    QTest::newRow("uint16 raw 1234") << int(Uint16Raw) << hex("1234") << qint64(0x1234);
    QTest::newRow("int32 raw -2") << int(Int32Raw) << hex("fffffffe") << qint64(-2);
    QTest::newRow("int32 raw max") << int(Int32Raw) << hex("7fffffff") << qint64(2147483647);
    QTest::newRow("int32 raw min") << int(Int32Raw) << hex("80000000") << qint64(-2147483647 - 1);
    QTest::newRow("uint16 item, type byte unchecked") << int(Uint16Item) << hex("09ff00") << qint64(65280);
    QTest::newRow("int32 item, type byte unchecked") << int(Int32Item) << hex("0700000102") << qint64(258);
    QTest::newRow("packet size unsigned") << int(PacketSize) << hex("ffffffff00000000") << qint64(4294967295);
    QTest::newRow("packet size 48") << int(PacketSize) << hex("0000003000010000") << qint64(48);
    QTest::newRow("packet type 80 is signed") << int(PacketType) << hex("0000000000800000") << qint64(-128);
    QTest::newRow("packet type 3") << int(PacketType) << hex("0000000000030000") << qint64(3);
    QTest::newRow("type specific unsigned") << int(TypeSpecific) << hex("000000000000ffff") << qint64(65535);
    QTest::newRow("item type unsigned") << int(ItemType) << hex("ff") << qint64(255);
}

void tst_vgpi_codec::readers()
{
    QFETCH(int, reader);
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, expected);

    qint64 got = 0;
    switch (reader) {
    case Uint8Raw: got = vgpi_read_uint8_raw(u(bytes)); break;
    case Uint16Raw: got = vgpi_read_uint16_raw(u(bytes)); break;
    case Int32Raw: got = vgpi_read_int32_raw(u(bytes)); break;
    case Uint16Item: got = vgpi_read_uint16(u(bytes)); break;
    case Int32Item: got = vgpi_read_int32(u(bytes)); break;
    case PacketSize: got = vgpi_get_packet_size(u(bytes)); break;
    case PacketType: got = vgpi_get_packet_type(u(bytes)); break;
    case TypeSpecific: got = vgpi_get_type_specific(u(bytes)); break;
    case ItemType: got = vgpi_get_type(u(bytes)); break;
    }
    QCOMPARE(got, expected);
}

enum Writer { Uint8RawW, Uint16RawW, Int32RawW, Uint16ItemW, Int32ItemW, SequenceW };

void tst_vgpi_codec::writers_data()
{
    QTest::addColumn<int>("writer");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("length"); // -1: the writer returns nothing

    QTest::newRow("uint8 raw keeps low 8 bits") << int(Uint8RawW) << 0x1ff << hex("ff") << -1;
    QTest::newRow("uint8 raw -128") << int(Uint8RawW) << -128 << hex("80") << -1;
    QTest::newRow("uint16 raw keeps low 16 bits") << int(Uint16RawW) << 70000 << hex("1170") << -1;
    QTest::newRow("uint16 raw -1") << int(Uint16RawW) << -1 << hex("ffff") << -1;
    QTest::newRow("int32 raw -2") << int(Int32RawW) << -2 << hex("fffffffe") << -1;
    QTest::newRow("uint16 item 70000") << int(Uint16ItemW) << 70000 << hex("011170") << 3;
    QTest::newRow("uint16 item 1") << int(Uint16ItemW) << 1 << hex("010001") << 3;
    QTest::newRow("int32 item -2") << int(Int32ItemW) << -2 << hex("02fffffffe") << 5;
    QTest::newRow("int32 item 0") << int(Int32ItemW) << 0 << hex("0200000000") << 5;
    QTest::newRow("sequence header keeps low 16 bits") << int(SequenceW) << 0x12345 << hex("042345") << -1;
}

void tst_vgpi_codec::writers()
{
    QFETCH(int, writer);
    QFETCH(int, value);
    QFETCH(QByteArray, expected);
    QFETCH(int, length);

    // One guard byte past the item shows that nothing is written beyond it.
    QByteArray buf(expected.size() + 1, char(0xAA));
    int got = -1;
    switch (writer) {
    case Uint8RawW: vgpi_write_uint8_raw(u(buf), value); break;
    case Uint16RawW: vgpi_write_uint16_raw(u(buf), value); break;
    case Int32RawW: vgpi_write_int32_raw(u(buf), value); break;
    case Uint16ItemW: got = vgpi_write_uint16(u(buf), value); break;
    case Int32ItemW: got = vgpi_write_int32(u(buf), value); break;
    case SequenceW: vgpi_write_sequence_hdr(u(buf), value); break;
    }
    QCOMPARE(buf, expected + char(0xAA));
    QCOMPARE(got, length);
}

void tst_vgpi_codec::int32_roundtrip_data()
{
    QTest::addColumn<int>("value");
    for (int v : { 0, 1, -1, -2, 255, 256, 65536, 2147483647, -2147483647 - 1 })
        QTest::addRow("%d", v) << v;
}

void tst_vgpi_codec::int32_roundtrip()
{
    QFETCH(int, value);
    QByteArray item(5, 0);
    QCOMPARE(vgpi_write_int32(u(item), value), 5);
    QCOMPARE(vgpi_read_int32(u(item)), value);
    QCOMPARE(vgpi_get_len(u(item)), 5);
}

void tst_vgpi_codec::string_items_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty") << QByteArray("") << hex("030000");
    QTest::newRow("abc") << QByteArray("abc") << hex("030003616263");
    const QByteArray big(300, 'x');
    QTest::newRow("300 bytes") << big << hex("03012c") + big;
}

void tst_vgpi_codec::string_items()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QByteArray buf(expected.size(), 0);
    QCOMPARE(vgpi_write_string(u(buf), text.constData()), text.size() + 3);
    QCOMPARE(buf, expected);
    QCOMPARE(vgpi_get_len(u(buf)), text.size() + 3);
    char *back = vgpi_read_string(u(buf));
    QVERIFY(back);
    QCOMPARE(QByteArray(back), text);
    QCOMPARE(back[text.size()], '\0');
    std::free(back);
}

void tst_vgpi_codec::binary_items_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("with NUL bytes") << hex("00ff0001");
    QByteArray all;
    for (int i = 0; i < 65535; ++i)
        all.append(char(i * 7));
    QTest::newRow("largest") << all;
}

void tst_vgpi_codec::binary_items()
{
    QFETCH(QByteArray, data);
    QByteArray buf(data.size() + 3, 0);
    QCOMPARE(vgpi_write_binary(u(buf), u(data), data.size()), data.size() + 3);
    QCOMPARE(buf.left(3), QByteArray(1, 3) + char(data.size() >> 8) + char(data.size() & 0xff));
    unsigned char *out = nullptr;
    QCOMPARE(vgpi_read_binary(u(buf), &out), data.size());
    QVERIFY(out);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(out), data.size()), data);
    std::free(out);
}

void tst_vgpi_codec::item_length_data()
{
    QTest::addColumn<QByteArray>("item");
    QTest::addColumn<int>("length");
    QTest::newRow("uint16") << hex("01abcd") << 3;
    QTest::newRow("int32") << hex("02abcdef01") << 5;
    QTest::newRow("string 256") << hex("030100") << 259;
    QTest::newRow("string 65535") << hex("03ffff") << 65538;
    QTest::newRow("sequence 5") << hex("040005") << 8;
    QTest::newRow("unknown type 0") << hex("00ffff") << 1;
}

void tst_vgpi_codec::item_length()
{
    QFETCH(QByteArray, item);
    QFETCH(int, length);
    QCOMPARE(vgpi_get_len(u(item)), length);
}

// A reader that walks items with vgpi_get_len must always move on, whatever the bytes.
void tst_vgpi_codec::unknown_item_types_move_on()
{
    for (int type = 5; type <= 255; ++type) {
        const QByteArray item = QByteArray(1, char(type)) + hex("ffff");
        QCOMPARE(vgpi_get_len(u(item)), 1);
    }
}

void tst_vgpi_codec::handshake_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    const QByteArray good = hex("4e4f525600030000");
    QTest::newRow("NORV") << good << 1;
    for (int i = 0; i < good.size(); ++i) {
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ 0x01);
        QTest::addRow("byte %d changed", i) << bad << 0;
    }
    QTest::newRow("panel handshake") << QByteArray("PERP") + hex("00010000") << 0;
}

void tst_vgpi_codec::handshake()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(vgpi_handshake), 8), hex("4e4f525600030000"));
    QCOMPARE(vgpi_check_handshake(u(bytes)), expected);
}

void tst_vgpi_codec::header_fields()
{
    QByteArray frame(9, char(0xAA));
    vgpi_set_packet_size(u(frame), 0xfffffffeu);
    vgpi_set_packet_type(u(frame), 0x181);
    vgpi_set_type_specific(u(frame), 70000);
    // The reserved byte and the byte after the header are left alone.
    QCOMPARE(frame, hex("fffffffeaa811170aa"));
    QCOMPARE(vgpi_get_packet_size(u(frame)), 0xfffffffeu);
    QCOMPARE(vgpi_get_packet_type(u(frame)), -127);
    QCOMPARE(vgpi_get_type_specific(u(frame)), 4464);
}

// Packets built as the link builds them: items from offset 8, then type, type specific,
// size and the reserved byte.
void tst_vgpi_codec::link_packets_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QList<int>>("ints");
    QTest::addColumn<QByteArray>("binary");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("keepalive") << 3 << QList<int> { 0 } << QByteArray()
                               << hex("0000000d000300000200000000");
    QTest::newRow("GPI states, inputs 1 and 3 on")
        << 1 << QList<int> { 1, 0, 1, 0, 0, 0, 0, 0 } << QByteArray()
        << hex("0000003000010000" "0200000001" "0200000000" "0200000001" "0200000000"
               "0200000000" "0200000000" "0200000000" "0200000000");
    QTest::newRow("serial abc") << 2 << QList<int>() << QByteArray("abc")
                                << hex("0000000e00020000030003616263");
}

void tst_vgpi_codec::link_packets()
{
    QFETCH(int, type);
    QFETCH(QList<int>, ints);
    QFETCH(QByteArray, binary);
    QFETCH(QByteArray, expected);

    QByteArray buf(1024, char(0xAA));
    int len = 0;
    for (int v : ints)
        len += vgpi_write_int32(u(buf) + 8 + len, v);
    if (ints.isEmpty())
        len += vgpi_write_binary(u(buf) + 8, u(binary), binary.size());
    vgpi_set_packet_type(u(buf), type);
    vgpi_set_type_specific(u(buf), 0);
    vgpi_set_packet_size(u(buf), unsigned(8 + len));
    vgpi_write_uint8_raw(u(buf) + 4, 0);
    QCOMPARE(buf.left(int(vgpi_get_packet_size(u(buf)))), expected);
}

QTEST_APPLESS_MAIN(tst_vgpi_codec)
#include "tst_vgpi_codec.moc"
