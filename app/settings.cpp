#include "settings.h"

#include <QSettings>

namespace {
const int kNames = 8;

QString default_name(const char *prefix, int n)
{
    return QStringLiteral("%1 %2").arg(QLatin1String(prefix)).arg(n + 1);
}
} // namespace

HubSettings settings_load()
{
    QSettings store(QStringLiteral("config"), QString());
    HubSettings s;
    s.dst_ip = store.value(QStringLiteral("dst_ip"), QString()).toString();
    s.system_mode = store.value(QStringLiteral("system_mode"), 2).toInt();
    s.baudrate = store.value(QStringLiteral("baudrate"), 0).toInt();
    s.parity = store.value(QStringLiteral("parity"), 0).toInt();

    store.beginGroup(QStringLiteral("gpio_names"));
    // Keys count from 0, the default names from 1.
    for (int n = 0; n < kNames; ++n)
        s.gpi_names.append(store.value(QStringLiteral("gpi_name_%1").arg(n),
                                       default_name("GPI", n)).toString());
    for (int n = 0; n < kNames; ++n)
        s.gpo_names.append(store.value(QStringLiteral("gpo_name_%1").arg(n),
                                       default_name("GPO", n)).toString());
    store.endGroup();
    return s;
}

void settings_save(const HubSettings &s)
{
    QSettings store(QStringLiteral("config"), QString());
    store.setValue(QStringLiteral("dst_ip"), s.dst_ip);
    store.setValue(QStringLiteral("system_mode"), s.system_mode);
    store.setValue(QStringLiteral("baudrate"), s.baudrate);
    store.setValue(QStringLiteral("parity"), s.parity);

    store.beginGroup(QStringLiteral("gpio_names"));
    for (int n = 0; n < kNames; ++n)
        store.setValue(QStringLiteral("gpi_name_%1").arg(n), s.gpi_names.value(n));
    for (int n = 0; n < kNames; ++n)
        store.setValue(QStringLiteral("gpo_name_%1").arg(n), s.gpo_names.value(n));
    store.endGroup();
    store.sync();
}
