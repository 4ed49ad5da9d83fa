// Persistent settings of the hub: QSettings "config" (config.conf in the user's configuration
// directory). Loaded once at construction; every save writes all twenty keys and syncs.
#include "websocketserver.h"

#include <QSettings>

namespace {
const int kNames = 8;
}

void WebSocketServer::config_load()
{
    QSettings settings(QStringLiteral("config"), QString());
    dst_ip = settings.value(QStringLiteral("dst_ip"), QString()).toString();
    // A non-numeric text reads as 0, which selects client mode.
    system_mode = settings.value(QStringLiteral("system_mode"), 2).toInt();
    system_mode_new = system_mode;
    baudrate = settings.value(QStringLiteral("baudrate"), 0).toInt();
    parity = settings.value(QStringLiteral("parity"), 0).toInt();

    settings.beginGroup(QStringLiteral("gpio_names"));
    // Keys count from 0, the default names from 1.
    for (int n = 0; n < kNames; ++n)
        gpi_names[n] = settings.value(QStringLiteral("gpi_name_%1").arg(n),
                                      QStringLiteral("GPI %1").arg(n + 1)).toString();
    for (int n = 0; n < kNames; ++n)
        gpo_names[n] = settings.value(QStringLiteral("gpo_name_%1").arg(n),
                                      QStringLiteral("GPO %1").arg(n + 1)).toString();
    settings.endGroup();
}

void WebSocketServer::config_save()
{
    QSettings settings(QStringLiteral("config"), QString());
    settings.setValue(QStringLiteral("dst_ip"), dst_ip);
    settings.setValue(QStringLiteral("system_mode"), system_mode);
    system_mode_new = system_mode;
    settings.setValue(QStringLiteral("baudrate"), baudrate);
    settings.setValue(QStringLiteral("parity"), parity);

    settings.beginGroup(QStringLiteral("gpio_names"));
    for (int n = 0; n < kNames; ++n)
        settings.setValue(QStringLiteral("gpi_name_%1").arg(n), gpi_names[n]);
    for (int n = 0; n < kNames; ++n)
        settings.setValue(QStringLiteral("gpo_name_%1").arg(n), gpo_names[n]);
    settings.endGroup();
    settings.sync();
}
