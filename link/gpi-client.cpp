#include "gpi-client.h"

#include <QDebug>

#include "link-packet.h"
#include "vgpi-api.h"

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
    return handshake == 1 ? 1 : 0;
}

bool Gpi_client::linked()
{
    return handshake == 1 && socket.state() == QAbstractSocket::ConnectedState;
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
    for (const QByteArray &packet : packets)
        socket.write(packet);
}

void Gpi_client::timer_timeout()
{
    if (socket.state() != QAbstractSocket::UnconnectedState || dst.isEmpty() || enabled == 0)
        return;
    handshake = 0;
    msg_len = LINK_HEADER_SIZE;
    // Until the server's handshake arrives, the time-out counts from this attempt.
    last_time = link_now_seconds();
    qDebug() << "Connecting";
    socket.connectToHost(dst, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void Gpi_client::connected()
{
    qDebug() << "Connected";
}

// A slot connected to a signal emitted below may close the connection, so the socket's
// state is checked again on every pass.
void Gpi_client::data_read()
{
    while (socket.isOpen() && socket.bytesAvailable() >= msg_len) {
        const bool go_on = handshake != 1 ? check_handshake() : check_message(&socket);
        if (!go_on)
            return;
    }
}

bool Gpi_client::check_handshake()
{
    const QByteArray hs = socket.read(sizeof vgpi_handshake);
    if (!vgpi_check_handshake(reinterpret_cast<const unsigned char *>(hs.constData()))) {
        socket.close();
        return false;
    }
    handshake = 1;
    msg_len = LINK_HEADER_SIZE;
    last_time = link_now_seconds();
    qDebug() << "Handshake ok" << socket.bytesAvailable();
    send_version();
    emit refresh();
    return true;
}

bool Gpi_client::check_message(QTcpSocket *s)
{
    if (msg_len == LINK_HEADER_SIZE) {
        const QByteArray header = s->peek(LINK_HEADER_SIZE);
        msg_len = link_packet_size(header);
        if (msg_len == 0) {
            qDebug() << "Bad packet header" << header.toHex(' ');
            drop();
            return false;
        }
        return true;
    }
    return process_message(s);
}

bool Gpi_client::process_message(QTcpSocket *s)
{
    const QByteArray packet = s->read(msg_len);
    msg_len = LINK_HEADER_SIZE;
    last_time = link_now_seconds();
    const int type = link_packet_type(packet);
    switch (type) {
    case LINK_GPI_STATES:
        emit cmd_gpi(link_read_states(packet));
        return true;
    case LINK_SERIAL:
        return process_message_serial(s, packet);
    case LINK_KEEPALIVE:
        return true;
    default:
        qDebug() << "Unknown message" << type;
        return true;
    }
}

bool Gpi_client::process_message_serial(QTcpSocket *, QByteArray packet)
{
    QByteArray data;
    if (!link_read_serial(packet, &data)) {
        qDebug() << "Bad serial data" << packet.left(LINK_HEADER_SIZE + 3).toHex(' ');
        drop();
        return false;
    }
    emit cmd_serial(data);
    return true;
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
    if (last_time + LINK_TIMEOUT_SECONDS < link_now_seconds()
        && socket.state() == QAbstractSocket::ConnectedState) {
        qDebug() << "server timeout";
        drop();
    }
}
