#ifndef SNMP_AGENT_H
#define SNMP_AGENT_H

#include <QObject>
#include <QString>

// SNMP sub-agent: answers the relay's line protocol on a local socket from its object table.
class Snmp_Agent : public QObject
{
    Q_OBJECT
public:
    explicit Snmp_Agent(QObject *parent = nullptr,
                        QString socket_path = QStringLiteral("/tmp/sock.unix"));
    ~Snmp_Agent() override;

    void set_device_ID(int id);
    void set_mib_element_int32(QString key, int value);
    void set_mib_element_int(QString key, int value);
    void set_mib_element_str(QString key, QString text);

signals:
    void signal_set_val(QString key, int val);
};

#endif
