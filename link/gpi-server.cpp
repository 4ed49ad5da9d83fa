#include "gpi-server.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>

#include "link-packet.h"
#include "vgpi-api.h"

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
        if (client->state == 2)
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
    for (const QByteArray &packet : packets)
        socket->write(packet);
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

void Gpi_server::onNewConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        if (enabled == 0 || !admitted(socket)) {
            socket->close();
            socket->deleteLater();
            continue;
        }
        auto *client = new client_data_t;
        client->socket = socket;
        // A client that never sends its handshake is timed from here.
        client->last_time = link_now_seconds();
        clients.append(client);
        connect(socket, SIGNAL(readyRead()), this, SLOT(data_read()));
        connect(socket, SIGNAL(disconnected()), this, SLOT(socketDisconnected()));
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
    qDebug() << "socketDisconnected";
}

// A slot connected to a signal emitted below may close this connection (and so remove its
// record), so the record is looked up again on every pass.
void Gpi_server::data_read()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    for (;;) {
        client_data_t *client = get_client(socket);
        if (!client || !socket->isOpen() || socket->bytesAvailable() < client->msg_len)
            return;
        const bool go_on = client->state != 2 ? check_handshake(client) : check_message(socket);
        if (!go_on)
            return;
    }
}

bool Gpi_server::check_handshake(client_data_t *client)
{
    QTcpSocket *socket = client->socket;
    const QByteArray hs = socket->read(sizeof vgpi_handshake);
    if (!vgpi_check_handshake(reinterpret_cast<const unsigned char *>(hs.constData()))) {
        drop(socket);
        return false;
    }
    client->state = 2;
    client->msg_len = LINK_HEADER_SIZE;
    client->last_time = link_now_seconds();
    qDebug() << "Handshake ok" << socket->bytesAvailable();
    emit refresh();
    return true;
}

bool Gpi_server::check_message(QTcpSocket *socket)
{
    client_data_t *client = get_client(socket);
    if (client->msg_len == LINK_HEADER_SIZE) {
        const QByteArray header = socket->peek(LINK_HEADER_SIZE);
        client->msg_len = link_packet_size(header);
        if (client->msg_len == 0) {
            qDebug() << "Bad packet header" << header.toHex(' ');
            drop(socket);
            return false;
        }
        return true;
    }
    return process_message(socket);
}

bool Gpi_server::process_message(QTcpSocket *socket)
{
    client_data_t *client = get_client(socket);
    const QByteArray packet = socket->read(client->msg_len);
    client->msg_len = LINK_HEADER_SIZE;
    client->last_time = link_now_seconds();
    const int type = link_packet_type(packet);
    switch (type) {
    case LINK_GPO_STATES:
        emit cmd_gpo(link_read_states(packet));
        return true;
    case LINK_SERIAL:
        return process_message_serial(socket, packet);
    case LINK_KEEPALIVE:
        send_keepalive(socket);
        return true;
    default:
        qDebug() << "Unknown message" << type;
        return true;
    }
}

bool Gpi_server::process_message_serial(QTcpSocket *socket, QByteArray packet)
{
    QByteArray data;
    if (!link_read_serial(packet, &data)) {
        qDebug() << "Bad serial data" << packet.left(LINK_HEADER_SIZE + 3).toHex(' ');
        drop(socket);
        return false;
    }
    emit cmd_serial(data);
    return true;
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
        if (client->last_time + LINK_TIMEOUT_SECONDS < now) {
            qDebug() << "client timeout";
            // Dropping edits `clients`; one client per tick, so the walk ends here.
            drop(client->socket);
            return;
        }
    }
}
