#ifndef CTRL_PANEL_SERVER_H
#define CTRL_PANEL_SERVER_H

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

#include "panel-stream.h"
#include "repeat-log.h"
#include "vgpi_api.h"

class MyServer;
class QTcpSocket;

struct client_info_t
{
    Panel_stream stream;
    QString time;
    QString ip;
};

// The control-panel protocol on one TCP port.
class Ctrl_panel_server : public QObject
{
    Q_OBJECT
public:
    explicit Ctrl_panel_server(int port);
    ~Ctrl_panel_server() override;

    void send_data(int a, int b, int c, int d, int e);
    int connection_status();

signals:
    void panel_cmd(int type, int data);

private slots:
    void slot_new_client(QTcpSocket *pSocket, QString ip);
    void slot_readyRead(QTcpSocket *pSocket, QByteArray data);
    void slot_pDisconnected(QTcpSocket *pSocket);
    void slot_parse_frame(int type, int type_specific, int Data);
    void slot_keepalive();

private:
    void set_led_state(QTcpSocket *pSocket);
    void alive_answer(int type_specific);
    // A wrong handshake reply: logged, and the connection closed.
    void refuse(QTcpSocket *pSocket);

    // Declaration order is teardown order reversed: the timer stops first, vgpi_api goes last.
    std::unique_ptr<Vgpi_api> vgpi_api;
    std::unique_ptr<MyServer> my_server;
    QMap<QTcpSocket *, client_info_t> clients;
    QByteArray handshake;
    quint8 led_state[5];
    // A panel may send frames as fast as the network carries them; the log must not follow.
    RepeatLog frame_log { QStringLiteral("type:") };
    RepeatLog protocol_log { QStringLiteral("Incorrect connection protocol!") };
    QTimer keepalive_timer;
};

#endif
