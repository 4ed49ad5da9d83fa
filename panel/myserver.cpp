#include "myserver.h"

#include <QTcpServer>
#include <QTcpSocket>

MyServer::MyServer(int port, QWidget *parent)
{
    Q_UNUSED(port);
    Q_UNUSED(parent);
}

void MyServer::sendClient(QTcpSocket *, QByteArray) {}
void MyServer::sendToAllConnections(QByteArray) {}
void MyServer::slotNewConnection() {}
void MyServer::slotReadClient() {}
void MyServer::slotDisconnected() {}
void MyServer::slot_close_connection(QTcpSocket *) {}
