#ifndef GPI_CLIENT_H
#define GPI_CLIENT_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include "repeat-log.h"

#include "link-packet.h"
#include "link-receiver.h"

// Connecting end of the unit link.
class Gpi_client : public QObject
{
    Q_OBJECT
public:
    explicit Gpi_client(quint16 port = 11010);
    ~Gpi_client() override;

    void enable(int on);
    void set_dst(QString dst);
    int status();
    void send_gpo(QList<int> gpo);
    void send_serial(QByteArray data);

signals:
    void cmd_serial(QByteArray data);
    void cmd_gpi(QList<int> gpi);
    void refresh();

private slots:
    void data_read();
    void timer_timeout();
    void keepalive_timeout();
    void connected();

private:
    void send_keepalive();
    void send_version();
    bool linked();
    void write_packets(const QList<QByteArray> &packets);
    bool process_message(const link_event_t &event);
    void drop();

    int enabled = 0;
    QString dst;
    QTimer timer;
    QTimer keepalive_timer;
    QTcpSocket socket;
    // Of the current connection; timed from the attempt's start until the server's handshake.
    LinkReceiver receiver { LINK_GPI_STATES, 0 };
    quint16 port;
    // A peer sending packets of unknown types must not grow the log without bound.
    RepeatLog unknown_log { QStringLiteral("Unknown message") };
};

#endif
