#ifndef LINKPEER_H
#define LINKPEER_H

// Helpers for playing the far end of the unit link in tests: raw packets built byte by
// byte (independently of the code under test) and a blocking-free way to wait for bytes.

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

namespace linkpeer {

inline QByteArray handshake()
{
    return QByteArray::fromHex("4e4f525600030000");
}

inline QByteArray header(quint32 size, int type)
{
    QByteArray h(8, 0);
    qToBigEndian<quint32>(size, h.data());
    h[5] = char(type);
    return h;
}

inline QByteArray int32_item(qint32 v)
{
    QByteArray i(5, 2);
    qToBigEndian<qint32>(v, i.data() + 1);
    return i;
}

inline QByteArray states(int type, const QList<int> &list)
{
    QByteArray p = header(48, type);
    for (int v : list)
        p += int32_item(v);
    return p;
}

inline QByteArray serial(const QByteArray &data)
{
    QByteArray p = header(quint32(11 + data.size()), 2);
    p += char(3);
    p += char(data.size() >> 8);
    p += char(data.size() & 0xff);
    return p + data;
}

inline QByteArray keepalive()
{
    return header(13, 3) + int32_item(0);
}

inline QByteArray typed(int type, int items)
{
    QByteArray p = header(quint32(8 + 5 * items), type);
    for (int k = 0; k < items; ++k)
        p += int32_item(k);
    return p;
}

// A TCP port that was free a moment ago.
inline quint16 free_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Reads exactly n bytes, running the event loop so the code under test works meanwhile.
inline QByteArray read_n(QTcpSocket &s, int n, int timeout_ms = 3000)
{
    QElapsedTimer clock;
    clock.start();
    while (s.bytesAvailable() < n && clock.elapsed() < timeout_ms)
        QTest::qWait(5);
    return s.read(n);
}

// Lets the event loop run for a while and returns whatever arrived.
inline QByteArray drain(QTcpSocket &s, int ms = 200)
{
    QTest::qWait(ms);
    return s.readAll();
}

// One of each fault that ends a connection, sent by a peer right after it connected, with
// the line logged for it (a pattern; empty for none) and whether the handshake got through.
inline void add_fault_rows()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("log");
    QTest::addColumn<bool>("handshaken");
    QTest::newRow("wrong handshake")
        << QByteArray("PERP") + QByteArray::fromHex("00010000") + keepalive() << QString() << false;
    QTest::newRow("header of a size no packet has")
        << handshake() + header(8, 3) + QByteArray(8, 0) << "^Bad packet header \"00 00 00 08 00 03 00 00\"$"
        << true;
    QTest::newRow("serial item longer than its packet")
        << handshake() + header(12, 2) + QByteArray::fromHex("03ffff") + "x"
        << "^Bad serial data \"00 00 00 0c 00 02 00 00 03 ff ff\"$" << true;
}

// A stream of packets as the socket may deliver it: byte by byte, or in one write larger
// than the receive machine holds. `packets` counts the states and serial packets in it and
// `serial_bytes` is their serial data, joined.
inline void add_stream_rows(int states_type)
{
    QTest::addColumn<QByteArrayList>("writes");
    QTest::addColumn<int>("packets");
    QTest::addColumn<QByteArray>("serial_bytes");
    QByteArrayList bytes;
    for (char c : states(states_type, { 1, 2, 3, 4, 5, 6, 7, 8 }) + serial("split") + keepalive())
        bytes << QByteArray(1, c);
    QTest::newRow("byte by byte") << bytes << 2 << QByteArray("split");
    QByteArray bulk, data;
    for (int i = 0; i < 300; ++i) {
        const QByteArray part(1000, char('a' + i % 26));
        bulk += serial(part) + (i % 50 == 0 ? keepalive() : QByteArray());
        data += part;
    }
    QTest::newRow("300 KB in one write") << QByteArrayList { bulk + states(states_type, { 0, 0, 0, 0, 0, 0, 0, 1 }) }
                                         << 301 << data;
    QByteArray largest, big_data;
    for (int i = 0; i < 4; ++i) {
        const QByteArray part(65535, char('0' + i));
        largest += serial(part);
        big_data += part;
    }
    QTest::newRow("largest packets back to back") << QByteArrayList { largest } << 4 << big_data;
}

inline QByteArray joined_serial(const QSignalSpy &spy)
{
    QByteArray all;
    for (const QList<QVariant> &args : spy)
        all += args.at(0).toByteArray();
    return all;
}

} // namespace linkpeer

#endif
