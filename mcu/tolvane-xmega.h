#ifndef TOLVANE_XMEGA_H
#define TOLVANE_XMEGA_H

#include "cpu-7391.h"

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
};

#endif
