#ifndef CPU_7391_H
#define CPU_7391_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

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

protected:
    // Every received message whose first byte is not 0.
    virtual void process_msg(QByteArray message);

private slots:
    void serial_read();
    void uart_timeout();

private:
    QSerialPort *serial_port = nullptr;
    QTimer uart_timer;
    int busy = 0;
    QList<QByteArray> tx_queue;
    QByteArray rx_buffer;
};

#endif
