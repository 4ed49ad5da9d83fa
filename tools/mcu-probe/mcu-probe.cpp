#include "mcu-probe.h"

#include <QDebug>

#include "tolvane-xmega.h"

namespace {
const int OUTPUTS = 8;
const int WALK_PERIOD_MS = 500;
} // namespace

// The three start-up commands are queued before the event loop runs, so they are the
// first frames on the line and in this order.
mcu_probe::mcu_probe(QString port_name)
{
    controller = new Tolvanexmega(port_name);
    controller->setParent(this);
    connect(controller, SIGNAL(msg_version(QString)), this, SLOT(msg_version(QString)));
    connect(controller, SIGNAL(msg_gpi(QList<int>)), this, SLOT(msg_gpi(QList<int>)));
    connect(&walk_timer, SIGNAL(timeout()), this, SLOT(timer_timeout()));
    walk_index = 0;
    controller->send_cmd_version_request();
    controller->send_cmd_gpi_request();
    controller->send_cmd_gpo(QList<int>() << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0);
    walk_timer.start(WALK_PERIOD_MS);
}

void mcu_probe::msg_version(QString version)
{
    qDebug() << "Recieved: cpu_cmd_version_t";
    qDebug() << "Version:" << version;
}

void mcu_probe::msg_gpi(QList<int> gpi)
{
    qDebug() << "Recieved: cpu_cmd_gpi_t";
    qDebug() << gpi;
}

// The tool does not wait for the controller: the transport paces the commands.
void mcu_probe::timer_timeout()
{
    QList<int> states;
    for (int k = 0; k < OUTPUTS; ++k)
        states.append(k == walk_index ? 1 : 0);
    controller->send_cmd_gpo(states);
    walk_index = (walk_index + 1) % OUTPUTS;
}
