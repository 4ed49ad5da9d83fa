#include "ctrl_panel_server.h"

#include <QDateTime>
#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

#include "myserver.h"

namespace {

constexpr int KEEPALIVE_MS = 15000;
constexpr int LED_COUNT = 5;

} // namespace

Ctrl_panel_server::Ctrl_panel_server(int port)
    : led_state { 0, 0, 0, 0, 1 }
{
    vgpi_api = std::make_unique<Vgpi_api>();
    connect(vgpi_api.get(), &Vgpi_api::signal_parse_frame, this,
            &Ctrl_panel_server::slot_parse_frame);
    handshake = Panel_stream::handshake();
    my_server = std::make_unique<MyServer>(port);
    connect(my_server.get(), &MyServer::signal_new_client, this,
            &Ctrl_panel_server::slot_new_client);
    connect(my_server.get(), &MyServer::signal_readyRead, this,
            &Ctrl_panel_server::slot_readyRead);
    connect(my_server.get(), &MyServer::signal_pDisconnected, this,
            &Ctrl_panel_server::slot_pDisconnected);
    keepalive_timer.setSingleShot(true);
    // A coarse timer may run out up to 5 % early, cutting off a panel that keeps to 15 s.
    keepalive_timer.setTimerType(Qt::PreciseTimer);
    keepalive_timer.start(KEEPALIVE_MS);
    connect(&keepalive_timer, &QTimer::timeout, this, &Ctrl_panel_server::slot_keepalive);
}

Ctrl_panel_server::~Ctrl_panel_server()
{
    keepalive_timer.stop();
}

// LED values go out as 2 for on; the block first clears LED 5 and then sets it.
void Ctrl_panel_server::send_data(int a, int b, int c, int d, int e)
{
    // The hub refreshes every port twice a second; most have no panel to read it.
    if (clients.isEmpty())
        return;
    const int values[LED_COUNT] = { a, b, c, d, e };
    QByteArray block = vgpi_api->vgpi_frame_uint16(5, 0);
    for (int n = 1; n <= LED_COUNT; ++n)
        block += vgpi_api->vgpi_frame_uint16(n, values[n - 1] ? 2 : 0);
    my_server->sendToAllConnections(block);
}

int Ctrl_panel_server::connection_status()
{
    return clients.isEmpty() ? 0 : 1;
}

void Ctrl_panel_server::slot_new_client(QTcpSocket *pSocket, QString ip)
{
    Q_UNUSED(ip);
    const QDateTime now = QDateTime::currentDateTime();
    const QString peer = pSocket->peerAddress().toString();
    qDebug() << "Connected ip:" << peer << "port:" << pSocket->localPort();
    clients.insert(pSocket,
                   { Panel_stream(), now.toString(QStringLiteral("hh:mm:ss, d MMMM, yyyy")), peer });
    my_server->sendClient(pSocket, handshake);
}

void Ctrl_panel_server::slot_readyRead(QTcpSocket *pSocket, QByteArray data)
{
    const Panel_stream::Step step = clients[pSocket].stream.receive(data, *vgpi_api);
    if (step == Panel_stream::GREETED)
        set_led_state(pSocket);
    else if (step == Panel_stream::REFUSED)
        refuse(pSocket);
}

void Ctrl_panel_server::slot_pDisconnected(QTcpSocket *pSocket)
{
    qDebug() << "disconnected:" << clients.value(pSocket).ip;
    clients.remove(pSocket);
}

void Ctrl_panel_server::slot_parse_frame(int type, int type_specific, int Data)
{
    if (frame_log.pass())
        qDebug() << "type:" << type << " type_specific:" << type_specific << "Data;" << Data;
    if (type == 0)
        alive_answer(type_specific);
    else if (type == 2)
        emit panel_cmd(type_specific, Data);
    keepalive_timer.start(KEEPALIVE_MS);
}

// One timer serves every panel of the port, so only one connection goes per expiry.
void Ctrl_panel_server::slot_keepalive()
{
    qDebug() << "keepalive disconnect";
    if (!clients.isEmpty())
        my_server->slot_close_connection(clients.firstKey());
}

void Ctrl_panel_server::set_led_state(QTcpSocket *pSocket)
{
    for (int n = 1; n <= LED_COUNT; ++n)
        my_server->sendClient(pSocket, vgpi_api->vgpi_frame_uint16(n, led_state[n - 1]));
}

// Answered on every connection of the port, not only the asking one.
void Ctrl_panel_server::alive_answer(int type_specific)
{
    if (type_specific == 0)
        my_server->sendToAllConnections(vgpi_api->vgpi_frame_get_answer(0, 0));
}

void Ctrl_panel_server::refuse(QTcpSocket *pSocket)
{
    if (protocol_log.pass())
        qDebug() << "Incorrect connection protocol!";
    my_server->slot_close_connection(pSocket);
}
