#include "sim-console.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

#include "mcu-sim.h"
#include "tolvane-xmega.h"

namespace {
termios saved_terminal;
volatile sig_atomic_t terminal_changed = 0;

// Async-signal-safe: called from the signal handlers as well as on a normal exit.
void restore_terminal()
{
    if (terminal_changed)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    terminal_changed = 0;
}

void restore_and_exit(int)
{
    restore_terminal();
    ::_exit(0);
}

// Characters, not lines, and no echo; Ctrl-C still raises SIGINT.
void enter_key_mode()
{
    if (::tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
        return;
    termios keys = saved_terminal;
    keys.c_lflag &= ~tcflag_t(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    terminal_changed = 1;
    std::signal(SIGINT, restore_and_exit);
    std::signal(SIGTERM, restore_and_exit);
    std::signal(SIGHUP, restore_and_exit);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

void report_error(const QString &text)
{
    std::fprintf(stderr, "mcu-sim: %s\n", text.toLocal8Bit().constData());
}
} // namespace

sim_console::sim_console(mcu_sim *sim, QObject *parent)
    : QObject(parent), sim(sim), interactive(::isatty(STDIN_FILENO)),
      notifier(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this))
{
    connect(notifier, &QSocketNotifier::activated, this, &sim_console::stdin_readable);
    if (interactive) {
        enter_key_mode();
        std::fprintf(stderr, "keys 1-8 toggle inputs, q quits\n");
    }
}

sim_console::~sim_console()
{
    restore_terminal();
}

void sim_console::stdin_readable()
{
    char buf[1024];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        // End of input: the simulator keeps serving the line until it is stopped.
        notifier->setEnabled(false);
        return;
    }
    if (interactive) {
        for (ssize_t k = 0; k < n; ++k)
            handle_key(buf[k]);
        return;
    }
    pending.append(buf, int(n));
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromLocal8Bit(pending.left(end)).trimmed();
        pending.remove(0, end + 1);
        if (!line.isEmpty())
            handle_line(line);
    }
}

void sim_console::handle_key(char key)
{
    if (key >= '1' && key <= '8')
        sim->toggle_input(key - '0');
    else if (key == 'q')
        QCoreApplication::quit();
}

void sim_console::handle_line(const QString &line)
{
    const QString command = line.section(QLatin1Char(' '), 0, 0);
    const QString rest = line.section(QLatin1Char(' '), 1).trimmed();
    const QStringList args = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (command == QLatin1String("gpi") && args.size() == XMEGA_STATES) {
        QList<int> states;
        for (const QString &arg : args)
            states.append(arg.toInt());
        sim->set_inputs(states);
    } else if (command == QLatin1String("toggle") && args.size() == 1) {
        sim->toggle_input(args.first().toInt());
    } else if (command == QLatin1String("raw")) {
        sim->send_raw(QByteArray::fromHex(rest.toLatin1()));
    } else if (command == QLatin1String("send") && !args.isEmpty()) {
        sim->send_message(QByteArray::fromHex(rest.toLatin1()));
    } else if (command == QLatin1String("version")) {
        sim->set_version(rest);
    } else if (command == QLatin1String("ack") && args.size() == 1) {
        sim->set_ack(args.first() != QLatin1String("off"));
    } else if (command == QLatin1String("quit")) {
        QCoreApplication::quit();
    } else {
        report_error(QStringLiteral("unknown command: ") + line);
    }
}
