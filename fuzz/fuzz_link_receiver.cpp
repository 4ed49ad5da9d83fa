// The link receive machine on a connection's bytes cut into reads as the input says, at either
// end. The same bytes in other reads must give the same events; packets built by the senders'
// builders, received in reads of any size, must give back what they carry.
// Input: one byte whose lowest bit picks the end, then the reads.

#include "fuzz-input.h"
#include "link-packet.h"
#include "link-receiver.h"
#include "vgpi-api.h"

namespace {

const qint64 NOW = 1000;

bool same(const link_event_t &a, const link_event_t &b)
{
    return a.kind == b.kind && a.type == b.type && a.states == b.states && a.data == b.data;
}

// Every event, fed as the link ends feed it: only as much as there is room for, the rest after
// the events have made room.
QList<link_event_t> receive(int states_type, const QList<QByteArray> &reads)
{
    LinkReceiver receiver(states_type, NOW);
    QList<link_event_t> events;
    for (const QByteArray &read : reads) {
        int fed = 0;
        do {
            fed += receiver.feed(read.constData() + fed, read.size() - fed);
            FUZZ_CHECK(receiver.buffered() <= LinkReceiver::CAPACITY);
            for (;;) {
                const link_event_t event = receiver.next(NOW);
                if (event.kind == link_event_t::NONE)
                    break;
                events.append(event);
                FUZZ_CHECK(!receiver.failed() || event.kind >= link_event_t::BAD_HANDSHAKE);
            }
            if (receiver.failed()) {
                FUZZ_CHECK(receiver.next(NOW).kind == link_event_t::NONE);
                return events;
            }
            // With a full buffer an event must have come; no connection may stall.
            FUZZ_CHECK(fed == read.size() || receiver.room() > 0);
        } while (fed < read.size());
    }
    FUZZ_CHECK(receiver.handshaken() == (!events.isEmpty()
                                         && events.first().kind == link_event_t::HANDSHAKE));
    FUZZ_CHECK(!receiver.timed_out(NOW));
    return events;
}

void check_same(const QList<link_event_t> &a, const QList<link_event_t> &b)
{
    FUZZ_CHECK(a.size() == b.size());
    for (int i = 0; i < a.size(); ++i)
        FUZZ_CHECK(same(a[i], b[i]));
}

QList<QByteArray> cut(const QByteArray &stream, const QByteArray &steps)
{
    QList<QByteArray> reads;
    for (int pos = 0, k = 0; pos < stream.size(); ++k) {
        const int step = steps.isEmpty() ? 1 : 1 + quint8(steps.at(k % steps.size())) * 3;
        reads.append(stream.mid(pos, step));
        pos += step;
    }
    return reads;
}

// What the senders build from the input's bytes, received in reads cut by the same bytes.
void round_trip(int states_type, const QByteArray &bytes)
{
    QList<int> states;
    for (int k = 0; k < 8; ++k)
        states.append(k * 4 + 3 < bytes.size()
                              ? vgpi_read_int32_raw(
                                      reinterpret_cast<const unsigned char *>(bytes.constData()) + k * 4)
                              : k);
    QByteArray stream(reinterpret_cast<const char *>(vgpi_handshake), 8);
    stream += link_states_packet(states_type, states);
    QList<link_event_t> expected;
    link_event_t e;
    e.kind = link_event_t::HANDSHAKE;
    expected << e;
    e.kind = link_event_t::STATES;
    e.type = states_type;
    e.states = states;
    expected << e;
    e = link_event_t();
    for (const QByteArray &packet : link_serial_packets(bytes)) {
        stream += packet;
        e.kind = link_event_t::SERIAL;
        e.type = LINK_SERIAL;
        e.data = bytes.mid((expected.size() - 2) * LINK_SERIAL_CHUNK, LINK_SERIAL_CHUNK);
        expected << e;
    }
    stream += link_keepalive_packet();
    e = link_event_t();
    e.kind = link_event_t::KEEPALIVE;
    e.type = LINK_KEEPALIVE;
    expected << e;
    const QList<link_event_t> got = receive(states_type, cut(stream, bytes));
    FUZZ_CHECK(got.size() == expected.size());
    for (int i = 0; i < got.size(); ++i) {
        FUZZ_CHECK(got[i].kind == expected[i].kind);
        FUZZ_CHECK(got[i].states == expected[i].states || got[i].kind != link_event_t::STATES);
        FUZZ_CHECK(got[i].data == expected[i].data || got[i].kind != link_event_t::SERIAL);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int states_type = (data[0] & 1) ? LINK_GPI_STATES : LINK_GPO_STATES;
    const QList<QByteArray> reads = fuzz_reads(data + 1, size - 1);
    const QList<link_event_t> events = receive(states_type, reads);
    QByteArray stream;
    for (const QByteArray &read : reads)
        stream += read;
    check_same(receive(states_type, QList<QByteArray>() << stream), events);
    round_trip(states_type, fuzz_bytes(data + 1, size - 1));
    return 0;
}
