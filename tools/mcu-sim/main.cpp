#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "mcu-sim.h"
#include "sim-console.h"

namespace {
[[noreturn]] void fail(const char *what)
{
    std::perror(what);
    std::exit(1);
}

// The controller's line runs raw at 115200 baud; on a pty the speed is only recorded.
void make_raw(int fd)
{
    termios tio {};
    if (::tcgetattr(fd, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(fd, TCSANOW, &tio);
}

// A new pseudo-terminal: its slave is the device the program under test opens. The
// slave stays open here too, so the master never reads as hung up between users.
int open_own_pty()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        fail("mcu-sim: pseudo-terminal");
    const char *slave_path = ::ptsname(master);
    const int slave = ::open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        fail(slave_path);
    make_raw(slave);
    std::printf("%s\n", slave_path);
    std::fflush(stdout);
    return master;
}

int open_device(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail(path.toLocal8Bit().constData());
    make_raw(fd);
    return fd;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("I/O controller simulator"));
    parser.addHelpOption();
    const QCommandLineOption fd_option(QStringLiteral("fd"),
        QStringLiteral("Serve the line on an inherited pty master."), QStringLiteral("N"));
    const QCommandLineOption version_option(QStringLiteral("version"),
        QStringLiteral("Version text reported to the device."), QStringLiteral("TEXT"),
        QStringLiteral("1.2"));
    parser.addOption(fd_option);
    parser.addOption(version_option);
    parser.addPositionalArgument(QStringLiteral("DEVICE"),
        QStringLiteral("Serial device to serve instead of a new pseudo-terminal."));
    parser.process(app);

    int fd;
    if (parser.isSet(fd_option))
        fd = parser.value(fd_option).toInt();
    else if (!parser.positionalArguments().isEmpty())
        fd = open_device(parser.positionalArguments().first());
    else
        fd = open_own_pty();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    mcu_sim sim(fd, parser.value(version_option));
    sim_console console(&sim);
    return app.exec();
}
