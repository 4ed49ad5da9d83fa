#include "watchdog.h"

#include <QDebug>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

const char *const WATCHDOG_FILE = "/dev/watchdog";

Watchdog::Watchdog(int enable, QString path)
{
    if (!enable)
        return;
    // O_CLOEXEC: a child must never inherit (and so keep armed) the watchdog.
    fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    connect(&kick_timer, &QTimer::timeout, this, &Watchdog::watchdog_kick);
    kick_timer.start(1000);
    qDebug() << "Watchdog enabled";
}

Watchdog::~Watchdog()
{
    stop();
}

void Watchdog::watchdog_kick()
{
    if (fd < 0)
        return;
    const char zero = 0;
    if (::write(fd, &zero, 1) < 0) {
        // A missed feed is retried on the next tick; the driver's time-out covers it.
    }
}

void Watchdog::stop()
{
    if (fd < 0)
        return;
    kick_timer.stop();
    const char magic = 'V';
    if (::write(fd, &magic, 1) < 0) {
        // Nothing more can be done: the driver stays armed and resets the board.
    }
    ::close(fd);
    fd = -1;
}
