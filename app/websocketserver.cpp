#include "websocketserver.h"

#include <QHostAddress>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

#include "ctrl_panel_server.h"
#include "led.h"
#include "monotonic.h"
#include "snmp_agent.h"
#include "tolvane-xmega.h"
#include "watchdog.h"
#include "web-protocol.h"

namespace {
const int kStates = 8;
const char *const kVersion = "1.9-r1 (Jun 24 2024)";
// Larger incoming web messages or frames close that client: one client must not be able
// to make the unit buffer an arbitrary amount of memory.
const quint64 kMaxWebMessage = 64 * 1024;
// A client that stops reading is dropped once this much is still unsent to it.
const qint64 kMaxWebUnsent = 1024 * 1024;
// A "gpio" message holds the whole state. While states change faster than anyone can watch
// (a panel sending frames without pause), web clients get at most this many a second and
// then the latest state as the second ends, so thousands of states never queue in front of
// a keepalive answer. Inputs and outputs that change as often as the hardware allows stay
// far below it, and then every change goes out as it happens.
const int kGpioBurst = 100;
const int kGpioWindowMs = 1000;
// RS-232 bytes received within this many whole seconds keep the activity flag on.
const qint64 kRs232ActiveSeconds = 9;
} // namespace

// The order of construction is part of the contract: settings are loaded before the
// listener opens and before any service is given a setting, and the I/O controller link
// is created after the settings.
WebSocketServer::WebSocketServer(quint16 port, bool watchdog_flag, QObject *parent)
    : QObject(parent),
      web_server(new QWebSocketServer(QStringLiteral("Echo Server"),
                                      QWebSocketServer::NonSecureMode, this))
{
    watchdog = new Watchdog(watchdog_flag ? 1 : 0);
    led_set(QStringLiteral("LINK"), 0);

    for (int n = 1; n <= kStates; ++n) {
        gpi_recorded.append(0);
        gpo_recorded.append(0);
        gpi.append(0);
        gpo.append(0);
        gpi_names.append(QStringLiteral("GPI %1").arg(n));
        gpo_names.append(QStringLiteral("GPO %1").arg(n));
    }
    config_load();

    // A port that cannot be listened on leaves the unit without a web interface; the
    // other services run on.
    if (web_server->listen(QHostAddress::Any, port)) {
        connect(web_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
        connect(web_server, SIGNAL(closed()), this, SIGNAL(closed()));
    }

    xmega = new Tolvanexmega(QStringLiteral("/dev/ttyS3"));
    connect(xmega, SIGNAL(msg_version(QString)), this, SLOT(msg_version(QString)));
    connect(&gpi_server, SIGNAL(cmd_gpo(QList<int>)), this, SLOT(cmd_gpo(QList<int>)));
    connect(&gpi_server, SIGNAL(refresh()), this, SLOT(refresh()));
    connect(&gpi_server, SIGNAL(cmd_serial(QByteArray)), this, SLOT(serial_data_eth(QByteArray)));
    connect(&gpi_client, SIGNAL(cmd_gpi(QList<int>)), this, SLOT(cmd_gpo(QList<int>)));
    connect(&gpi_client, SIGNAL(refresh()), this, SLOT(refresh()));
    connect(&gpi_client, SIGNAL(cmd_serial(QByteArray)), this, SLOT(serial_data_eth(QByteArray)));
    connect(xmega, SIGNAL(msg_gpi(QList<int>)), this, SLOT(cmd_gpi(QList<int>)));
    xmega->send_cmd_gpi_request();
    xmega->send_cmd_version_request();
    xmega->send_cmd_gpo(gpo);

    gpi_client.set_dst(dst_ip);
    update_mode();

    connect(&serial_server, SIGNAL(serial_data(QByteArray)), this, SLOT(serial_data_in(QByteArray)));
    apply_rs232_settings();
    apply_options();

    connect(&timer, SIGNAL(timeout()), this, SLOT(timer_timeout()));
    timer.start(500);
    gpio_window.setSingleShot(true);
    connect(&gpio_window, SIGNAL(timeout()), this, SLOT(gpio_window_end()));

    panel_a = new Ctrl_panel_server(10010);
    connect(panel_a, &Ctrl_panel_server::panel_cmd, this, &WebSocketServer::panel_a_cmd);
    panel_b = new Ctrl_panel_server(10011);
    connect(panel_b, &Ctrl_panel_server::panel_cmd, this, &WebSocketServer::panel_b_cmd);
    panel_a_2 = new Ctrl_panel_server(10012);
    connect(panel_a_2, &Ctrl_panel_server::panel_cmd, this, &WebSocketServer::panel_a_2_cmd);
    panel_b_2 = new Ctrl_panel_server(10013);
    connect(panel_b_2, &Ctrl_panel_server::panel_cmd, this, &WebSocketServer::panel_b_2_cmd);
    panel_c = new Ctrl_panel_server(10014);
    connect(panel_c, &Ctrl_panel_server::panel_cmd, this, &WebSocketServer::panel_c_cmd);

    snmp_agent = new Snmp_Agent(nullptr);
    connect(snmp_agent, &Snmp_Agent::signal_set_val, this, &WebSocketServer::signal_set_val);
    set_snmp_data();
}

WebSocketServer::~WebSocketServer()
{
    web_server->close();
    // Taken out of the list first: a client socket reports its disconnection while it is
    // being deleted, and that must not reach a list that is being walked.
    const QList<QWebSocket *> to_delete = clients;
    clients.clear();
    for (QWebSocket *client : to_delete) {
        client->disconnect(this);
        delete client;
    }
    delete panel_a;
    delete panel_b;
    delete panel_a_2;
    delete panel_b_2;
    delete panel_c;
    delete snmp_agent;
    delete watchdog; // disarms the hardware watchdog
    delete xmega;
}

void WebSocketServer::onNewConnection()
{
    QWebSocket *socket = web_server->nextPendingConnection();
    if (!socket)
        return;
    if (!web_key_ok(socket)) {
        // Refused before it hears anything; it never joins the client list.
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("access key"));
        return;
    }
    socket->setMaxAllowedIncomingFrameSize(kMaxWebMessage);
    socket->setMaxAllowedIncomingMessageSize(kMaxWebMessage);
    connect(socket, SIGNAL(textMessageReceived(QString)), this, SLOT(processTextMessage(QString)));
    connect(socket, SIGNAL(disconnected()), this, SLOT(socketDisconnected()));
    clients.append(socket);
    senddata(socket, gpio_data());
    senddata(socket, system_data());
}

void WebSocketServer::senddata(QWebSocket *pClient, QByteArray data)
{
    pClient->sendTextMessage(QString::fromUtf8(data));
    // The send itself is not checked; a client that has stopped reading is dropped before
    // its backlog grows without bound. Its disconnection takes it out of the list later.
    if (pClient->bytesToWrite() > kMaxWebUnsent)
        pClient->abort();
}

void WebSocketServer::sendall(QByteArray data)
{
    // A copy: a send may abort a stalled client, which can leave the list on the way.
    const QList<QWebSocket *> to = clients;
    for (QWebSocket *client : to)
        senddata(client, data);
}

void WebSocketServer::sendall_gpio()
{
    if (!gpio_window.isActive()) {
        gpio_window.start(kGpioWindowMs);
        gpio_sent = 0;
    }
    if (gpio_sent >= kGpioBurst) {
        gpio_owed = true;
        return;
    }
    ++gpio_sent;
    sendall(gpio_data());
}

void WebSocketServer::gpio_window_end()
{
    if (!gpio_owed)
        return;
    gpio_owed = false;
    sendall(gpio_data());
}

QByteArray WebSocketServer::gpio_data()
{
    std::optional<int> failsafe;
    if (options.failsafe_timeout > 0)
        failsafe = failsafe_active ? 1 : 0;
    return web_gpio_message(gpi, gpo, link, rs232_link, failsafe);
}

QByteArray WebSocketServer::system_data()
{
    WebSystemInfo info;
    static_cast<HubSettings &>(info) = current_settings();
    info.version = QLatin1String(kVersion);
    info.version2 = version2;
    return web_system_message(info);
}

QByteArray WebSocketServer::get_alive()
{
    return web_keepalive_message();
}

// A setting the client sent replaces the stored one; one it left out stays as it is.
template <class T>
static void take_sent(T &stored, const std::optional<T> &sent)
{
    if (sent)
        stored = *sent;
}

void WebSocketServer::parse_set_system(QJsonObject data)
{
    const WebSetSystem s = web_parse_set_system(data);
    take_sent(dst_ip, s.dst_ip);
    take_sent(system_mode_new, s.system_mode);
    take_sent(baudrate, s.baudrate);
    take_sent(parity, s.parity);
    // A client that sends only some settings keeps the stored names it did not send.
    take_sent(gpi_names, s.gpi_names);
    take_sent(gpo_names, s.gpo_names);
    set_options(s);
    update_mode();
    apply_rs232_settings();
    apply_options();
    config_save();
    sendall_gpio();
}

void WebSocketServer::parse_set_gpo(QJsonObject data)
{
    const WebSetGpo g = web_parse_set_gpo(data);
    // Outputs follow the peer unit in client and server mode.
    if (system_mode != 2)
        return;
    if (g.index < 0 || g.index >= kStates)
        return;
    gpo[g.index] = g.value;
    cmd_gpo_from(QStringLiteral("web"), gpo);
    config_save();
}

void WebSocketServer::parse_message(QString data, QWebSocket *pClient)
{
    const WebRequest request = web_parse_request(data);
    switch (request.type) {
    case WebRequestType::SetSystem:
        parse_set_system(request.data);
        sendall(system_data());
        break;
    case WebRequestType::SetGpo:
        parse_set_gpo(request.data);
        sendall_gpio();
        break;
    case WebRequestType::Keepalive:
        senddata(pClient, get_alive());
        break;
    case WebRequestType::GetHistory:
        if (options.event_history)
            senddata(pClient, web_history_message(history.events()));
        break;
    case WebRequestType::Ignored:
        break;
    }
}

void WebSocketServer::processTextMessage(QString message)
{
    auto *socket = qobject_cast<QWebSocket *>(sender());
    if (socket)
        parse_message(message, socket);
}

void WebSocketServer::socketDisconnected()
{
    auto *socket = qobject_cast<QWebSocket *>(sender());
    if (!socket)
        return;
    clients.removeAll(socket);
    socket->deleteLater();
}

void WebSocketServer::cmd_gpi(QList<int> list)
{
    gpi_server.send_gpi(list);
    gpi_client.send_gpo(list);
    record_changes("gpi", gpi_recorded, list, QStringLiteral("controller"));
    gpi = list;
    sendall_gpio();
}

void WebSocketServer::cmd_gpo(QList<int> list)
{
    xmega->send_cmd_gpo(list);
    record_changes("gpo", gpo_recorded, list, gpo_source);
    gpo = list;
    sendall_gpio();
}

void WebSocketServer::refresh()
{
    gpi_server.send_gpi(gpi);
    gpi_client.send_gpo(gpi);
}

void WebSocketServer::serial_data_in(QByteArray data)
{
    gpi_server.send_serial(data);
    gpi_client.send_serial(data);
    rs232_time = monotonic_seconds();
    rs232_seen = true;
}

void WebSocketServer::serial_data_eth(QByteArray data)
{
    serial_server.send(data);
}

void WebSocketServer::msg_version(QString version)
{
    version2 = version;
}

void WebSocketServer::update_mode()
{
    if (system_mode_new != system_mode) {
        if (options.event_history)
            history.record(QStringLiteral("mode"), system_mode, system_mode_new, QStringLiteral("web"));
        system_mode = system_mode_new;
        // The safe outputs belong to a link loss within one mode, never to a mode change.
        link_down.invalidate();
        failsafe_active = false;
        for (int &state : gpo)
            state = 0;
        cmd_gpo_from(QStringLiteral("web"), gpo);
    }
    switch (system_mode) {
    case 0:
        gpi_server.enable(0);
        gpi_client.enable(1);
        break;
    case 1:
        gpi_server.enable(1);
        gpi_client.enable(0);
        break;
    case 2:
        gpi_server.enable(0);
        gpi_client.enable(0);
        break;
    default:
        break;
    }
    gpi_client.set_dst(dst_ip);
}

int WebSocketServer::baudrate_to_baud()
{
    static const int rates[] = { 115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200 };
    if (baudrate < 0 || baudrate > 7)
        return 115200;
    return rates[baudrate];
}

QSerialPort::Parity WebSocketServer::parity_to_parity()
{
    if (parity == 1)
        return QSerialPort::EvenParity;
    if (parity == 2)
        return QSerialPort::OddParity;
    return QSerialPort::NoParity;
}

void WebSocketServer::apply_rs232_settings()
{
    serial_server.set_baud(baudrate_to_baud());
    serial_server.set_parity(parity_to_parity());
}

void WebSocketServer::timer_timeout()
{
    int s = 0;
    if (system_mode == 0) {
        s = gpi_client.status();
    } else if (system_mode == 1) {
        s = gpi_server.status();
    } else {
        for (Ctrl_panel_server *panel : { panel_a, panel_b, panel_a_2, panel_b_2, panel_c }) {
            if (panel->connection_status()) {
                s = 1;
                break;
            }
        }
    }
    led_set(QStringLiteral("LINK"), s);
    if (s != link && options.event_history)
        history.record(QStringLiteral("link"), link, s,
                       QLatin1String(system_mode == 0 || system_mode == 1 ? "peer" : "panel"));
    check_failsafe(s);

    const int r = (rs232_seen && rs232_time + kRs232ActiveSeconds >= monotonic_seconds()) ? 1 : 0;
    if (s != link || r != rs232_link) {
        link = s;
        rs232_link = r;
        sendall_gpio();
    }

    panel_a->send_data(gpo[0], gpo[1], gpo[2], gpo[3], 0);
    panel_b->send_data(gpo[4], gpo[5], gpo[6], gpo[7], 0);
    panel_a_2->send_data(gpi[0], gpi[1], gpi[2], gpi[3], 0);
    panel_b_2->send_data(gpi[4], gpi[5], gpi[6], gpi[7], 0);
    panel_c->send_data(gpi[0], gpi[1], gpi[2], gpi[3], gpi[4]);

    set_snmp_data();
}

// Panels on 10010 and 10011 are toggle switches that react only to a press (value 1).
void WebSocketServer::panel_toggle(int port, int output, int data)
{
    if (data != 1)
        return;
    gpo[output] = (gpo[output] == 0) ? 1 : 0;
    cmd_gpo_from(QStringLiteral("panel %1").arg(port), gpo);
    config_save();
}

void WebSocketServer::panel_set(int port, int output, int data)
{
    gpo[output] = data;
    cmd_gpo_from(QStringLiteral("panel %1").arg(port), gpo);
    config_save();
}

void WebSocketServer::panel_a_cmd(int type, int data)
{
    if (type >= 1 && type <= 4)
        panel_toggle(10010, type - 1, data);
}

void WebSocketServer::panel_b_cmd(int type, int data)
{
    if (type >= 1 && type <= 4)
        panel_toggle(10011, type + 3, data);
}

void WebSocketServer::panel_a_2_cmd(int type, int data)
{
    if (type >= 1 && type <= 4)
        panel_set(10012, type - 1, data);
}

void WebSocketServer::panel_b_2_cmd(int type, int data)
{
    if (type >= 1 && type <= 4)
        panel_set(10013, type + 3, data);
}

void WebSocketServer::panel_c_cmd(int type, int data)
{
    if (type >= 1 && type <= 5)
        panel_set(10014, type - 1, data);
}

// Every tick asks; the table is only rewritten when a state changed, which keeps the
// two ticks a second of an idle unit cheap. Nothing else writes the table.
void WebSocketServer::set_snmp_data()
{
    if (!snmp_gpi.isEmpty() && gpi == snmp_gpi && gpo == snmp_gpo)
        return;
    snmp_gpi = gpi;
    snmp_gpo = gpo;
    snmp_agent->set_device_ID(16);
    snmp_agent->set_mib_element_str(QStringLiteral("1.1"), QStringLiteral("TOLVANE"));
    for (int n = 1; n <= kStates; ++n)
        snmp_agent->set_mib_element_int(QStringLiteral("2.%0").arg(n), gpi[n - 1]);
    for (int n = 1; n <= kStates; ++n)
        snmp_agent->set_mib_element_int(QStringLiteral("3.%0").arg(n), gpo[n - 1]);
}

// An SNMP write of any two-part key whose second part is 1 to 8 drives that output,
// in every operating mode.
void WebSocketServer::signal_set_val(QString key, int val)
{
    const QStringList parts = key.split(QLatin1Char('.'));
    if (parts.size() != 2)
        return;
    bool ok = false;
    const int n = parts[1].toInt(&ok, 10);
    if (!ok || n < 1 || n > kStates)
        return;
    gpo[n - 1] = val ? 1 : 0;
    cmd_gpo_from(QStringLiteral("snmp"), gpo);
    config_save();
}

// --- Optional features, all off by default: with them off, nothing below changes a byte
// that the unit sends or stores.

void WebSocketServer::set_options(const WebSetSystem &s)
{
    take_sent(options.failsafe_timeout, s.failsafe_timeout);
    take_sent(options.failsafe_gpo, s.failsafe_gpo);
    take_sent(options.link_allow, s.link_allow);
    take_sent(options.web_key, s.web_key);
    take_sent(options.event_history, s.event_history);
    take_sent(options.rs232_immediate, s.rs232_immediate);
}

void WebSocketServer::apply_options()
{
    gpi_server.set_allow(options.link_allow);
    serial_server.set_immediate(options.rs232_immediate != 0);
    if (!options.event_history)
        history.clear();
    if (options.failsafe_timeout <= 0)
        failsafe_active = false;
}

// The key comes as the query parameter "key" of the request; compared in constant time so
// that the answer's timing tells nothing about how much of a guess was right.
bool WebSocketServer::web_key_ok(QWebSocket *socket) const
{
    if (options.web_key.isEmpty())
        return true;
    const QByteArray want = options.web_key.toUtf8();
    const QByteArray got = QUrlQuery(socket->requestUrl())
                               .queryItemValue(QStringLiteral("key"), QUrl::FullyDecoded)
                               .toUtf8();
    unsigned diff = unsigned(want.size() ^ got.size());
    for (int i = 0; i < want.size(); ++i)
        diff |= unsigned(quint8(want[i]) ^ quint8(i < got.size() ? got[i] : 0));
    return diff == 0;
}

void WebSocketServer::cmd_gpo_from(const QString &source, QList<int> list)
{
    gpo_source = source;
    cmd_gpo(list);
    gpo_source = QStringLiteral("peer"); // the link ends reach cmd_gpo directly
}

// `seen` is kept apart from gpi/gpo: most callers edit gpo in place before cmd_gpo.
void WebSocketServer::record_changes(const char *what, QList<int> &seen, const QList<int> &after,
                                     const QString &source)
{
    if (options.event_history) {
        for (int n = 0; n < kStates && n < after.size(); ++n) {
            if (seen.value(n) != after[n])
                history.record(QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(n + 1),
                               seen.value(n), after[n], source);
        }
    }
    seen = after;
}

// Outputs go to the safe pattern once the link has been down for the set time in client or
// server mode; the peer's states apply again when it links up and sends them.
void WebSocketServer::check_failsafe(int link_status)
{
    if (options.failsafe_timeout <= 0 || (system_mode != 0 && system_mode != 1) || link_status) {
        // Linked again: the link's own "gpio" broadcast on this tick says so.
        link_down.invalidate();
        failsafe_active = false;
        return;
    }
    if (!link_down.isValid())
        link_down.start();
    if (failsafe_active || link_down.elapsed() < qint64(options.failsafe_timeout) * 1000)
        return;
    failsafe_active = true;
    cmd_gpo_from(QStringLiteral("failsafe"), options.failsafe_gpo);
}
