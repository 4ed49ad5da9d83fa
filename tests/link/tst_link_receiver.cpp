// The link receive procedure on its own: bytes in, in any segmentation; events and the
// receive time out.
#include <QtTest>

#include "link-packet.h"
#include "link-receiver.h"
#include "linkpeer.h"

using namespace linkpeer;

namespace {
const QList<int> kOnes = { 1, 1, 1, 1, 1, 1, 1, 1 };

// One line per event; a handshake shows the bytes still held behind it (the number the ends
// log with "Handshake ok").
QString show(const link_event_t &e, const LinkReceiver &r)
{
    QStringList states;
    for (int v : e.states)
        states << QString::number(v);
    switch (e.kind) {
    case link_event_t::NONE:
        return "none";
    case link_event_t::HANDSHAKE:
        return QString("handshake %1").arg(r.buffered());
    case link_event_t::STATES:
        return "states " + states.join(',');
    case link_event_t::SERIAL:
        return "serial " + QString::fromLatin1(e.data);
    case link_event_t::KEEPALIVE:
        return "keepalive";
    case link_event_t::UNKNOWN:
        return QString("unknown %1").arg(e.type);
    case link_event_t::BAD_HANDSHAKE:
        return "bad handshake";
    case link_event_t::BAD_HEADER:
        return "bad header " + QString::fromLatin1(e.data.toHex(' '));
    case link_event_t::BAD_SERIAL:
        return "bad serial " + QString::fromLatin1(e.data.toHex(' '));
    }
    return "?";
}

// Feeds each segment whole, as an owner does with what a socket has buffered, and takes
// every event before the next segment.
QStringList run(LinkReceiver &r, const QList<QByteArray> &segments, qint64 now = 0)
{
    QStringList events;
    for (const QByteArray &segment : segments) {
        int taken = 0;
        do {
            taken += r.feed(segment.mid(taken));
            for (link_event_t e = r.next(now); e.kind != link_event_t::NONE; e = r.next(now))
                events << show(e, r);
        } while (taken < segment.size() && !r.failed());
    }
    return events;
}

// The same events with the handshake's byte count left out, which depends on the segmentation.
QStringList without_counts(QStringList events)
{
    events.replaceInStrings(QRegularExpression("^handshake [0-9]+$"), "handshake");
    return events;
}

QByteArray with_size(QByteArray packet, quint32 size)
{
    qToBigEndian<quint32>(size, packet.data());
    return packet;
}
} // namespace

class tst_link_receiver : public QObject
{
    Q_OBJECT

private slots:
    void receive_data();
    void receive();
    void any_segmentation_gives_the_same_events_data();
    void any_segmentation_gives_the_same_events();
    void truncated_packet_waits_whole_data();
    void truncated_packet_waits_whole();
    void buffer_is_bounded();
    void receive_time_data();
    void receive_time();
};

void tst_link_receiver::receive_data()
{
    QTest::addColumn<int>("states_type");
    QTest::addColumn<QByteArrayList>("segments");
    QTest::addColumn<QStringList>("expected");

    const QByteArray hs = handshake();
    QTest::newRow("handshake alone") << 0 << QByteArrayList { hs } << QStringList { "handshake 0" };
    QTest::newRow("handshake in two segments")
        << 1 << QByteArrayList { hs.left(3), hs.mid(3) } << QStringList { "handshake 0" };
    QTest::newRow("nothing before the handshake's last byte")
        << 1 << QByteArrayList { hs.left(7) } << QStringList();
    QTest::newRow("server: handshake and packets in one segment")
        << 0
        << QByteArrayList { hs + states(0, { 1, 0, 1, 0, 0, 0, 0, 2 }) + serial("xy") + keepalive() }
        << QStringList { "handshake 74", "states 1,0,1,0,0,0,0,2", "serial xy", "keepalive" };
    QTest::newRow("client: handshake and packets in one segment")
        << 1 << QByteArrayList { hs + states(1, { 1, 1, 0, 0, 0, 0, 0, -1 }) + serial("hi") }
        << QStringList { "handshake 61", "states 1,1,0,0,0,0,0,-1", "serial hi" };
    QTest::newRow("two packets in one segment")
        << 0 << QByteArrayList { hs, serial("ab") + serial("cd") }
        << QStringList { "handshake 0", "serial ab", "serial cd" };
    QTest::newRow("a packet and the head of the next")
        << 0 << QByteArrayList { hs, serial("ab") + serial("cd").left(9), serial("cd").mid(9) }
        << QStringList { "handshake 0", "serial ab", "serial cd" };
    QTest::newRow("header alone, then the rest")
        << 1 << QByteArrayList { hs, keepalive().left(8), keepalive().mid(8) }
        << QStringList { "handshake 0", "keepalive" };
    QTest::newRow("states values pass unchanged")
        << 1 << QByteArrayList { hs + states(1, { 0, 1, 2, -1, 0x7fffffff, int(0x80000000), 7, 0 }) }
        << QStringList { "handshake 48", "states 0,1,2,-1,2147483647,-2147483648,7,0" };
    QTest::newRow("serial with n = 0")
        << 0 << QByteArrayList { hs + serial(QByteArray()) } << QStringList { "handshake 11", "serial " };
    QTest::newRow("serial with n = 65535")
        << 1 << QByteArrayList { hs, serial(QByteArray(65535, 'q')) }
        << QStringList { "handshake 0", "serial " + QString(65535, 'q') };
    QTest::newRow("serial item shorter than its packet: the rest is ignored")
        << 0 << QByteArrayList { hs, with_size(serial("abc") + "zz", 16) + keepalive() }
        << QStringList { "handshake 0", "serial abc", "keepalive" };
    QTest::newRow("longer states packet: extra items ignored")
        << 0 << QByteArrayList { hs, with_size(states(0, kOnes) + int32_item(9), 53) + keepalive() }
        << QStringList { "handshake 0", "states 1,1,1,1,1,1,1,1", "keepalive" };

    const QByteArray next = serial("next");
    QTest::newRow("type 7 skipped") << 0 << QByteArrayList { hs, typed(7, 1) + next }
                                   << QStringList { "handshake 0", "unknown 7", "serial next" };
    QTest::newRow("server: type 1 is the client's")
        << 0 << QByteArrayList { hs, states(1, kOnes) + next }
        << QStringList { "handshake 0", "unknown 1", "serial next" };
    QTest::newRow("client: type 0 is the server's")
        << 1 << QByteArrayList { hs, states(0, kOnes) + next }
        << QStringList { "handshake 0", "unknown 0", "serial next" };
    QTest::newRow("type -1, 9 bytes") << 0 << QByteArrayList { hs, header(9, 0xff) + "x" + next }
                                     << QStringList { "handshake 0", "unknown -1", "serial next" };
    QTest::newRow("type -128") << 1 << QByteArrayList { hs, typed(0x80, 3) + next }
                              << QStringList { "handshake 0", "unknown -128", "serial next" };

    // Faults end the reception: what follows them is never read.
    for (int k = 0; k < 8; ++k) {
        QByteArray wrong = hs;
        wrong[k] = char(wrong[k] ^ 0x01);
        QTest::addRow("handshake with byte %d wrong", k)
            << 0 << QByteArrayList { wrong + states(0, kOnes), hs } << QStringList { "bad handshake" };
    }
    QTest::newRow("panel handshake") << 1 << QByteArrayList { QByteArray::fromHex("5045525000010000") }
                                     << QStringList { "bad handshake" };
    QTest::newRow("second handshake is a header of size 0x4e4f5256")
        << 0 << QByteArrayList { hs + hs + keepalive() }
        << QStringList { "handshake 21", "bad header 4e 4f 52 56 00 03 00 00" };
    QTest::newRow("bad header after a good packet")
        << 0 << QByteArrayList { hs, serial("ok") + header(8, 3) + QByteArray(8, 0) + keepalive() }
        << QStringList { "handshake 0", "serial ok", "bad header 00 00 00 08 00 03 00 00" };
    QTest::newRow("serial item of 65535 bytes in a 12-byte packet")
        << 1 << QByteArrayList { hs, header(12, 2) + QByteArray::fromHex("03ffff") + "x" + keepalive() }
        << QStringList { "handshake 0", "bad serial 00 00 00 0c 00 02 00 00 03 ff ff" };
}

void tst_link_receiver::receive()
{
    QFETCH(int, states_type);
    QFETCH(QByteArrayList, segments);
    QFETCH(QStringList, expected);
    LinkReceiver r(states_type, 0);
    QCOMPARE(run(r, segments), expected);
    const bool fault = !expected.isEmpty() && expected.last().startsWith("bad ");
    QCOMPARE(r.failed(), fault);
    QCOMPARE(r.handshaken(), !expected.isEmpty() && expected.first().startsWith("handshake"));
    QCOMPARE(r.next(0).kind, link_event_t::NONE);
}

void tst_link_receiver::any_segmentation_gives_the_same_events_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");
    const QByteArray all = handshake() + states(0, { 1, 2, 3, 4, 5, 6, 7, 8 }) + keepalive()
            + typed(7, 1) + serial("abc") + serial(QByteArray());
    const QStringList events = { "handshake", "states 1,2,3,4,5,6,7,8", "keepalive", "unknown 7",
                                 "serial abc", "serial " };
    QTest::newRow("good stream") << all << events;
    QTest::newRow("good stream, then a bad header")
        << all + header(7, 3) + keepalive()
        << events + QStringList { "bad header 00 00 00 07 00 03 00 00" };

    // Every header a receiver must refuse: nothing of the packet is handed on.
    const auto refused = [](const QString &name, const QByteArray &packet, const QString &event) {
        QTest::newRow(qPrintable(name)) << handshake() + packet + keepalive()
                                        << QStringList { "handshake", event };
    };
    const auto hex = [](const QByteArray &b) { return QString::fromLatin1(b.toHex(' ')); };
    for (quint32 size : { 0u, 1u, 7u, 8u })
        refused(QString("size %1").arg(size), header(size, 3) + QByteArray(8, 0),
                "bad header " + hex(header(size, 3)));
    for (quint32 size : { 8u + 3u + 65535u + 1u, 0x7fffffffu, 0x80000000u, 0xffffffffu })
        refused(QString("size %1").arg(size), header(size, 2) + QByteArray(64, 0),
                "bad header " + hex(header(size, 2)));
    for (int type : { 0, 1 }) {
        for (int size = 9; size < 48; ++size) {
            const QByteArray cut = with_size(states(type, kOnes).left(size), quint32(size));
            refused(QString("type %1 cut to %2").arg(type).arg(size), cut,
                    "bad header " + hex(cut.left(8)));
        }
    }
    for (int size : { 9, 10 })
        refused(QString("serial of %1 bytes, no room for the item head").arg(size),
                header(quint32(size), 2) + QByteArray(size - 8, 3),
                "bad header " + hex(header(quint32(size), 2)));
    for (int n : { 1, 2, 100, 65535 }) {
        const QByteArray p = with_size(serial(QByteArray(n, 'x')).left(11 + n - 1), quint32(11 + n - 1));
        refused(QString("serial item of %1 bytes in a packet one byte short").arg(n), p,
                "bad serial " + hex(p.left(11)));
    }
}

// Byte by byte, or cut in two at every point: the events do not depend on how the bytes
// arrive.
void tst_link_receiver::any_segmentation_gives_the_same_events()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);
    {
        LinkReceiver r(0, 0);
        QCOMPARE(without_counts(run(r, { stream })), expected);
    }
    QByteArrayList bytes;
    for (char c : stream)
        bytes << QByteArray(1, c);
    {
        LinkReceiver r(0, 0);
        QCOMPARE(without_counts(run(r, bytes)), expected);
    }
    // Cuts near the front are where the handshake and the first headers lie.
    const int cuts = qMin(stream.size(), 200);
    for (int cut = 1; cut < cuts; ++cut) {
        LinkReceiver r(0, 0);
        const QStringList events = without_counts(run(r, { stream.left(cut), stream.mid(cut) }));
        QVERIFY2(events == expected, qPrintable(QString("cut at %1: ").arg(cut) + events.join(" | ")));
    }
}

void tst_link_receiver::truncated_packet_waits_whole_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QString>("event");
    QTest::newRow("states") << states(0, { 1, 2, 3, 4, 5, 6, 7, 8 }) << "states 1,2,3,4,5,6,7,8";
    QTest::newRow("serial") << serial("split") << "serial split";
    QTest::newRow("keepalive") << keepalive() << "keepalive";
    QTest::newRow("unknown") << typed(9, 2) << "unknown 9";
}

// Every truncation of a good packet: nothing is handed on and nothing consumed, the header
// included, and the receive time stays, until the last byte is there.
void tst_link_receiver::truncated_packet_waits_whole()
{
    QFETCH(QByteArray, packet);
    QFETCH(QString, event);
    for (int len = 0; len < packet.size(); ++len) {
        LinkReceiver r(0, 100);
        QCOMPARE(run(r, { handshake() }, 100), QStringList { "handshake 0" });
        r.feed(packet.left(len));
        QCOMPARE(r.next(105).kind, link_event_t::NONE);
        QCOMPARE(r.buffered(), len);
        QCOMPARE(r.last_receive(), qint64(100));
        r.feed(packet.mid(len));
        const link_event_t e = r.next(105);
        QCOMPARE(show(e, r), event);
        QCOMPARE(r.buffered(), 0);
        QCOMPARE(r.last_receive(), qint64(105));
    }
}

// The machine never holds more than the largest packet; the rest waits with the owner.
void tst_link_receiver::buffer_is_bounded()
{
    LinkReceiver r(0, 0);
    QCOMPARE(r.room(), LinkReceiver::CAPACITY);
    QCOMPARE(r.feed(handshake()), 8);
    QCOMPARE(r.next(0).kind, link_event_t::HANDSHAKE);

    // A stream of the largest packets, offered in slices larger than the room.
    const QByteArray big = serial(QByteArray(65535, 'b'));
    QCOMPARE(big.size(), LinkReceiver::CAPACITY);
    const QByteArray stream = big + keepalive() + big + serial("end");
    QStringList events;
    int offered = 0;
    while (offered < stream.size()) {
        const int taken = r.feed(stream.mid(offered, 100000));
        QVERIFY(taken > 0);
        QVERIFY(r.buffered() <= LinkReceiver::CAPACITY);
        offered += taken;
        for (link_event_t e = r.next(0); e.kind != link_event_t::NONE; e = r.next(0))
            events << (e.kind == link_event_t::SERIAL ? QString("serial %1").arg(e.data.size()) : show(e, r));
    }
    QCOMPARE(events, QStringList({ "serial 65535", "keepalive", "serial 65535", "serial 3" }));
    QCOMPARE(r.room(), LinkReceiver::CAPACITY);

    // After a fault nothing more is taken, so an owner that goes on feeding cannot spin or
    // fill memory.
    LinkReceiver bad(0, 0);
    bad.feed(QByteArray("NORV") + QByteArray(4, 0) + keepalive());
    QCOMPARE(bad.next(0).kind, link_event_t::BAD_HANDSHAKE);
    QCOMPARE(bad.room(), 0);
    QCOMPARE(bad.feed(QByteArray(100000, 0)), 0);
    QCOMPARE(bad.next(0).kind, link_event_t::NONE);
}

void tst_link_receiver::receive_time_data()
{
    // The connection begins at `start`, bytes arrive at the given times (seconds of a clock
    // that never goes back), and the receive time-out is looked at, at `at`.
    QTest::addColumn<qint64>("start");
    QTest::addColumn<QList<qint64>>("times");
    QTest::addColumn<QByteArrayList>("segments");
    QTest::addColumn<qint64>("at");
    QTest::addColumn<bool>("timed_out");
    QTest::addColumn<qint64>("last");

    const QByteArray hs = handshake();
    QTest::newRow("silent from the start, 10 s") << 1000ll << QList<qint64>() << QByteArrayList() << 1010ll << false << 1000ll;
    QTest::newRow("silent from the start, 11 s") << 1000ll << QList<qint64>() << QByteArrayList() << 1011ll << true << 1000ll;
    QTest::newRow("handshake restarts the count") << 1000ll
        << QList<qint64> { 1009 } << QByteArrayList { hs } << 1019ll << false << 1009ll;
    QTest::newRow("half a handshake does not") << 1000ll
        << QList<qint64> { 1009 } << QByteArrayList { hs.left(7) } << 1011ll << true << 1000ll;
    QTest::newRow("wrong handshake does not") << 1000ll
        << QList<qint64> { 1009 } << QByteArrayList { QByteArray(8, 'x') } << 1011ll << true << 1000ll;
    QTest::newRow("keepalive 10 s ago") << 1000ll
        << QList<qint64> { 1001, 1005 } << QByteArrayList { hs, keepalive() } << 1015ll << false << 1005ll;
    QTest::newRow("keepalive 11 s ago") << 1000ll
        << QList<qint64> { 1001, 1005 } << QByteArrayList { hs, keepalive() } << 1016ll << true << 1005ll;
    QTest::newRow("unknown type counts as life") << 1000ll
        << QList<qint64> { 1001, 1008 } << QByteArrayList { hs, typed(7, 1) } << 1018ll << false << 1008ll;
    QTest::newRow("a packet short of its last byte does not") << 1000ll
        << QList<qint64> { 1001, 1008 } << QByteArrayList { hs, keepalive().left(12) } << 1012ll << true << 1001ll;
    QTest::newRow("the packet counts when its last byte comes") << 1000ll
        << QList<qint64> { 1001, 1002, 1011 } << QByteArrayList { hs, keepalive().left(12), keepalive().right(1) }
        << 1021ll << false << 1011ll;
    // A board without a real-time clock counts from near zero after boot.
    QTest::newRow("clock near zero") << 0ll
        << QList<qint64> { 3 } << QByteArrayList { hs } << 14ll << true << 3ll;
}

void tst_link_receiver::receive_time()
{
    QFETCH(qint64, start);
    QFETCH(QList<qint64>, times);
    QFETCH(QByteArrayList, segments);
    QFETCH(qint64, at);
    QFETCH(bool, timed_out);
    QFETCH(qint64, last);
    LinkReceiver r(0, start);
    for (int i = 0; i < segments.size(); ++i) {
        r.feed(segments[i]);
        while (r.next(times[i]).kind != link_event_t::NONE) {
        }
    }
    QCOMPARE(r.last_receive(), last);
    QCOMPARE(r.timed_out(at), timed_out);
    QVERIFY(!r.timed_out(last + LINK_TIMEOUT_SECONDS));
    QVERIFY(r.timed_out(last + LINK_TIMEOUT_SECONDS + 1));
}

QTEST_GUILESS_MAIN(tst_link_receiver)
#include "tst_link_receiver.moc"
