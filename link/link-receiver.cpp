#include "link-receiver.h"

#include "link-packet.h"
#include "vgpi-api.h"

LinkReceiver::LinkReceiver(int states_type, qint64 now)
    : states_type(states_type), expected(LINK_HEADER_SIZE), last_time(now)
{
}

int LinkReceiver::feed(const char *bytes, int size)
{
    compact();
    const int n = qBound(0, size, room());
    buffer.append(bytes, n);
    return n;
}

int LinkReceiver::feed(const QByteArray &bytes)
{
    return feed(bytes.constData(), bytes.size());
}

// After a fault nothing more is read, so nothing more is taken.
int LinkReceiver::room() const
{
    return broken ? 0 : CAPACITY - buffered();
}

int LinkReceiver::buffered() const
{
    return buffer.size() - pos;
}

// Consumed bytes are cut off once per feed rather than once per packet, so that a segment
// full of small packets costs one move of what is left.
void LinkReceiver::compact()
{
    if (pos == 0)
        return;
    buffer.remove(0, pos);
    pos = 0;
}

link_event_t LinkReceiver::next(qint64 now)
{
    if (broken)
        return {};
    if (!handshake)
        return buffered() < LINK_HEADER_SIZE ? link_event_t() : take_handshake(now);
    if (expected == LINK_HEADER_SIZE) {
        if (buffered() < LINK_HEADER_SIZE)
            return {};
        // The header stays in the buffer: it is consumed with the rest of its packet.
        const QByteArray header = buffer.mid(pos, LINK_HEADER_SIZE);
        expected = link_packet_size(header);
        if (expected == 0) {
            broken = true;
            link_event_t e;
            e.kind = link_event_t::BAD_HEADER;
            e.data = header;
            return e;
        }
    }
    return buffered() < expected ? link_event_t() : take_packet(now);
}

link_event_t LinkReceiver::take_handshake(qint64 now)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(buffer.constData()) + pos;
    pos += LINK_HEADER_SIZE;
    link_event_t e;
    if (!vgpi_check_handshake(bytes)) {
        broken = true;
        e.kind = link_event_t::BAD_HANDSHAKE;
        return e;
    }
    handshake = true;
    last_time = now;
    e.kind = link_event_t::HANDSHAKE;
    return e;
}

link_event_t LinkReceiver::take_packet(qint64 now)
{
    const QByteArray packet = buffer.mid(pos, expected);
    pos += expected;
    expected = LINK_HEADER_SIZE;
    // Every whole packet counts as a sign of life, one of an unknown type too.
    last_time = now;
    link_event_t e;
    e.type = link_packet_type(packet);
    if (e.type == states_type) {
        e.kind = link_event_t::STATES;
        e.states = link_read_states(packet);
    } else if (e.type == LINK_SERIAL) {
        e.kind = link_event_t::SERIAL;
        if (!link_read_serial(packet, &e.data)) {
            broken = true;
            e.kind = link_event_t::BAD_SERIAL;
            e.data = packet.left(LINK_HEADER_SIZE + 3);
        }
    } else if (e.type == LINK_KEEPALIVE) {
        e.kind = link_event_t::KEEPALIVE;
    } else {
        e.kind = link_event_t::UNKNOWN;
    }
    return e;
}

bool LinkReceiver::handshaken() const
{
    return handshake;
}

bool LinkReceiver::failed() const
{
    return broken;
}

qint64 LinkReceiver::last_receive() const
{
    return last_time;
}

bool LinkReceiver::timed_out(qint64 now) const
{
    return last_time + LINK_TIMEOUT_SECONDS < now;
}
