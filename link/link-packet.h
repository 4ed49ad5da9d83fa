#ifndef LINK_PACKET_H
#define LINK_PACKET_H

#include <QByteArray>
#include <QList>

// Unit-link packets: building them, checking an announced header, and reading the payloads.
// Both link ends share these so that both speak and accept exactly the same bytes.

enum link_packet_type_t {
    LINK_GPO_STATES = 0, // client to server
    LINK_GPI_STATES = 1, // server to client
    LINK_SERIAL = 2,
    LINK_KEEPALIVE = 3,
};

constexpr int LINK_HEADER_SIZE = 8;
// A peer silent for longer than this many whole seconds is dropped.
constexpr int LINK_TIMEOUT_SECONDS = 10;
// A peer that stops reading is dropped once this much is still unsent to it, so that
// unsent packets never pile up without bound.
constexpr qint64 LINK_MAX_UNSENT = 1024 * 1024;
// Connections the listening end keeps waiting for a handshake at one time; a further one
// closes the one that has waited longest.
constexpr int LINK_MAX_WAITING = 16;
constexpr int LINK_STATES_SIZE = 48;
// One packet is built in a 1024-byte buffer: header 8 and binary item head 3 leave 1013.
constexpr int LINK_SERIAL_CHUNK = 1013;

// Whole seconds of a clock that runs steadily from boot, the unit of every link receive
// time. Setting the wall clock (a board without a real-time clock starts near 1970 and is
// set later, or corrected back) must neither keep a dead link alive nor drop a healthy one.
qint64 link_now_seconds();

QByteArray link_states_packet(int type, const QList<int> &states);
// A chunk too long for one packet is cut into several, in order; an empty chunk gives one
// packet carrying nothing.
QList<QByteArray> link_serial_packets(const QByteArray &data);
QByteArray link_keepalive_packet();

// The packet size announced by an 8-byte header, or 0 when no link packet can have it:
// a receiver must not wait for it nor read it at the fixed offsets.
int link_packet_size(const QByteArray &header);
int link_packet_type(const QByteArray &packet);
QList<int> link_read_states(const QByteArray &packet);
// False when the binary item claims more bytes than the packet holds.
bool link_read_serial(const QByteArray &packet, QByteArray *data);

#endif
