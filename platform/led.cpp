#include "led.h"

#include <QFile>

void led_set(QString name, int value, QString root)
{
    QFile file(root + name + QStringLiteral("/brightness"));
    if (!file.open(QIODevice::ReadWrite | QIODevice::Text))
        return;
    file.write(QStringLiteral("%1\n").arg(value).toLatin1());
    file.close();
}
