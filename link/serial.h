#ifndef SERIAL_H
#define SERIAL_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

// The RS-232 pass-through port, polled every 10 ms while bytes arrive.
class SerialServer : public QObject
{
    Q_OBJECT
public:
    explicit SerialServer(QString port_name = QStringLiteral("/dev/ttyS2"));

    void set_baud(int baud);
    void set_parity(QSerialPort::Parity parity);
    void send(QByteArray data);
    // On: bytes are handed on as soon as the port reports them instead of on the 10 ms
    // poll, for request/response protocols that feel every millisecond.
    void set_immediate(bool on);

signals:
    void serial_data(QByteArray data);

private slots:
    void serial_read();
    void timer_timeout();

private:
    void arm_poll();

    QElapsedTimer poll_grid;
    QTimer timer;
    QSerialPort port;
    int baud = 115200;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    bool immediate = false;
};

#endif
