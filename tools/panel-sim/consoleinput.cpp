#include "consoleinput.h"

#include <csignal>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

namespace {

struct termios saved_mode;
volatile sig_atomic_t mode_saved = 0;

void restore_mode()
{
    if (mode_saved)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
}

// A terminal left in raw mode is unusable, so even a killed simulator puts it back.
void restore_and_die(int sig)
{
    restore_mode();
    std::signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

ConsoleInput::ConsoleInput(QObject *parent)
    : QObject(parent), terminal(isatty(STDIN_FILENO) == 1),
      notifier(STDIN_FILENO, QSocketNotifier::Read)
{
    connect(&notifier, &QSocketNotifier::activated, this, &ConsoleInput::on_readable);
    if (terminal)
        enter_raw_mode();
}

ConsoleInput::~ConsoleInput()
{
    restore_mode();
}

void ConsoleInput::enter_raw_mode()
{
    if (tcgetattr(STDIN_FILENO, &saved_mode) != 0)
        return;
    mode_saved = 1;
    std::atexit(restore_mode);
    for (int sig : { SIGTERM, SIGHUP, SIGQUIT })
        std::signal(sig, restore_and_die);
    struct termios raw = saved_mode;
    // Output processing stays on so that printed lines still end with a carriage return;
    // Ctrl-C arrives as a key and ends the simulator in order.
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ISIG);
    raw.c_iflag &= ~tcflag_t(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

void ConsoleInput::on_readable()
{
    char chunk[256];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof(chunk));
    if (n <= 0) {
        notifier.setEnabled(false);
        emit end_of_input();
        return;
    }
    if (terminal) {
        for (ssize_t i = 0; i < n; ++i)
            emit key(chunk[i]);
        return;
    }
    pending.append(chunk, int(n));
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QByteArray text = pending.left(end);
        pending.remove(0, end + 1);
        emit line(QString::fromUtf8(text));
    }
    // A line without end from a pipe is kept, but not beyond reason.
    if (pending.size() > 65536)
        pending.clear();
}
