#ifndef GPI_SERVER_H
#define GPI_SERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include "link-allow.h"

class QTcpServer;
class QTcpSocket;

// One accepted link connection and its receive state.
struct client_data_t
{
    QTcpSocket *socket = nullptr;
    int state = 1; // 1 = waiting for the client's handshake, 2 = handshake accepted
    int msg_len = 8;
    qint64 last_time = 0; // seconds; acceptance, then the last accepted handshake or packet
};

// Listening end of the unit link (TCP port 11010).
class Gpi_server : public QObject
{
    Q_OBJECT
public:
    explicit Gpi_server(quint16 port = 11010);
    ~Gpi_server() override;

    void enable(int on);
    int status();
    void send_gpi(QList<int> gpi);
    void send_serial(QByteArray data);
    // Peers outside a non-empty list are closed on acceptance, before any handshake.
    void set_allow(const QList<QString> &entries);

signals:
    void cmd_serial(QByteArray data);
    void cmd_gpo(QList<int> gpo);
    void refresh();

private slots:
    void onNewConnection();
    void socketDisconnected();
    void data_read();
    void timer_timeout();

private:
    void send_all(QByteArray data);
    void send_keepalive(QTcpSocket *socket);
    void send_version(QTcpSocket *socket);
    void send_packets(const QList<QByteArray> &packets);
    void write_packets(QTcpSocket *socket, const QList<QByteArray> &packets);
    client_data_t *get_client(QTcpSocket *socket);
    void remove_client(QTcpSocket *socket);
    void disconnect_all();
    bool check_handshake(client_data_t *client);
    bool check_message(QTcpSocket *socket);
    bool process_message(QTcpSocket *socket);
    bool process_message_serial(QTcpSocket *socket, QByteArray packet);
    void drop(QTcpSocket *socket);
    bool admitted(QTcpSocket *socket);

    int enabled = 0;
    QTcpServer *server = nullptr;
    QList<client_data_t *> clients;
    QTimer timer;
    LinkAllowList allow;
};

#endif
