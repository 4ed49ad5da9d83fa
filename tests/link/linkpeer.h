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

// Malformed packets, each of which a receiver must answer by closing the connection.
// Without `every_cut` the states packet is cut at its two ends only.
inline void add_malformed_rows(bool every_cut)
{
    QTest::addColumn<QByteArray>("packet");
    for (quint32 size : { 0u, 1u, 7u, 8u })
        QTest::addRow("size %u", size) << header(size, 3) + QByteArray(8, 0);
    for (quint32 size : { 8u + 3u + 65535u + 1u, 0x7fffffffu, 0x80000000u, 0xffffffffu })
        QTest::addRow("size %u", size) << header(size, 2) + QByteArray(64, 0);
    for (int type : { 0, 1 }) {
        const QByteArray good = states(type, { 1, 1, 1, 1, 1, 1, 1, 1 });
        for (int size = 9; size < 48; ++size) {
            if (!every_cut && size != 9 && size != 47)
                continue;
            QByteArray cut = good.left(size);
            qToBigEndian<quint32>(quint32(size), cut.data());
            QTest::addRow("type %d cut to %d", type, size) << cut;
        }
    }
    for (int size : { 9, 10 })
        QTest::addRow("serial of %d bytes, no room for the item head", size)
            << header(quint32(size), 2) + QByteArray(size - 8, 3);
    for (int n : { 1, 2, 100, 65535 }) {
        QByteArray p = serial(QByteArray(n, 'x')).left(11 + n - 1);
        qToBigEndian<quint32>(quint32(p.size()), p.data());
        QTest::addRow("serial item of %d bytes in a packet one byte short", n) << p;
    }
    QTest::newRow("serial item of 65535 bytes in a 12-byte packet")
        << header(12, 2) + QByteArray::fromHex("03ffff") + "x";
}

} // namespace linkpeer

#endif
