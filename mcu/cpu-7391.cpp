#include "cpu-7391.h"

#include <QDebug>
#include <QSerialPort>

#include "codec-7391.h"

namespace {
const char MARKER_START = 0x05;
const char MARKER_END = 0x06;
// Shortest buffer that can hold a frame: two markers, length, check.
const int MIN_FRAME = 8;
} // namespace

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
    // An unopened port only complains; the frame is given up like any unacknowledged one.
    if (serial_port->isOpen())
        serial_port->write(frame);
    uart_timer.start(ACK_TIMEOUT_MS);
}

// Taken in pieces no larger than the buffer limit, so a flood of bytes never makes the
// buffer, or the work of one pass, grow with it.
void Cpu7391::serial_read()
{
    do {
        rx_buffer.append(serial_port->read(RX_BUFFER_MAX));
        while (read_7391()) {
        }
        shed_overflow();
    } while (serial_port->bytesAvailable() > 0);
}

// One pass over the front of rx_buffer. Returns 1 when bytes were consumed and another
// pass may find more, 0 when more bytes are needed.
int Cpu7391::read_7391()
{
    if (rx_buffer.size() < MIN_FRAME)
        return 0;
    if (rx_buffer.at(0) != MARKER_START || rx_buffer.at(1) != MARKER_START)
        return shed_garbage();

    // Markers never occur inside a frame (stuffing keeps them out), so the last start
    // marker before the first end marker is where the frame really begins; anything
    // before it is a truncated frame.
    int start = 0;
    for (int i = 1; i + 1 < rx_buffer.size(); ++i) {
        const char a = rx_buffer.at(i);
        const char b = rx_buffer.at(i + 1);
        if (a == MARKER_END && b == MARKER_END) {
            const QByteArray frame = rx_buffer.mid(start, i + 2 - start);
            rx_buffer.remove(0, i + 2);
            QByteArray message(frame.size(), '\0');
            message.resize(decode_7391(frame.constData(), message.data(), frame.size()));
            if (!message.isEmpty())
                process_msg_(message);
            return 1;
        }
        if (a == MARKER_START && b == MARKER_START)
            start = i;
    }
    if (start == 0)
        return 0;
    rx_buffer.remove(0, start);
    return 1;
}

// Bytes in front of a start marker belong to no frame: drop them all at once, so a good
// frame behind them is not held back until further bytes arrive.
int Cpu7391::shed_garbage()
{
    int next = rx_buffer.indexOf(QByteArray(2, MARKER_START), 1);
    if (next < 0)
        next = rx_buffer.endsWith(MARKER_START) ? rx_buffer.size() - 1 : rx_buffer.size();
    rx_buffer.remove(0, next);
    return 1;
}

// After the passes the buffer holds at most one started frame. One longer than the
// limit cannot be a frame of this line; keep only its last byte, which may begin a marker.
void Cpu7391::shed_overflow()
{
    if (rx_buffer.size() <= RX_BUFFER_MAX)
        return;
    if (rx_drop_log.pass())
        qDebug() << "LTC: RX buffer full, dropped" << rx_buffer.size() - 1 << "bytes";
    rx_buffer.remove(0, rx_buffer.size() - 1);
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
