// snmp-relay: net-snmp's pass_persist handler for the unit's enterprise subtree.
// snmpd starts it, talks pass_persist on stdin/stdout; the device program connects to
// "/tmp/sock.unix" and answers the requests.
#include "snmp_relay.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Snmp_Relay relay;
    QObject::connect(&relay, &Snmp_Relay::finished, &app, &QCoreApplication::quit);
    return app.exec();
}
