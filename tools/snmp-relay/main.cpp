// snmp-relay: net-snmp's pass_persist handler for the unit's enterprise subtree.
// snmpd starts it, talks pass_persist on stdin/stdout; the device program connects to
// "/tmp/sock.unix" and answers the requests.
#include "snmp_relay.h"

#include <QCoreApplication>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool stderr_usable()
{
    struct stat err, out;
    if (fstat(STDERR_FILENO, &err) != 0)
        return false;
    return fstat(STDOUT_FILENO, &out) != 0 || err.st_dev != out.st_dev || err.st_ino != out.st_ino;
}

void quiet_stderr()
{
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0 && null_fd != STDERR_FILENO) {
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // snmpd hands its handlers standard error on the same pipe as standard output, where a
    // log line would be read as a reply; closed, fd 2 would be taken by the next descriptor.
    if (!stderr_usable())
        quiet_stderr();
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Snmp_Relay relay;
    QObject::connect(&relay, &Snmp_Relay::finished, &app, &QCoreApplication::quit);
    return app.exec();
}
