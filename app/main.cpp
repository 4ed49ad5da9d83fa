#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "heap.h"
#include "websocketserver.h"

namespace {
int sigint_pipe[2] = { -1, -1 };

// Only an async-signal-safe write here; the event loop turns it into quit().
void on_sigint(int)
{
    const char byte = 1;
    if (::write(sigint_pipe[1], &byte, 1) < 0) {
        // The pipe is full: a quit request is already pending.
    }
}
} // namespace

int main(int argc, char *argv[])
{
    // Qt's own poll loop rather than glib's: glib rounds every timer up to the next whole
    // millisecond, which the 10 ms RS-232 poll would add to every byte, and each of the
    // poll's wake-ups (a hundred a second while bytes flow) costs less without it. Set here,
    // for this program only, before the application object picks its loop.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("MERROW applicaton"));
    QCommandLineOption watchdog_option(QStringLiteral("w"), QStringLiteral("watchdog"));
    parser.addOption(watchdog_option);
    parser.addHelpOption();
    parser.process(app);

    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sigint_pipe);
    QSocketNotifier sigint_notifier(sigint_pipe[0], QSocketNotifier::Read);
    QObject::connect(&sigint_notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, on_sigint);
    std::signal(SIGPIPE, SIG_IGN);

    WebSocketServer hub(8080, parser.isSet(watchdog_option), nullptr);

    // Memory taken by a flood of connections or data goes back to the system once it is
    // freed, so that the resident size of a unit that runs for years follows what it holds.
    QTimer heap_timer;
    QObject::connect(&heap_timer, &QTimer::timeout, heap_release_free);
    heap_timer.start(5000);
    return app.exec();
}
