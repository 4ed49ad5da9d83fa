#ifndef WEBSOCKETSERVER_H
#define WEBSOCKETSERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <optional>

#include "gpi-client.h"
#include "gpi-server.h"
#include "event-history.h"
#include "serial.h"
#include "settings.h"

class QWebSocket;
class QWebSocketServer;
class Tolvanexmega;
class Snmp_Agent;
class Watchdog;
class Ctrl_panel_server;

// The hub: owns every service of the device program and carries all traffic between them.
// Services never call one another; each signal ends in a slot here.
class WebSocketServer : public QObject
{
    Q_OBJECT
public:
    WebSocketServer(quint16 port, bool watchdog_flag, QObject *parent = nullptr);
    ~WebSocketServer() override;

signals:
    void closed();

private slots:
    // Slot order is part of the hub's meta-object.
    void cmd_gpi(QList<int> gpi);
    void msg_version(QString version);
    void onNewConnection();
    void senddata(QWebSocket *pClient, QByteArray data);
    void sendall(QByteArray data);
    QByteArray gpio_data();
    QByteArray system_data();
    QByteArray get_alive();
    void parse_set_system(QJsonObject data);
    void parse_set_gpo(QJsonObject data);
    void parse_message(QString data, QWebSocket *pClient);
    void processTextMessage(QString message);
    void socketDisconnected();
    void cmd_gpo(QList<int> gpo);
    void refresh();
    void serial_data_in(QByteArray data);
    void serial_data_eth(QByteArray data);
    void timer_timeout();
    void panel_a_cmd(int type, int data);
    void panel_b_cmd(int type, int data);
    void panel_a_2_cmd(int type, int data);
    void panel_b_2_cmd(int type, int data);
    void panel_c_cmd(int type, int data);
    void signal_set_val(QString key, int val);
    void gpio_window_end();

private:
    void config_load();
    void config_save();
    HubSettings current_settings() const;
    void update_mode();
    void set_snmp_data();
    int baudrate_to_baud();
    QSerialPort::Parity parity_to_parity();
    void apply_rs232_settings();
    void panel_toggle(int port, int output, int data);
    void panel_set(int port, int output, int data);
    // Optional features (all off by default).
    void apply_options();
    void set_options(const struct WebSetSystem &s);
    bool web_key_ok(QWebSocket *socket) const;
    void cmd_gpo_from(const QString &source, QList<int> list);
    void record_changes(const char *what, QList<int> &seen, const QList<int> &after,
                        const QString &source);
    void check_failsafe(int link_status);
    void sendall_gpio();

    QWebSocketServer *web_server;
    QList<QWebSocket *> clients;
    // "gpio" messages sent in the current window, and whether one was held back.
    QTimer gpio_window;
    int gpio_sent = 0;
    bool gpio_owed = false;
    Gpi_server gpi_server;
    Gpi_client gpi_client;
    Tolvanexmega *xmega = nullptr;
    SerialServer serial_server;
    QTimer timer;
    int link = 0;
    int rs232_link = 0;
    qint64 rs232_time = 0; // monotonic seconds
    bool rs232_seen = false; // no local RS-232 bytes yet: the flag stays off
    int system_mode = 2;
    int system_mode_new = 2;
    QString dst_ip;
    QList<int> gpi;
    QList<int> gpo;
    QList<QString> gpi_names;
    QList<QString> gpo_names;
    // What config.conf holds, when known; a save that would not change it writes nothing.
    std::optional<HubSettings> stored_settings;
    QString version2;
    int baudrate = 0;
    int parity = 0;
    Snmp_Agent *snmp_agent = nullptr;
    QList<int> snmp_gpi; // the states the SNMP table last got; empty before the first time
    QList<int> snmp_gpo;
    Watchdog *watchdog = nullptr;
    Ctrl_panel_server *panel_a = nullptr;
    Ctrl_panel_server *panel_b = nullptr;
    Ctrl_panel_server *panel_a_2 = nullptr;
    Ctrl_panel_server *panel_b_2 = nullptr;
    Ctrl_panel_server *panel_c = nullptr;

    HubOptions options;
    EventHistory history;
    QList<int> gpi_recorded; // the states the history last saw
    QList<int> gpo_recorded;
    QString gpo_source = QStringLiteral("peer"); // who is behind the cmd_gpo in progress
    QElapsedTimer link_down; // runs while the link is down in client or server mode
    bool failsafe_active = false;
};

#endif
