#ifndef MCU_PROBE_H
#define MCU_PROBE_H

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class Tolvanexmega;

// Bench test of the I/O controller on its own: asks for its version and inputs, walks one
// output on at a time every half second and prints every report it sends.
class mcu_probe : public QObject
{
    Q_OBJECT
public:
    explicit mcu_probe(QString port_name = QStringLiteral("/dev/ttyS3"));

private slots:
    void msg_version(QString version);
    void msg_gpi(QList<int> gpi);
    void timer_timeout();

private:
    Tolvanexmega *controller = nullptr;
    QTimer walk_timer;
    int walk_index = 0;
};

#endif
