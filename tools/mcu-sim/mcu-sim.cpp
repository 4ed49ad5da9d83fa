#include "mcu-sim.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "codec-7391.h"
#include "tolvane-xmega.h"

namespace {
const int RX_BUFFER_MAX = 4096;
const int HANGUP_RETRY_MS = 100;
const QByteArray START_MARKER("\x05\x05", 2);
const QByteArray END_MARKER("\x06\x06", 2);

void print_line(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString hex_bytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

QString decimal_list(const QByteArray &bytes)
{
    QStringList values;
    for (char b : bytes)
        values << QString::number(static_cast<unsigned char>(b));
    return values.join(QLatin1Char(' '));
}
} // namespace

mcu_sim::mcu_sim(int fd, QString version, QObject *parent)
    : QObject(parent), fd(fd), version(version),
      read_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      write_notifier(new QSocketNotifier(fd, QSocketNotifier::Write, this))
{
    for (int k = 0; k < XMEGA_STATES; ++k)
        gpi.append(0);
    write_notifier->setEnabled(false);
    connect(read_notifier, &QSocketNotifier::activated, this, &mcu_sim::line_readable);
    connect(write_notifier, &QSocketNotifier::activated, this, &mcu_sim::line_writable);
    reopen_timer.setSingleShot(true);
    connect(&reopen_timer, &QTimer::timeout, this, [this] { read_notifier->setEnabled(true); });
}

void mcu_sim::set_inputs(QList<int> states)
{
    for (int k = 0; k < XMEGA_STATES; ++k)
        gpi[k] = k < states.size() ? states.at(k) & 0xFF : 0;
    send_input_report();
}

void mcu_sim::toggle_input(int number)
{
    if (number < 1 || number > XMEGA_STATES)
        return;
    gpi[number - 1] = gpi.at(number - 1) ? 0 : 1;
    send_input_report();
}

void mcu_sim::send_message(QByteArray message)
{
    QByteArray frame(2 * message.size() + 8, '\0');
    frame.resize(encode_7391(message.constData(), message.size(), frame.data()));
    send_raw(frame);
}

void mcu_sim::send_raw(QByteArray bytes)
{
    tx_buffer += bytes;
    flush_out();
}

void mcu_sim::line_readable()
{
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
        rx_buffer.append(buf, int(n));
        cut_frames();
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        read_notifier->setEnabled(false);
        reopen_timer.start(HANGUP_RETRY_MS);
    }
}

void mcu_sim::line_writable()
{
    flush_out();
}

void mcu_sim::flush_out()
{
    while (!tx_buffer.isEmpty()) {
        const ssize_t n = ::write(fd, tx_buffer.constData(), size_t(tx_buffer.size()));
        if (n <= 0)
            break;
        tx_buffer.remove(0, int(n));
    }
    write_notifier->setEnabled(!tx_buffer.isEmpty());
}

// Markers never occur inside a frame, so a frame runs from the last start marker before
// the first end marker; anything in front of it is noise or a truncated frame.
void mcu_sim::cut_frames()
{
    for (;;) {
        const int start = rx_buffer.indexOf(START_MARKER);
        if (start < 0) {
            rx_buffer = rx_buffer.endsWith('\x05') ? QByteArray("\x05", 1) : QByteArray();
            return;
        }
        rx_buffer.remove(0, start);
        const int end = rx_buffer.indexOf(END_MARKER, 2);
        if (end < 0) {
            if (rx_buffer.size() > RX_BUFFER_MAX)
                rx_buffer = rx_buffer.right(1);
            return;
        }
        const int begin = rx_buffer.lastIndexOf(START_MARKER, end - 2);
        const QByteArray frame = rx_buffer.mid(begin, end + 2 - begin);
        rx_buffer.remove(0, end + 2);
        QByteArray message(frame.size(), '\0');
        message.resize(decode_7391(frame.constData(), message.data(), frame.size()));
        if (!message.isEmpty())
            handle_message(message);
    }
}

void mcu_sim::handle_message(QByteArray message)
{
    print_line(QStringLiteral("rx ") + hex_bytes(message));
    if (ack)
        send_message(QByteArray(1, char(XMEGA_ACK)));
    switch (static_cast<unsigned char>(message.at(0))) {
    case XMEGA_VERSION_REQUEST:
        send_version_report();
        break;
    case XMEGA_GPI_REQUEST:
        send_input_report();
        break;
    case XMEGA_GPO_COMMAND:
        print_line(QStringLiteral("gpo ")
                   + decimal_list(message.mid(1, XMEGA_STATES).leftJustified(XMEGA_STATES, '\0')));
        break;
    default:
        break;
    }
}

void mcu_sim::send_version_report()
{
    QByteArray report(1, char(XMEGA_VERSION_REPORT));
    report += version.toLatin1()
                  .left(XMEGA_VERSION_TEXT_MAX)
                  .leftJustified(XMEGA_VERSION_TEXT_MAX, '\0');
    print_line(QStringLiteral("tx ") + hex_bytes(report));
    send_message(report);
}

void mcu_sim::send_input_report()
{
    QByteArray report(1, char(XMEGA_GPI_REPORT));
    for (int state : gpi)
        report += char(state);
    print_line(QStringLiteral("tx ") + hex_bytes(report));
    send_message(report);
}
