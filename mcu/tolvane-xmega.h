#ifndef TOLVANE_XMEGA_H
#define TOLVANE_XMEGA_H

#include "cpu-7391.h"
#include "repeat-log.h"

// The I/O controller's message set: the first byte of every message is its identifier.
enum xmega_msg_id_t : unsigned char {
    XMEGA_ACK = 0x00,
    XMEGA_VERSION_REQUEST = 0x01,
    XMEGA_VERSION_REPORT = 0x02, // cpu_cmd_version_t
    XMEGA_GPI_REPORT = 0x03,     // cpu_cmd_gpi_t
    XMEGA_GPI_REQUEST = 0x04,
    XMEGA_GPO_COMMAND = 0x05,
};
constexpr int XMEGA_STATES = 8;
constexpr int XMEGA_VERSION_TEXT_MAX = 30;

// The I/O controller's message set on top of the paced transport.
class Tolvanexmega : public Cpu7391
{
    Q_OBJECT
public:
    explicit Tolvanexmega(QString port_name);

    void send_cmd_version_request();
    void send_cmd_gpi_request();
    void send_cmd_gpo(QList<int> states);

signals:
    void msg_version(QString version);
    void msg_gpi(QList<int> gpi);

protected:
    void process_msg(QByteArray message) override;

private:
    void process_msg_version(QByteArray message);
    void process_msg_gpi(QByteArray message);

    // A controller gone wrong, or noise that happens to frame, may send these without end.
    RepeatLog unknown_log { QStringLiteral("LTC: Unknown message") };
    RepeatLog short_log { QStringLiteral("LTC: Short input report dropped") };
};

#endif
