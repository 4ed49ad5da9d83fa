#include "panelsim.h"

#include <QRegularExpression>
#include <QStringList>

#include <cstdio>

namespace {

const QByteArray PANEL_HANDSHAKE = QByteArray::fromHex("5045525000010000");
// Frames of the panel protocol are 11 bytes; anything far larger is a broken stream.
constexpr int MAX_FRAME = 4096;
// A unit accepts a panel within milliseconds; held-back commands wait this long at quit.
constexpr int QUIT_WAIT_MS = 5000;

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

} // namespace

PanelSim::PanelSim(QString host, int port, int alive_interval_ms, QObject *parent)
    : QObject(parent), host(std::move(host)), port(port)
{
    connect(&socket, &QTcpSocket::connected, this, &PanelSim::on_connected);
    connect(&socket, &QTcpSocket::readyRead, this, &PanelSim::on_ready_read);
    connect(&socket, &QTcpSocket::disconnected, this, &PanelSim::on_disconnected);
    connect(&socket, &QAbstractSocket::errorOccurred, this, &PanelSim::on_error);
    connect(&api, &Vgpi_api::signal_parse_frame, this, &PanelSim::on_frame);
    alive_timer.setInterval(alive_interval_ms);
    connect(&alive_timer, &QTimer::timeout, this, [this] { send_frame(api.vgpi_frame_get(0, 0)); });
    quit_timer.setSingleShot(true);
    quit_timer.setInterval(QUIT_WAIT_MS);
    connect(&quit_timer, &QTimer::timeout, this, &PanelSim::on_quit_timeout);
}

void PanelSim::start()
{
    socket.connectToHost(host, static_cast<quint16>(port));
}

bool PanelSim::command(const QString &line)
{
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return true;
    const QString verb = words.at(0);
    bool ok1 = false, ok2 = false;
    const int n = words.value(1).toInt(&ok1, 0);
    const int v = words.value(2).toInt(&ok2, 0);
    if (verb == QLatin1String("press") && words.size() == 2 && ok1)
        press(n);
    else if (verb == QLatin1String("set") && words.size() == 3 && ok1 && ok2)
        send_frame(api.vgpi_frame_uint16(n, v));
    else if (verb == QLatin1String("alive") && words.size() == 1)
        send_frame(api.vgpi_frame_get(0, 0));
    else if (verb == QLatin1String("raw") && words.size() >= 2)
        return send_raw(words.mid(1).join(QString()));
    else if (verb == QLatin1String("quit") && words.size() == 1)
        quit();
    else
        return false;
    return true;
}

bool PanelSim::send_raw(const QString &hex_text)
{
    static const QRegularExpression hex_pairs(QStringLiteral("^([0-9A-Fa-f]{2})+$"));
    if (!hex_pairs.match(hex_text).hasMatch())
        return false;
    send_frame(QByteArray::fromHex(hex_text.toLatin1()));
    return true;
}

// A button goes down and comes up again: value 1, then value 0.
void PanelSim::press(int button)
{
    send_frame(api.vgpi_frame_uint16(button, 1));
    send_frame(api.vgpi_frame_uint16(button, 0));
}

// The unit takes its whole first chunk as the handshake reply, so nothing else may travel
// before it has answered with its LED frames.
void PanelSim::send_frame(QByteArray frame)
{
    if (frame.isEmpty())
        return;
    if (!ready) {
        waiting.append(frame);
        return;
    }
    socket.write(frame);
    socket.flush();
}

// Commands typed or piped before the unit accepted the panel are still sent: the connection
// closes once they are out (or when the unit has not accepted the panel in time).
void PanelSim::quit()
{
    alive_timer.stop();
    if (quitting)
        return;
    quitting = true;
    if (socket.state() == QAbstractSocket::UnconnectedState)
        finish(exit_status);
    else if (!ready && !waiting.isEmpty())
        quit_timer.start();
    else
        close_connection();
}

void PanelSim::on_quit_timeout()
{
    say(QStringLiteral("error %1 frames not sent: the unit did not accept the panel")
            .arg(waiting.size()));
    waiting.clear();
    exit_status = 1;
    close_connection();
}

void PanelSim::close_connection()
{
    closing = true;
    socket.disconnectFromHost(); // sends what is queued first
    // A connection still being set up ends without a disconnected() signal.
    if (socket.state() == QAbstractSocket::UnconnectedState)
        finish(exit_status);
}

void PanelSim::on_connected()
{
    say(QStringLiteral("connected %1 %2").arg(host).arg(port));
}

void PanelSim::on_ready_read()
{
    buffer += socket.readAll();
    if (!greeted)
        take_handshake();
    if (greeted)
        take_frames();
    if (led_changes_only)
        print_led_changes();
}

void PanelSim::take_handshake()
{
    if (buffer.size() < PANEL_HANDSHAKE.size())
        return;
    const QByteArray got = buffer.left(PANEL_HANDSHAKE.size());
    buffer.remove(0, PANEL_HANDSHAKE.size());
    if (got != PANEL_HANDSHAKE) {
        say(QStringLiteral("error handshake %1").arg(QString::fromLatin1(got.toHex(' '))));
        finish(1);
        socket.abort();
        return;
    }
    greeted = true;
    socket.write(PANEL_HANDSHAKE);
    socket.flush();
    say(QStringLiteral("handshake"));
}

// Frames are cut by their size here, as TCP may split or join them.
void PanelSim::take_frames()
{
    while (buffer.size() >= 4) {
        const int size = api.vgpi_get_packet_size(buffer);
        if (size < 8 || size > MAX_FRAME) {
            say(QStringLiteral("error frame size %1, dropped %2 bytes").arg(size).arg(buffer.size()));
            buffer.clear();
            return;
        }
        if (buffer.size() < size)
            return;
        const QByteArray frame = buffer.left(size);
        buffer.remove(0, size);
        reported = false;
        api.parse_frame(frame);
        if (!reported)
            say(QStringLiteral("frame %1").arg(QString::fromLatin1(frame.toHex(' '))));
    }
}

void PanelSim::on_frame(int type, int type_specific, int value)
{
    reported = true;
    if (type == 1) {
        say(QStringLiteral("alive"));
        return;
    }
    if (type != 2) {
        say(QStringLiteral("frame %1 %2 %3").arg(type).arg(type_specific).arg(value));
        return;
    }
    leds[type_specific] = value;
    if (!led_changes_only)
        say(QStringLiteral("led %1 %2").arg(type_specific).arg(value));
    // Only the greeting after an accepted handshake carries the value 1 (LED 5); the periodic
    // LED blocks send 0 or 2.
    if (value == 1 && !ready)
        become_ready();
}

// The state after a whole read: a periodic block sets LED 5 to 0 and then to its value, which
// is no change to show.
void PanelSim::print_led_changes()
{
    for (auto it = leds.cbegin(); it != leds.cend(); ++it) {
        if (leds_shown.value(it.key(), -1) == it.value())
            continue;
        leds_shown[it.key()] = it.value();
        say(QStringLiteral("led %1 %2").arg(it.key()).arg(it.value()));
    }
}

void PanelSim::become_ready()
{
    ready = true;
    if (led_changes_only)
        print_led_changes(); // the greeting before "ready", as in the other mode
    say(QStringLiteral("ready"));
    const QList<QByteArray> held = waiting;
    waiting.clear();
    for (const QByteArray &frame : held)
        send_frame(frame);
    if (quitting) {
        quit_timer.stop();
        close_connection();
    } else if (alive_timer.interval() > 0) {
        alive_timer.start();
    }
}

void PanelSim::on_disconnected()
{
    alive_timer.stop();
    quit_timer.stop();
    say(closing ? QStringLiteral("closed") : QStringLiteral("disconnected"));
    finish(exit_status);
}

void PanelSim::on_error(QAbstractSocket::SocketError error)
{
    if (error == QAbstractSocket::RemoteHostClosedError)
        return; // reported by on_disconnected
    say(QStringLiteral("error %1").arg(socket.errorString()));
    if (socket.state() != QAbstractSocket::ConnectedState)
        finish(1);
}

void PanelSim::finish(int status)
{
    if (done)
        return;
    done = true;
    emit finished(status);
}
