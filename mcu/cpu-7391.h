#ifndef CPU_7391_H
#define CPU_7391_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "repeat-log.h"
#include "rx-7391.h"

class QSerialPort;

// Paced transport to the I/O controller: one frame in flight, released by an
// acknowledgement (message id 0) or a 2000 ms time-out.
class Cpu7391 : public QObject
{
    Q_OBJECT
public:
    explicit Cpu7391(QString port_name);
    ~Cpu7391() override;

    void send_data(const char *message, int message_len);

    // A controller that never acknowledges, or a port that never opened, must not make
    // the program hold frames without end; the oldest is dropped first.
    static const int TX_QUEUE_MAX = 64;
    // Reads are taken in pieces of the receive buffer's bound.
    static const int RX_BUFFER_MAX = Rx7391::BUFFER_MAX;
    static const int ACK_TIMEOUT_MS = 2000;

protected:
    // Every received message whose first byte is not 0.
    virtual void process_msg(QByteArray message);

private slots:
    void serial_read();
    void uart_timeout();

private:
    void queue_data(QByteArray frame);
    void send_msg();
    void process_msg_(QByteArray message);

    QSerialPort *serial_port = nullptr;
    QTimer uart_timer;
    int busy = 0;
    QList<QByteArray> tx_queue;
    Rx7391 rx;
    // Drops come once per frame while a flood lasts.
    RepeatLog tx_drop_log { QStringLiteral("LTC: TX queue full, dropped oldest frame") };
    RepeatLog rx_drop_log { QStringLiteral("LTC: RX buffer full, dropped") };
};

#endif
