#include "serial.h"

#include <QDebug>

#include "write-through.h"

namespace {
// Bytes from the link wait here while the line is slower than the peer's line (a lower
// baud rate, a stopped receiver); beyond this they are dropped instead of piling up.
constexpr qint64 kMaxUnsent = 4 * 1024 * 1024;
// The poll period bounds the delay this unit adds to every RS-232 byte.
constexpr int kPollMs = 10;
}

SerialServer::SerialServer(QString port_name)
{
    port.setPortName(port_name);
    port.setBaudRate(baud, QSerialPort::AllDirections);
    connect(&port, SIGNAL(readyRead()), this, SLOT(serial_read()));
    if (!port.open(QIODevice::ReadWrite)) {
        qDebug() << "Failed to open serial port for LTC";
        return;
    }
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    connect(&timer, SIGNAL(timeout()), this, SLOT(timer_timeout()));
    poll_grid.start();
}

void SerialServer::set_baud(int b)
{
    baud = b;
    port.setBaudRate(baud, QSerialPort::AllDirections);
}

void SerialServer::set_parity(QSerialPort::Parity p)
{
    parity = p;
    port.setParity(parity);
}

void SerialServer::send(QByteArray data)
{
    if (data.isEmpty() || !port.isOpen())
        return;
    if (port.bytesToWrite() > kMaxUnsent) {
        qDebug() << "RS-232 output full, dropped" << data.size();
        return;
    }
    write_through(port, port.handle(), FdKind::Tty, data);
}

// On: what waits is handed on now and a pending poll is cancelled, as every later report of
// the port is handed on at once. Off: what waits goes with the next poll.
void SerialServer::set_immediate(bool on)
{
    immediate = on;
    if (!port.isOpen())
        return;
    if (immediate) {
        timer.stop();
        timer_timeout();
    } else if (port.bytesAvailable() > 0) {
        arm_poll();
    }
}

// Normally reading is left to the poll, so that a chunk gathers everything of one period.
void SerialServer::serial_read()
{
    if (immediate)
        timer_timeout();
    else
        arm_poll();
}

// The poll runs only while bytes wait, so an idle line never wakes the unit. Its ticks keep
// to one 10 ms grid, as a free-running poll's would: a byte waits for the rest of the period
// it arrived in, not a whole period after it.
void SerialServer::arm_poll()
{
    if (timer.isActive())
        return;
    constexpr qint64 period_ns = kPollMs * 1000000LL;
    const qint64 left_ns = period_ns - poll_grid.nsecsElapsed() % period_ns;
    timer.start(int((left_ns + 500000) / 1000000));
}

void SerialServer::timer_timeout()
{
    if (port.bytesAvailable() == 0)
        return;
    emit serial_data(port.readAll());
}
