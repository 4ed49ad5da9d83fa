#include "snmp_relay.h"

#include <QDebug>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace {

// snmpd's lines are OIDs and values of at most a few hundred bytes; a longer line is cut
// there (and fails as an unknown OID or a wrong type) instead of growing the buffer.
const int max_input_line = 4096;
// The device answers with OIDs, type words and short values.
const qint64 max_device_line = 4096;

QString text_line(QByteArray raw)
{
    if (raw.endsWith('\r'))
        raw.chop(1);
    return QString::fromUtf8(raw);
}

bool is_keyword(const QString &line)
{
    return line == QLatin1String("get") || line == QLatin1String("getnext")
           || line == QLatin1String("set");
}

} // namespace

Snmp_Relay::Snmp_Relay(int in_fd, int out_fd, QString socket_path, int reply_timeout_ms,
                       int device_wait_ms, QObject *parent)
    : QObject(parent), out_fd(out_fd),
      input_notifier(new QSocketNotifier(in_fd, QSocketNotifier::Read, this))
{
    connect(input_notifier, SIGNAL(activated(int)), this, SLOT(slot_input()));
    connect(&server, SIGNAL(newConnection()), this, SLOT(slot_new_device()));
    reply_timer.setSingleShot(true);
    reply_timer.setInterval(reply_timeout_ms);
    connect(&reply_timer, SIGNAL(timeout()), this, SLOT(slot_reply_timeout()));
    device_wait.setSingleShot(true);
    connect(&device_wait, SIGNAL(timeout()), this, SLOT(slot_device_wait_over()));
    // A relay that snmpd killed leaves its socket file behind.
    QLocalServer::removeServer(socket_path);
    if (server.listen(socket_path)) {
        qDebug() << "snmp relay listening" << socket_path;
        if (device_wait_ms > 0)
            device_wait.start(device_wait_ms);
    } else {
        qDebug() << "snmp relay cannot listen" << socket_path << server.errorString();
    }
}

// The device socket is a child of the server member and outlives this destructor's body:
// its last disconnected() must not reach the half-destroyed relay.
Snmp_Relay::~Snmp_Relay()
{
    if (device)
        device->disconnect(this);
}

void Snmp_Relay::slot_input()
{
    char chunk[max_input_line];
    const ssize_t n = ::read(int(input_notifier->socket()), chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        input_notifier->setEnabled(false);
        emit finished();
        return;
    }
    take_input_lines(QByteArray(chunk, int(n)));
    process_requests();
}

void Snmp_Relay::take_input_lines(const QByteArray &bytes)
{
    input_buffer += bytes;
    int end;
    while ((end = input_buffer.indexOf('\n')) >= 0) {
        const QByteArray line = input_buffer.left(qMin(end, max_input_line));
        input_buffer.remove(0, end + 1);
        if (!skipping_rest_of_line)
            input_lines << text_line(line);
        skipping_rest_of_line = false;
    }
    if (input_buffer.size() > max_input_line) {
        if (!skipping_rest_of_line)
            input_lines << text_line(input_buffer.left(max_input_line));
        skipping_rest_of_line = true;
        input_buffer.clear();
    }
}

// Input is read only while no request waits for the device, so snmpd (or anything else
// writing to us) is held back by the pipe instead of by a growing queue.
void Snmp_Relay::process_requests()
{
    while (pending == Pending::None && !input_lines.isEmpty())
        handle_line(input_lines.takeFirst());
    input_notifier->setEnabled(pending == Pending::None);
}

void Snmp_Relay::handle_line(const QString &line)
{
    // snmpd 5.9.3 follows every SET with an empty line.
    if (line.isEmpty())
        return;
    if (!request.isEmpty()) {
        request << line;
        dispatch();
    } else if (line == QLatin1String("PING")) {
        forward(Pending::Ping, {line});
    } else if (is_keyword(line)) {
        request << line;
    } else {
        qDebug() << "snmp relay unknown request" << line;
    }
}

// An output object of the unit: enterprise prefix, device, 3, output number.
static bool is_output_oid(const QString &oid)
{
    static const QRegularExpression output(
        QStringLiteral("^\\.1\\.3\\.6\\.1\\.4\\.1\\.61904\\.[0-9]+\\.3\\.[0-9]+$"));
    return output.match(oid).hasMatch();
}

void Snmp_Relay::dispatch()
{
    const bool set = request.first() == QLatin1String("set");
    if (set && request.size() < 3)
        return;
    const QStringList lines = request;
    request.clear();
    if (!set) {
        forward(Pending::Get, lines);
    } else if (!is_output_oid(lines[1])) {
        // Only the outputs are writable: the device program maps any write to output n by
        // the last number of the key, so an input or the product name must not reach it.
        write_out({QStringLiteral("not-writable")});
    } else if (lines[2].section(QLatin1Char(' '), 0, 0) != QLatin1String("integer")) {
        // The device takes integer writes only and acknowledges anything else unchanged.
        write_out({QStringLiteral("wrong-type")});
    } else {
        forward(Pending::Set, lines);
    }
}

void Snmp_Relay::forward(Pending kind, const QStringList &lines)
{
    pending = kind;
    reply.clear();
    if (device) {
        send_to_device(lines);
    } else if (kind != Pending::Ping && device_wait.isActive()) {
        // snmpd's PING only checks that the relay runs; a get or set waits.
        held = lines;
    } else {
        fail_pending();
    }
}

void Snmp_Relay::send_to_device(const QStringList &lines)
{
    device->write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    reply_timer.start();
}

void Snmp_Relay::slot_device_wait_over()
{
    if (!device && !held.isEmpty()) {
        qDebug() << "snmp relay no device connected";
        held.clear();
        fail_pending();
        process_requests();
    }
}

void Snmp_Relay::slot_device_data()
{
    while (device && device->canReadLine()) {
        QByteArray raw = device->readLine();
        raw.chop(1);
        handle_device_line(text_line(raw));
    }
    if (device && device->bytesAvailable() > max_device_line)
        drop_device("snmp relay device line too long");
    process_requests();
}

void Snmp_Relay::handle_device_line(const QString &line)
{
    switch (pending) {
    case Pending::None:
        // Nothing waits for it: the device spoke out of turn.
        return;
    case Pending::Ping:
        finish({QStringLiteral("PONG")});
        return;
    case Pending::Set:
        finish({line == QLatin1String("OK") ? QStringLiteral("DONE")
                                             : QStringLiteral("not-writable")});
        return;
    case Pending::Get:
        reply << line;
        if (reply.size() == 1 && line.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
            finish({QStringLiteral("NONE")});
        else if (reply.size() == 3)
            finish(reply);
        return;
    }
}

void Snmp_Relay::finish(QStringList lines)
{
    reply_timer.stop();
    pending = Pending::None;
    reply.clear();
    write_out(lines);
}

// Without an answer from the device the relay still answers snmpd, which would otherwise
// wait, kill us, and start over.
void Snmp_Relay::fail_pending()
{
    switch (pending) {
    case Pending::None:
        return;
    case Pending::Ping:
        finish({QStringLiteral("PONG")});
        return;
    case Pending::Get:
        finish({QStringLiteral("NONE")});
        return;
    case Pending::Set:
        finish({QStringLiteral("resource-unavailable")});
        return;
    }
}

void Snmp_Relay::slot_reply_timeout()
{
    // A late answer could not be told from the answer to the next request: the device
    // gets a fresh connection instead.
    drop_device("snmp relay device reply timeout");
    process_requests();
}

void Snmp_Relay::slot_new_device()
{
    while (server.hasPendingConnections()) {
        QLocalSocket *socket = server.nextPendingConnection();
        drop_device("snmp relay device replaced");
        device = socket;
        connect(device, SIGNAL(readyRead()), this, SLOT(slot_device_data()));
        connect(device, SIGNAL(disconnected()), this, SLOT(slot_device_gone()));
        qDebug() << "snmp relay device connected";
    }
    // From the first connection on, an absent device is answered for at once.
    device_wait.stop();
    if (device && !held.isEmpty()) {
        send_to_device(held);
        held.clear();
    }
    process_requests();
}

void Snmp_Relay::slot_device_gone()
{
    drop_device("snmp relay device disconnected");
    process_requests();
}

void Snmp_Relay::drop_device(const char *why)
{
    if (!device)
        return;
    qDebug() << why;
    QLocalSocket *old = device;
    device = nullptr;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
    fail_pending();
}

void Snmp_Relay::write_out(const QStringList &lines)
{
    const QByteArray bytes = (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(out_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            qDebug() << "snmp relay output closed";
            emit finished();
            return;
        }
        done += n;
    }
}
