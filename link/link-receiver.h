#ifndef LINK_RECEIVER_H
#define LINK_RECEIVER_H

#include <QByteArray>
#include <QList>

// One thing the receive machine found in the bytes of a link connection.
struct link_event_t
{
    enum kind_t {
        NONE, // nothing complete yet: the machine wants more bytes
        HANDSHAKE, // the peer's link handshake was accepted
        STATES, // a states packet of the type this end takes: `states`
        SERIAL, // a serial data packet: its data bytes in `data` (possibly none)
        KEEPALIVE,
        UNKNOWN, // a packet of a type this end does not take: `type`; reception goes on
        // The three faults below end the connection; the machine reads nothing more.
        BAD_HANDSHAKE, // the first 8 bytes were not the link handshake
        BAD_HEADER, // a header announcing a size no link packet can have: the 8 bytes in `data`
        BAD_SERIAL, // a serial item longer than its packet: the packet's first 11 bytes in `data`
    };

    kind_t kind = NONE;
    int type = 0;
    QList<int> states;
    QByteArray data;
};

// The receive procedure of one link connection, with no socket: bytes go in with feed(),
// events come out one at a time from next(), so that the owner can act on each (answer,
// signal, close) before the next is taken. Both link ends use it; they differ only in the
// states packet type they take.
//
// Times are whole seconds of link_now_seconds() (or any clock that never goes back), passed
// in by the owner so that the machine can be driven without a clock or an event loop.
class LinkReceiver
{
public:
    // `states_type` is LINK_GPO_STATES for the listening end, LINK_GPI_STATES for the
    // connecting end; `now` is when the connection was accepted or its attempt began, which
    // counts as the last receive until the handshake arrives.
    LinkReceiver(int states_type, qint64 now);

    // Largest number of bytes the machine holds: the largest link packet. Since a buffer of
    // that many bytes always holds a whole packet or a fault, the owner never has to wait
    // with bytes it cannot hand over.
    static constexpr int CAPACITY = 8 + 3 + 65535;

    // Takes as many of the bytes as there is room for and returns that number; after a fault
    // there is no room.
    int feed(const char *bytes, int size);
    int feed(const QByteArray &bytes);
    int room() const;
    // Bytes taken but not yet consumed by an event.
    int buffered() const;

    // The next event from the bytes held. A handshake or packet sets the last receive time
    // to `now`.
    link_event_t next(qint64 now);

    bool handshaken() const;
    bool failed() const;
    qint64 last_receive() const;
    // More than the link's time-out of whole seconds without an accepted handshake or packet.
    bool timed_out(qint64 now) const;

private:
    link_event_t take_handshake(qint64 now);
    link_event_t take_packet(qint64 now);
    void compact();

    int states_type;
    QByteArray buffer;
    int pos = 0; // start of the bytes not yet consumed in `buffer`
    int expected; // bytes the next step needs: a header, then the packet it announced
    bool handshake = false;
    bool broken = false;
    qint64 last_time;
};

#endif
