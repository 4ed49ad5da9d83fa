#ifndef CPU_7391_H
#define CPU_7391_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "repeat-log.h"

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
    // No frame of the message set comes near this; a longer run without a frame is noise.
    static const int RX_BUFFER_MAX = 4096;
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
    int read_7391();
    int shed_garbage();
    void shed_overflow();
    void process_msg_(QByteArray message);

    QSerialPort *serial_port = nullptr;
    QTimer uart_timer;
    int busy = 0;
    QList<QByteArray> tx_queue;
    QByteArray rx_buffer;
    // Drops come once per frame while a flood lasts.
    RepeatLog tx_drop_log { QStringLiteral("LTC: TX queue full, dropped oldest frame") };
    RepeatLog rx_drop_log { QStringLiteral("LTC: RX buffer full, dropped") };
};

#endif
