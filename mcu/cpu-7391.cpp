#include "cpu-7391.h"

#include <QSerialPort>

Cpu7391::Cpu7391(QString port_name)
{
    Q_UNUSED(port_name);
}

Cpu7391::~Cpu7391() = default;

void Cpu7391::send_data(const char *message, int message_len)
{
    Q_UNUSED(message);
    Q_UNUSED(message_len);
}

void Cpu7391::process_msg(QByteArray message)
{
    Q_UNUSED(message);
}

void Cpu7391::serial_read() {}
void Cpu7391::uart_timeout() {}
