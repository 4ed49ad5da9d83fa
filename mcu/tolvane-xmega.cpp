#include "tolvane-xmega.h"

#include <QDebug>

namespace {
// The requests carry one byte the controller ignores; it is sent as 0.
const char RESERVED = 0;
} // namespace

Tolvanexmega::Tolvanexmega(QString port_name) : Cpu7391(port_name) {}

void Tolvanexmega::send_cmd_version_request()
{
    const char message[2] = { char(XMEGA_VERSION_REQUEST), RESERVED };
    send_data(message, sizeof message);
}

void Tolvanexmega::send_cmd_gpi_request()
{
    const char message[2] = { char(XMEGA_GPI_REQUEST), RESERVED };
    send_data(message, sizeof message);
}

// Outputs missing from a short list are sent as off.
void Tolvanexmega::send_cmd_gpo(QList<int> states)
{
    char message[1 + XMEGA_STATES] = { char(XMEGA_GPO_COMMAND) };
    for (int k = 0; k < XMEGA_STATES && k < states.size(); ++k)
        message[1 + k] = char(states.at(k) & 0xFF);
    send_data(message, sizeof message);
}

void Tolvanexmega::process_msg(QByteArray message)
{
    switch (static_cast<unsigned char>(message.at(0))) {
    case XMEGA_VERSION_REPORT:
        process_msg_version(message);
        break;
    case XMEGA_GPI_REPORT:
        process_msg_gpi(message);
        break;
    default:
        if (unknown_log.pass())
            qDebug() << "LTC: Unknown message";
        break;
    }
}

// The text ends at the first 0 within its 30 bytes; a report shorter than 31 bytes gives
// what it carries.
void Tolvanexmega::process_msg_version(QByteArray message)
{
    QByteArray text = message.mid(1, XMEGA_VERSION_TEXT_MAX);
    const int end = text.indexOf('\0');
    if (end >= 0)
        text.truncate(end);
    emit msg_version(QString::fromLatin1(text));
}

// A short report would have to invent input states; it is dropped instead.
void Tolvanexmega::process_msg_gpi(QByteArray message)
{
    if (message.size() < 1 + XMEGA_STATES) {
        if (short_log.pass())
            qDebug() << "LTC: Short input report dropped";
        return;
    }
    QList<int> gpi;
    for (int k = 0; k < XMEGA_STATES; ++k)
        gpi.append(static_cast<unsigned char>(message.at(1 + k)));
    emit msg_gpi(gpi);
}
