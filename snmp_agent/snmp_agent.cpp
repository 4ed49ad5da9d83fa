#include "snmp_agent.h"

#include <QDebug>
#include <QLocalSocket>
#include <QVector>

#include <algorithm>

namespace {

const QString enterprise_oid = QStringLiteral(".1.3.6.1.4.1.61904");

// Reads a dotted numeric OID (leading dot optional) into its sub-identifiers.
bool parse_oid(const QString &text, QVector<quint64> *ids)
{
    const QString body = text.startsWith(QLatin1Char('.')) ? text.mid(1) : text;
    const QStringList parts = body.split(QLatin1Char('.'));
    ids->clear();
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 10)
            return false;
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        ids->append(part.toULongLong());
    }
    return true;
}

// An OID line of a set names the object; value lines start with a type word.
bool is_oid_line(const QString &line)
{
    QVector<quint64> ids;
    return parse_oid(line, &ids) && ids.size() >= 2;
}

} // namespace

Snmp_Agent::Snmp_Agent(QObject *parent, QString socket_path)
    : QObject(parent), relay_path(socket_path), relay_socket(new QLocalSocket(this))
{
    qDebug() << "snmp agent created";
    connect(relay_socket, SIGNAL(connected()), this, SLOT(slot_connected()));
    connect(relay_socket, SIGNAL(disconnected()), this, SLOT(slot_disconnected()));
    connect(relay_socket, SIGNAL(readyRead()), this, SLOT(slot_readData()));
    connect(&reconnect_timer, SIGNAL(timeout()), this, SLOT(slot_timer_reconnect()));
    reconnect_timer.setInterval(1000);
    relay_socket->connectToServer(socket_path, QIODevice::ReadWrite);
    // A connection attempt may still be pending here; the timer only retries from the
    // unconnected state, so it is safe to run until connected() stops it.
    if (relay_socket->state() != QLocalSocket::ConnectedState)
        reconnect_timer.start();
}

Snmp_Agent::~Snmp_Agent() = default;

void Snmp_Agent::slot_connected()
{
    reconnect_timer.stop();
    lines.clear();
}

void Snmp_Agent::slot_disconnected()
{
    reconnect_timer.start();
}

void Snmp_Agent::slot_timer_reconnect()
{
    if (relay_socket->state() == QLocalSocket::UnconnectedState)
        relay_socket->connectToServer(relay_path, QIODevice::ReadWrite);
}

void Snmp_Agent::slot_readData()
{
    const QByteArray answer = receive(relay_socket->readAll());
    if (!answer.isEmpty())
        relay_socket->write(answer);
    if (lines.too_long()) {
        qDebug() << "snmp line too long";
        lines.clear();
        relay_socket->abort();
    }
}

QByteArray Snmp_Agent::receive(const QByteArray &bytes)
{
    replies.clear();
    lines.append(bytes);
    QString line;
    while (lines.next(&line))
        parse_datagram(line);
    return replies;
}

bool Snmp_Agent::line_too_long() const
{
    return lines.too_long();
}

void Snmp_Agent::parse_datagram(QString line)
{
    if (line.compare(QLatin1String("PING"), Qt::CaseInsensitive) == 0)
        reply(QStringLiteral("PONG"));
    else if (line.compare(QLatin1String("get"), Qt::CaseInsensitive) == 0)
        command_state = CommandGet;
    else if (line.compare(QLatin1String("set"), Qt::CaseInsensitive) == 0)
        command_state = CommandSet;
    else if (line.compare(QLatin1String("getnext"), Qt::CaseInsensitive) == 0)
        command_state = CommandGetNext;
    else
        parse_command(line);
}

void Snmp_Agent::parse_command(QString line)
{
    switch (command_state) {
    case CommandSet:
        cmd_set(line);
        break;
    case CommandGetNext:
        cmd_get_next(line);
        break;
    default:
        cmd_get(line);
        break;
    }
}

void Snmp_Agent::cmd_get(QString oid)
{
    const QString answer = get_oid_element(oid);
    if (answer == QLatin1String("none"))
        reply(answer);
    else
        reply(oid + QLatin1Char('\n') + answer);
}

void Snmp_Agent::cmd_get_next(QString oid)
{
    reply(get_next_element(oid));
}

void Snmp_Agent::cmd_set(QString line)
{
    if (is_oid_line(line)) {
        set_target = get_index(line);
        return;
    }
    if (set_target == end_position) {
        reply(QStringLiteral("none"));
        return;
    }
    reply(QStringLiteral("OK"));
    const QStringList parts = line.split(QLatin1Char(' '));
    if (parts.size() != 2 || parts[0] != QLatin1String("integer"))
        return;
    bool ok = false;
    int value = parts[1].toInt(&ok, 10);
    if (!ok)
        value = 0;
    emit signal_set_val(mib[set_target].key, value);
}

void Snmp_Agent::reply(QString text)
{
    replies += (text + QLatin1Char('\n')).toUtf8();
}

void Snmp_Agent::set_device_ID(int id)
{
    base_oid = enterprise_oid + QLatin1Char('.') + QString::number(id);
    node_oid = base_oid + QLatin1Char('.');
}

void Snmp_Agent::MIB_map_append(QString key, QString answer)
{
    const int index = find_index(key);
    if (index == end_position)
        mib.append(oid_object_t{key, answer});
    else
        mib[index] = oid_object_t{key, answer};
}

void Snmp_Agent::set_mib_element_int32(QString key, int value)
{
    MIB_map_append(key, QStringLiteral("Integer32\n") + QString::number(value));
}

void Snmp_Agent::set_mib_element_int(QString key, int value)
{
    MIB_map_append(key, QStringLiteral("INTEGER\n") + QString::number(value));
}

void Snmp_Agent::set_mib_element_str(QString key, QString text)
{
    MIB_map_append(key, QStringLiteral("string\n") + text);
}

int Snmp_Agent::find_index(QString key) const
{
    for (int i = 0; i < mib.size(); ++i)
        if (mib[i].key.compare(key, Qt::CaseInsensitive) == 0)
            return i;
    return end_position;
}

bool Snmp_Agent::device_node(QString text) const
{
    return !node_oid.isEmpty() && text.startsWith(node_oid, Qt::CaseInsensitive);
}

// A full OID under this device's node loses the node prefix; anything else is taken as a
// key already relative to the base OID.
QString Snmp_Agent::relative_key(QString oid) const
{
    return device_node(oid) ? oid.mid(node_oid.size()) : oid;
}

int Snmp_Agent::get_index(QString oid) const
{
    return find_index(relative_key(oid));
}

QString Snmp_Agent::get_oid_element(QString oid) const
{
    const int index = get_index(oid);
    return index == end_position ? QStringLiteral("none") : mib[index].answer;
}

// The object whose full OID comes next after the requested one in numeric OID order, so
// that concurrent walks and polls of single columns get the right answer whatever was
// asked before; insertion order of the table does not matter.
QString Snmp_Agent::get_next_element(QString oid) const
{
    QVector<quint64> requested;
    if (base_oid.isEmpty() || !parse_oid(oid, &requested))
        return QStringLiteral("none");
    int best = end_position;
    QVector<quint64> best_ids;
    for (int i = 0; i < mib.size(); ++i) {
        QVector<quint64> ids;
        if (!parse_oid(node_oid + mib[i].key, &ids))
            continue;
        const bool after = std::lexicographical_compare(requested.begin(), requested.end(),
                                                        ids.begin(), ids.end());
        if (after && (best == end_position
                      || std::lexicographical_compare(ids.begin(), ids.end(),
                                                      best_ids.begin(), best_ids.end()))) {
            best = i;
            best_ids = ids;
        }
    }
    if (best == end_position)
        return QStringLiteral("none");
    return node_oid + mib[best].key + QLatin1Char('\n') + mib[best].answer;
}

int Snmp_Agent::mib_size() const
{
    return mib.size();
}
