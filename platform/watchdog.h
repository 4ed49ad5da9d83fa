#ifndef WATCHDOG_H
#define WATCHDOG_H

#include <QObject>
#include <QString>
#include <QTimer>

extern const char *const WATCHDOG_FILE;

// Feeds the hardware watchdog once a second from the event loop, so a hung loop resets the board.
class Watchdog : public QObject
{
    Q_OBJECT
public:
    explicit Watchdog(int enable, QString path = QString::fromLatin1(WATCHDOG_FILE));
    ~Watchdog() override;

    // Disarms the watchdog (magic close) where the driver allows it.
    void stop();

private slots:
    void watchdog_kick();

private:
    QTimer kick_timer;
    int fd = -1;
};

#endif
