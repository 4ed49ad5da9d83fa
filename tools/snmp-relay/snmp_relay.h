#ifndef SNMP_RELAY_H
#define SNMP_RELAY_H

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QLocalSocket;
class QSocketNotifier;

// Bridges net-snmp's pass_persist protocol (request lines on `in_fd`, replies on `out_fd`)
// to the device program's line protocol on a local socket the relay listens on.
// One request is in flight at a time: snmpd waits for every reply, and the relay stops
// reading its input until the device has answered or the reply has timed out.
// snmpd starts the relay on the first request, and the device program connects only at its
// next reconnect attempt: for `device_wait_ms` after the start, a request that needs the device
// waits for it instead of being answered as for an absent device.
class Snmp_Relay : public QObject
{
    Q_OBJECT
public:
    explicit Snmp_Relay(int in_fd = 0, int out_fd = 1,
                        QString socket_path = QStringLiteral("/tmp/sock.unix"),
                        int reply_timeout_ms = 500, int device_wait_ms = 2000,
                        QObject *parent = nullptr);
    ~Snmp_Relay() override;

signals:
    // snmpd closed our input: the relay has nothing more to do.
    void finished();

private slots:
    void slot_input();
    void slot_new_device();
    void slot_device_gone();
    void slot_device_data();
    void slot_reply_timeout();
    void slot_device_wait_over();

private:
    enum class Pending { None, Ping, Get, Set };

    void take_input_lines(const QByteArray &bytes);
    void process_requests();
    void handle_line(const QString &line);
    void dispatch();
    void forward(Pending kind, const QStringList &lines);
    void send_to_device(const QStringList &lines);
    void handle_device_line(const QString &line);
    void finish(QStringList lines);
    void fail_pending();
    void drop_device(const char *why);
    void write_out(const QStringList &lines);

    int out_fd;
    QLocalServer server;
    QLocalSocket *device = nullptr;
    QSocketNotifier *input_notifier;
    QByteArray input_buffer;
    bool skipping_rest_of_line = false;
    QStringList input_lines;
    QStringList request;
    Pending pending = Pending::None;
    QStringList reply;
    QStringList held; // a request waiting for the first device connection
    QTimer reply_timer;
    QTimer device_wait;
};

#endif
