#include "gpi-server.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>

#include "link-packet.h"
#include "vgpi-api.h"
#include "write-through.h"

Gpi_server::Gpi_server(quint16 port)
    : server(new QTcpServer(this))
{
    server->listen(QHostAddress::Any, port);
    connect(server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
    connect(&timer, SIGNAL(timeout()), this, SLOT(timer_timeout()));
    timer.start(1000);
}

// The sockets die with `server`; they must not call back into a half-destroyed object.
Gpi_server::~Gpi_server()
{
    for (client_data_t *client : qAsConst(clients))
        client->socket->disconnect(this);
    qDeleteAll(clients);
    clients.clear();
}

void Gpi_server::enable(int on)
{
    enabled = on;
    if (on == 0)
        disconnect_all();
}

int Gpi_server::status()
{
    return clients.isEmpty() ? 0 : 1;
}

void Gpi_server::send_gpi(QList<int> gpi)
{
    send_all(link_states_packet(LINK_GPI_STATES, gpi));
}

void Gpi_server::send_serial(QByteArray data)
{
    send_packets(link_serial_packets(data));
}

void Gpi_server::send_all(QByteArray data)
{
    send_packets({ data });
}

// Dropping a client edits `clients`: the sockets are listed first.
void Gpi_server::send_packets(const QList<QByteArray> &packets)
{
    QList<QTcpSocket *> linked;
    for (client_data_t *client : qAsConst(clients)) {
        if (client->receiver.handshaken())
            linked.append(client->socket);
    }
    for (QTcpSocket *socket : qAsConst(linked))
        write_packets(socket, packets);
}

void Gpi_server::send_keepalive(QTcpSocket *socket)
{
    write_packets(socket, { link_keepalive_packet() });
}

// The backlog is judged before a call's packets are queued, so one long chunk of RS-232
// data never counts against a peer that reads.
void Gpi_server::write_packets(QTcpSocket *socket, const QList<QByteArray> &packets)
{
    if (socket->bytesToWrite() > LINK_MAX_UNSENT) {
        qDebug() << "Peer not reading" << socket->bytesToWrite();
        drop(socket);
        return;
    }
    write_through(*socket, socket->socketDescriptor(), FdKind::Socket, packets.join());
}

void Gpi_server::send_version(QTcpSocket *socket)
{
    socket->write(reinterpret_cast<const char *>(vgpi_handshake), sizeof vgpi_handshake);
}

client_data_t *Gpi_server::get_client(QTcpSocket *socket)
{
    for (client_data_t *client : qAsConst(clients)) {
        if (client->socket == socket)
            return client;
    }
    return nullptr;
}

void Gpi_server::remove_client(QTcpSocket *socket)
{
    client_data_t *client = get_client(socket);
    if (!client)
        return;
    clients.removeOne(client);
    delete client;
}

// Closing a socket runs socketDisconnected() at once, which edits `clients`: the sockets are
// listed first.
void Gpi_server::disconnect_all()
{
    QList<QTcpSocket *> sockets;
    for (client_data_t *client : qAsConst(clients))
        sockets.append(client->socket);
    for (QTcpSocket *socket : qAsConst(sockets))
        socket->close();
}

// A flood of connections that never send their handshake must not pile up until the
// program runs out of file descriptors (and the listener stops accepting): past a small
// number, the connection that has waited longest makes room. A real client answers the
// handshake at once, so it never waits long enough to be the oldest.
void Gpi_server::make_room_for_one_more()
{
    int waiting = 0;
    QTcpSocket *oldest = nullptr;
    for (client_data_t *client : qAsConst(clients)) {
        if (client->receiver.handshaken())
            continue;
        if (!oldest)
            oldest = client->socket;
        ++waiting;
    }
    if (waiting >= LINK_MAX_WAITING)
        drop(oldest);
}

void Gpi_server::onNewConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        if (enabled == 0 || !admitted(socket)) {
            socket->close();
            socket->deleteLater();
            continue;
        }
        make_room_for_one_more();
        // A client that never sends its handshake is timed from here.
        clients.append(new client_data_t { socket, LinkReceiver(LINK_GPO_STATES, link_now_seconds()) });
        connect(socket, SIGNAL(readyRead()), this, SLOT(data_read()));
        connect(socket, SIGNAL(disconnected()), this, SLOT(socketDisconnected()));
        // A states packet must not wait for the acknowledgement of earlier RS-232 data.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        send_version(socket);
    }
}

void Gpi_server::set_allow(const QList<QString> &entries)
{
    allow.set(entries);
}

bool Gpi_server::admitted(QTcpSocket *socket)
{
    const QHostAddress peer = socket->peerAddress();
    if (allow.permits(peer))
        return true;
    if (allow.should_log(peer, link_now_seconds()))
        qDebug() << "Link connection refused:" << LinkAllowList::ipv4_of(peer).toString();
    return false;
}

void Gpi_server::socketDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (socket) {
        remove_client(socket);
        socket->deleteLater();
    }
    if (disconnect_log.pass())
        qDebug() << "socketDisconnected";
}

// A slot connected to a signal emitted below may close this connection (and so remove its
// record), so the record is looked up again for every event. The socket's bytes go into the
// receive machine only as it needs them, so a pass ends with nothing complete left unread.
void Gpi_server::data_read()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    for (;;) {
        client_data_t *client = get_client(socket);
        if (!client || !socket->isOpen())
            return;
        const link_event_t event = client->receiver.next(link_now_seconds());
        if (event.kind == link_event_t::NONE) {
            // A machine that stopped reading takes nothing, which also ends the pass.
            const qint64 n = qMin<qint64>(client->receiver.room(), socket->bytesAvailable());
            if (n == 0 || client->receiver.feed(socket->read(n)) == 0)
                return;
        } else if (!process_message(client, event)) {
            return;
        }
    }
}

// False once the connection is closed.
bool Gpi_server::process_message(client_data_t *client, const link_event_t &event)
{
    QTcpSocket *socket = client->socket;
    switch (event.kind) {
    case link_event_t::HANDSHAKE:
        if (handshake_log.pass())
            qDebug() << "Handshake ok" << client->receiver.buffered() + socket->bytesAvailable();
        emit refresh();
        return true;
    case link_event_t::STATES:
        emit cmd_gpo(event.states);
        return true;
    case link_event_t::SERIAL:
        emit cmd_serial(event.data);
        return true;
    case link_event_t::KEEPALIVE:
        send_keepalive(socket);
        return true;
    case link_event_t::UNKNOWN:
        if (unknown_log.pass())
            qDebug() << "Unknown message" << event.type;
        return true;
    case link_event_t::BAD_HEADER:
        if (fault_log.pass())
            qDebug() << "Bad packet header" << event.data.toHex(' ');
        break;
    case link_event_t::BAD_SERIAL:
        if (fault_log.pass())
            qDebug() << "Bad serial data" << event.data.toHex(' ');
        break;
    case link_event_t::BAD_HANDSHAKE:
    case link_event_t::NONE:
        break;
    }
    drop(socket);
    return false;
}

// Ends a connection at once, unsent bytes and all: the peer broke the protocol or went
// silent, so there is nothing worth flushing and no reason to wait for it.
void Gpi_server::drop(QTcpSocket *socket)
{
    socket->abort();
    remove_client(socket);
    socket->deleteLater();
}

void Gpi_server::timer_timeout()
{
    const qint64 now = link_now_seconds();
    for (client_data_t *client : qAsConst(clients)) {
        if (client->receiver.timed_out(now)) {
            qDebug() << "client timeout";
            // Dropping edits `clients`; one client per tick, so the walk ends here.
            drop(client->socket);
            return;
        }
    }
}
