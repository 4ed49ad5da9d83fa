#include <QCoreApplication>
#include <QDebug>

#include "mcu-probe.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    mcu_probe probe;
    qDebug() << "Mcu probe application";
    return app.exec();
}
