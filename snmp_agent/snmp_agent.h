#ifndef SNMP_AGENT_H
#define SNMP_AGENT_H

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "snmp-line-reader.h"

class QLocalSocket;

// One object of the table: its OID relative to the device's base OID, and the reply text
// (type line, newline, value) ready to be sent.
struct oid_object_t
{
    QString key;
    QString answer;
};

// SNMP sub-agent: answers the relay's line protocol on a local socket from its object table.
class Snmp_Agent : public QObject
{
    Q_OBJECT
public:
    // Position of "no entry" in the table.
    static constexpr int end_position = -1;

    explicit Snmp_Agent(QObject *parent = nullptr,
                        QString socket_path = QStringLiteral("/tmp/sock.unix"));
    ~Snmp_Agent() override;

    void set_device_ID(int id);
    void set_mib_element_int32(QString key, int value);
    void set_mib_element_int(QString key, int value);
    void set_mib_element_str(QString key, QString text);

    // Table operations, also used by the request handlers.
    void MIB_map_append(QString key, QString answer);
    int find_index(QString key) const;
    QString get_oid_element(QString oid) const;
    int get_index(QString oid) const;
    bool device_node(QString text) const;
    QString get_next_element(QString oid) const;
    int mib_size() const;

    // Handles the bytes of one read from the relay: every complete line is answered, a
    // partial one waits for its newline. Returns the reply lines, to be sent in order.
    QByteArray receive(const QByteArray &bytes);
    // The relay sent more than a line may hold without a newline; its connection is dropped.
    bool line_too_long() const;

signals:
    void signal_set_val(QString key, int val);

private slots:
    void slot_connected();
    void slot_disconnected();
    void slot_readData();
    void slot_timer_reconnect();

private:
    enum Command { CommandGet = 0, CommandSet = 1, CommandGetNext = 2 };

    void parse_datagram(QString line);
    void parse_command(QString line);
    void cmd_get(QString oid);
    void cmd_get_next(QString oid);
    void cmd_set(QString line);
    void reply(QString text);
    QString relative_key(QString oid) const;

    QString relay_path;
    QLocalSocket *relay_socket;
    QTimer reconnect_timer;
    int command_state = CommandGet;
    QString base_oid;
    QString node_oid;
    QList<oid_object_t> mib;
    int set_target = end_position;
    Snmp_line_reader lines;
    // What the lines of the current read answered.
    QByteArray replies;
};

#endif
