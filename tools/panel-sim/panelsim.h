#ifndef PANELSIM_H
#define PANELSIM_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include "vgpi_api.h"

// One simulated control panel: answers the unit's handshake, prints what the unit sends and
// sends button presses, values, alive requests and raw bytes.
class PanelSim : public QObject
{
    Q_OBJECT
public:
    PanelSim(QString host, int port, int alive_interval_ms, QObject *parent = nullptr);

    // Prints LED frames only where they change an LED's state (for a person at a terminal,
    // whom the periodic LED blocks would bury); otherwise every LED frame is printed.
    void set_led_changes_only(bool on) { led_changes_only = on; }

    void start();
    // One line command ("press 3", "set 3 1", "alive", "raw <hex>", "quit"); false if unknown.
    bool command(const QString &line);
    void press(int button);
    void send_frame(QByteArray frame);
    void quit();

signals:
    void finished(int status);

private slots:
    void on_connected();
    void on_ready_read();
    void on_disconnected();
    void on_error(QAbstractSocket::SocketError error);
    void on_frame(int type, int type_specific, int value);
    void on_quit_timeout();

private:
    bool send_raw(const QString &hex_text);
    void take_handshake();
    void take_frames();
    void become_ready();
    void close_connection();
    void print_led_changes();
    void finish(int status);

    QString host;
    int port;
    Vgpi_api api;
    QTcpSocket socket;
    QTimer alive_timer;
    QTimer quit_timer; // bounds the wait for the unit to accept held-back commands
    QByteArray buffer;
    QList<QByteArray> waiting; // frames held back until the unit accepted the handshake
    QMap<int, int> leds;       // LED number -> last value received
    QMap<int, int> leds_shown; // LED number -> last value printed
    bool led_changes_only = false;
    bool greeted = false;
    bool ready = false;
    bool reported = false;
    bool quitting = false; // quit asked for; the connection closes once the held frames are out
    bool closing = false;  // the simulator, not the unit, closes the connection
    int exit_status = 0;
    bool done = false;
};

#endif
