#include "tolvane-xmega.h"

#include <QDebug>

namespace {
enum MessageId : unsigned char {
    CPU_CMD_VERSION_REQUEST = 0x01,
    CPU_CMD_VERSION = 0x02,
    CPU_CMD_GPI = 0x03,
    CPU_CMD_GPI_REQUEST = 0x04,
    CPU_CMD_GPO = 0x05,
};
const int STATES = 8;
const int VERSION_TEXT_MAX = 30;
// The requests carry one byte the controller ignores; it is sent as 0.
const char RESERVED = 0;
} // namespace

Tolvanexmega::Tolvanexmega(QString port_name) : Cpu7391(port_name) {}

void Tolvanexmega::send_cmd_version_request()
{
    const char message[2] = { char(CPU_CMD_VERSION_REQUEST), RESERVED };
    send_data(message, sizeof message);
}

void Tolvanexmega::send_cmd_gpi_request()
{
    const char message[2] = { char(CPU_CMD_GPI_REQUEST), RESERVED };
    send_data(message, sizeof message);
}

// Outputs missing from a short list are sent as off.
void Tolvanexmega::send_cmd_gpo(QList<int> states)
{
    char message[1 + STATES] = { char(CPU_CMD_GPO) };
    for (int k = 0; k < STATES && k < states.size(); ++k)
        message[1 + k] = char(states.at(k) & 0xFF);
    send_data(message, sizeof message);
}

void Tolvanexmega::process_msg(QByteArray message)
{
    switch (static_cast<unsigned char>(message.at(0))) {
    case CPU_CMD_VERSION:
        process_msg_version(message);
        break;
    case CPU_CMD_GPI:
        process_msg_gpi(message);
        break;
    default:
        qDebug() << "LTC: Unknown message";
        break;
    }
}

// The text ends at the first 0 within its 30 bytes; a report shorter than 31 bytes gives
// what it carries.
void Tolvanexmega::process_msg_version(QByteArray message)
{
    QByteArray text = message.mid(1, VERSION_TEXT_MAX);
    const int end = text.indexOf('\0');
    if (end >= 0)
        text.truncate(end);
    emit msg_version(QString::fromLatin1(text));
}

// A short report would have to invent input states; it is dropped instead.
void Tolvanexmega::process_msg_gpi(QByteArray message)
{
    if (message.size() < 1 + STATES) {
        qDebug() << "LTC: Short input report dropped";
        return;
    }
    QList<int> gpi;
    for (int k = 0; k < STATES; ++k)
        gpi.append(static_cast<unsigned char>(message.at(1 + k)));
    emit msg_gpi(gpi);
}
