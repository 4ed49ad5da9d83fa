#ifndef PANELSIM_H
#define PANELSIM_H

#include <QByteArray>
#include <QList>
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

private:
    bool send_raw(const QString &hex_text);
    void take_handshake();
    void take_frames();
    void become_ready();
    void finish(int status);

    QString host;
    int port;
    Vgpi_api api;
    QTcpSocket socket;
    QTimer alive_timer;
    QByteArray buffer;
    QList<QByteArray> waiting; // frames held back until the unit accepted the handshake
    bool greeted = false;
    bool ready = false;
    bool reported = false;
    bool done = false;
};

#endif
