#include "gpi-client.h"

#include <QDebug>

#include "link-packet.h"
#include "vgpi-api.h"
#include "write-through.h"

Gpi_client::Gpi_client(quint16 port)
    : port(port)
{
    connect(&timer, SIGNAL(timeout()), this, SLOT(timer_timeout()));
    connect(&socket, SIGNAL(connected()), this, SLOT(connected()));
    connect(&socket, SIGNAL(readyRead()), this, SLOT(data_read()));
    timer.start(1000);
    connect(&keepalive_timer, SIGNAL(timeout()), this, SLOT(keepalive_timeout()));
    keepalive_timer.start(5000);
}

Gpi_client::~Gpi_client()
{
    socket.disconnect(this);
    socket.abort();
}

void Gpi_client::enable(int on)
{
    if (on != enabled)
        socket.close();
    enabled = on;
}

void Gpi_client::set_dst(QString d)
{
    dst = d;
}

int Gpi_client::status()
{
    return receiver.handshaken() ? 1 : 0;
}

bool Gpi_client::linked()
{
    return receiver.handshaken() && socket.state() == QAbstractSocket::ConnectedState;
}

void Gpi_client::send_gpo(QList<int> gpo)
{
    if (linked())
        write_packets({ link_states_packet(LINK_GPO_STATES, gpo) });
}

void Gpi_client::send_serial(QByteArray data)
{
    if (linked())
        write_packets(link_serial_packets(data));
}

void Gpi_client::send_keepalive()
{
    if (linked())
        write_packets({ link_keepalive_packet() });
}

void Gpi_client::send_version()
{
    socket.write(reinterpret_cast<const char *>(vgpi_handshake), sizeof vgpi_handshake);
}

// The backlog is judged before a call's packets are queued, so one long chunk of RS-232
// data never counts against a server that reads.
void Gpi_client::write_packets(const QList<QByteArray> &packets)
{
    if (socket.bytesToWrite() > LINK_MAX_UNSENT) {
        qDebug() << "Server not reading" << socket.bytesToWrite();
        drop();
        return;
    }
    write_through(socket, socket.socketDescriptor(), FdKind::Socket, packets.join());
}

void Gpi_client::timer_timeout()
{
    if (socket.state() != QAbstractSocket::UnconnectedState || dst.isEmpty() || enabled == 0)
        return;
    // Until the server's handshake arrives, the time-out counts from this attempt.
    receiver = LinkReceiver(LINK_GPI_STATES, link_now_seconds());
    qDebug() << "Connecting";
    socket.connectToHost(dst, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void Gpi_client::connected()
{
    qDebug() << "Connected";
    // A states packet must not wait for the acknowledgement of earlier RS-232 data.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

// A slot connected to a signal emitted below may close the connection, so the socket's
// state is checked again for every event. The socket's bytes go into the receive machine
// only as it needs them, so a pass ends with nothing complete left unread.
void Gpi_client::data_read()
{
    while (socket.isOpen()) {
        const link_event_t event = receiver.next(link_now_seconds());
        if (event.kind == link_event_t::NONE) {
            // A machine that stopped reading takes nothing, which also ends the pass.
            const qint64 n = qMin<qint64>(receiver.room(), socket.bytesAvailable());
            if (n == 0 || receiver.feed(socket.read(n)) == 0)
                return;
        } else if (!process_message(event)) {
            return;
        }
    }
}

// False once the connection is closed.
bool Gpi_client::process_message(const link_event_t &event)
{
    switch (event.kind) {
    case link_event_t::HANDSHAKE:
        qDebug() << "Handshake ok" << receiver.buffered() + socket.bytesAvailable();
        send_version();
        emit refresh();
        return true;
    case link_event_t::STATES:
        emit cmd_gpi(event.states);
        return true;
    case link_event_t::SERIAL:
        emit cmd_serial(event.data);
        return true;
    case link_event_t::KEEPALIVE:
        return true;
    case link_event_t::UNKNOWN:
        if (unknown_log.pass())
            qDebug() << "Unknown message" << event.type;
        return true;
    case link_event_t::BAD_HANDSHAKE:
        // Nothing has been sent on this connection yet, so there is nothing to cut short.
        socket.close();
        return false;
    case link_event_t::BAD_HEADER:
        qDebug() << "Bad packet header" << event.data.toHex(' ');
        break;
    case link_event_t::BAD_SERIAL:
        qDebug() << "Bad serial data" << event.data.toHex(' ');
        break;
    case link_event_t::NONE:
        break;
    }
    drop();
    return false;
}

// Ends the connection at once, unsent bytes and all; the connection check starts a new
// attempt on its next tick.
void Gpi_client::drop()
{
    socket.abort();
}

void Gpi_client::keepalive_timeout()
{
    send_keepalive();
    if (receiver.timed_out(link_now_seconds()) && socket.state() == QAbstractSocket::ConnectedState) {
        qDebug() << "server timeout";
        drop();
    }
}
