#include "myserver.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// A panel that stops reading while the unit keeps sending LED frames would otherwise make the
// socket's write buffer grow for as long as the connection lasts.
constexpr qint64 MAX_WRITE_BACKLOG = 256 * 1024;

// Bytes taken from one panel per turn of the event loop. A panel that sends without pause
// would otherwise have the socket read all the kernel holds and hand it over as one chunk,
// whose frames are then handled while every other connection, timer and the watchdog wait.
// What is not read stays in the kernel, which slows the sender down. Far above anything a
// panel sends in normal use, so there a read is what arrived, as before.
constexpr qint64 READ_CHUNK = 4 * 1024;

} // namespace

MyServer::MyServer(int port, QWidget *parent)
{
    Q_UNUSED(parent);
    tcp_server = new QTcpServer(this);
    if (!tcp_server->listen(QHostAddress::Any, static_cast<quint16>(port))) {
        qDebug() << "Server Error. Unable to start the server:" << tcp_server->errorString();
        tcp_server->close();
        return;
    }
    connect(tcp_server, SIGNAL(newConnection()), this, SLOT(slotNewConnection()));
    qDebug() << "listen";
}

void MyServer::sendClient(QTcpSocket *pSocket, QByteArray data)
{
    write_bounded(pSocket, data);
}

void MyServer::sendToAllConnections(QByteArray data)
{
    const QList<QTcpSocket *> snapshot = sockets;
    for (QTcpSocket *socket : snapshot)
        write_bounded(socket, data);
}

void MyServer::slotNewConnection()
{
    QTcpSocket *socket = tcp_server->nextPendingConnection();
    if (!socket)
        return;
    socket->setReadBufferSize(READ_CHUNK);
    connect(socket, SIGNAL(disconnected()), socket, SLOT(deleteLater()));
    connect(socket, SIGNAL(readyRead()), this, SLOT(slotReadClient()));
    connect(socket, SIGNAL(disconnected()), this, SLOT(slotDisconnected()));
    sockets.append(socket);
    emit signal_new_client(socket, socket->peerAddress().toString());
}

void MyServer::slotReadClient()
{
    QTcpSocket *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    emit signal_readyRead(socket, socket->readAll());
}

void MyServer::slotDisconnected()
{
    QTcpSocket *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    sockets.removeAll(socket);
    emit signal_pDisconnected(socket);
}

void MyServer::slot_close_connection(QTcpSocket *pSocket)
{
    if (!sockets.contains(pSocket))
        return;
    pSocket->close();
    // close() lingers while unsent bytes remain; a panel that stopped reading would then stay
    // in the list for good, so it is cut off at once.
    if (pSocket->state() != QAbstractSocket::UnconnectedState)
        pSocket->abort();
}

// Only sockets still in the list are written: one that has closed may already await deletion.
void MyServer::write_bounded(QTcpSocket *pSocket, const QByteArray &data)
{
    if (!sockets.contains(pSocket))
        return;
    if (pSocket->bytesToWrite() + data.size() > MAX_WRITE_BACKLOG) {
        qDebug() << "Write backlog full, closing ip:" << pSocket->peerAddress().toString();
        pSocket->abort();
        return;
    }
    pSocket->write(data);
}
