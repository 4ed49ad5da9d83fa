#include "cpu-7391.h"

#include <QDebug>
#include <QSerialPort>

#include "codec-7391.h"
#include "write-through.h"

Cpu7391::Cpu7391(QString port_name)
    : serial_port(new QSerialPort(this))
{
    // Single-shot also when the port failed: the time-out then stays unconnected and must
    // not keep waking the event loop.
    uart_timer.setSingleShot(true);
    serial_port->setPortName(port_name);
    serial_port->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    if (!serial_port->open(QIODevice::ReadWrite)) {
        qDebug() << "Failed to open serial port";
        return;
    }
    connect(serial_port, SIGNAL(readyRead()), this, SLOT(serial_read()));
    connect(&uart_timer, SIGNAL(timeout()), this, SLOT(uart_timeout()));
}

// The serial port is a child and closes with it.
Cpu7391::~Cpu7391() = default;

void Cpu7391::send_data(const char *message, int message_len)
{
    if (message_len < 0)
        message_len = 0;
    QByteArray frame(2 * message_len + 8, '\0');
    frame.resize(encode_7391(message, message_len, frame.data()));
    queue_data(frame);
}

void Cpu7391::queue_data(QByteArray frame)
{
    if (tx_queue.size() >= TX_QUEUE_MAX) {
        tx_queue.removeFirst();
        if (tx_drop_log.pass())
            qDebug() << "LTC: TX queue full, dropped oldest frame";
    }
    tx_queue.append(frame);
    if (busy == 0)
        send_msg();
}

void Cpu7391::send_msg()
{
    if (tx_queue.isEmpty())
        return;
    busy = 1;
    const QByteArray frame = tx_queue.takeFirst();
    // An unopened port takes nothing; the frame is given up like any unacknowledged one.
    write_through(*serial_port, serial_port->handle(), FdKind::Tty, frame);
    uart_timer.start(ACK_TIMEOUT_MS);
}

// Taken in pieces no larger than the buffer limit, so a flood of bytes never makes the
// buffer, or the work of one pass, grow with it.
void Cpu7391::serial_read()
{
    do {
        rx.append(serial_port->read(RX_BUFFER_MAX));
        QByteArray message;
        while (rx.next(&message))
            process_msg_(message);
        const int dropped = rx.take_dropped();
        if (dropped > 0 && rx_drop_log.pass())
            qDebug() << "LTC: RX buffer full, dropped" << dropped << "bytes";
    } while (serial_port->bytesAvailable() > 0);
}

void Cpu7391::process_msg_(QByteArray message)
{
    if (message.at(0) == 0) {
        busy = 0;
        uart_timer.stop();
        send_msg();
        return;
    }
    process_msg(message);
}

void Cpu7391::process_msg(QByteArray message)
{
    Q_UNUSED(message);
}

void Cpu7391::uart_timeout()
{
    qDebug() << "LTC: UART timeout";
    busy = 0;
    send_msg();
}
