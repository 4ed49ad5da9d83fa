#ifndef GPI_SERVER_H
#define GPI_SERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include "repeat-log.h"

#include "link-allow.h"
#include "link-receiver.h"

class QTcpServer;
class QTcpSocket;

// One accepted link connection and its receive state.
struct client_data_t
{
    QTcpSocket *socket = nullptr;
    LinkReceiver receiver; // timed from acceptance until the client's handshake
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
    void make_room_for_one_more();
    bool process_message(client_data_t *client, const link_event_t &event);
    void drop(QTcpSocket *socket);
    bool admitted(QTcpSocket *socket);

    int enabled = 0;
    QTcpServer *server = nullptr;
    QList<client_data_t *> clients;
    QTimer timer;
    LinkAllowList allow;
    // A peer or a crowd of them must not grow the log without bound.
    RepeatLog disconnect_log { QStringLiteral("socketDisconnected") };
    RepeatLog handshake_log { QStringLiteral("Handshake ok") };
    RepeatLog unknown_log { QStringLiteral("Unknown message") };
    RepeatLog fault_log { QStringLiteral("Bad packet") };
};

#endif
