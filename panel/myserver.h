#ifndef MYSERVER_H
#define MYSERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;
class QWidget;

// TCP listener of one control-panel port; knows nothing of the panel protocol.
class MyServer : public QObject
{
    Q_OBJECT
public:
    explicit MyServer(int port, QWidget *parent = nullptr);

    void sendClient(QTcpSocket *pSocket, QByteArray data);
    void sendToAllConnections(QByteArray data);

signals:
    void signal_new_client(QTcpSocket *pSocket, QString ip);
    void signal_readyRead(QTcpSocket *pSocket, QByteArray data);
    void signal_pDisconnected(QTcpSocket *pSocket);

public slots:
    virtual void slotNewConnection();
    void slotReadClient();
    void slotDisconnected();
    void slot_close_connection(QTcpSocket *pSocket);

private:
    void write_bounded(QTcpSocket *pSocket, const QByteArray &data);

    QTcpServer *tcp_server = nullptr;
    QList<QTcpSocket *> sockets;
};

#endif
