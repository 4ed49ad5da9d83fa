#include "settings.h"

#include <QSettings>

namespace {
const int kNames = 8;

QString default_name(const char *prefix, int n)
{
    return QStringLiteral("%1 %2").arg(QLatin1String(prefix)).arg(n + 1);
}

// The optional keys: read with their defaults, written only when they differ from them.
void load_optional(QSettings &store, HubOptions &s)
{
    const HubOptions d;
    s.failsafe_timeout = store.value(QStringLiteral("failsafe_timeout"), d.failsafe_timeout).toInt();
    if (store.contains(QStringLiteral("failsafe_gpo"))) {
        // Written as one text "0,1,0,..."; a hand-edited list without quotes reads as a list.
        const QStringList parts = store.value(QStringLiteral("failsafe_gpo")).toStringList()
                                      .join(QLatin1Char(',')).split(QLatin1Char(','));
        for (int n = 0; n < kNames; ++n)
            s.failsafe_gpo[n] = parts.value(n).trimmed().toInt();
    }
    for (const QString &entry : store.value(QStringLiteral("link_allow")).toStringList()) {
        if (!entry.trimmed().isEmpty())
            s.link_allow.append(entry.trimmed());
    }
    s.web_key = store.value(QStringLiteral("web_key"), d.web_key).toString();
    s.event_history = store.value(QStringLiteral("event_history"), d.event_history).toInt();
    s.rs232_immediate = store.value(QStringLiteral("rs232_immediate"), d.rs232_immediate).toInt();
}

template <typename T>
void save_optional(QSettings &store, const char *key, const T &value, const T &fallback,
                   const QVariant &stored)
{
    if (value == fallback)
        store.remove(QLatin1String(key));
    else
        store.setValue(QLatin1String(key), stored);
}

void save_optional(QSettings &store, const HubOptions &s)
{
    const HubOptions d;
    save_optional(store, "failsafe_timeout", s.failsafe_timeout, d.failsafe_timeout,
                  s.failsafe_timeout);
    QStringList pattern;
    for (int v : s.failsafe_gpo)
        pattern.append(QString::number(v));
    save_optional(store, "failsafe_gpo", s.failsafe_gpo, d.failsafe_gpo,
                  pattern.join(QLatin1Char(',')));
    save_optional(store, "link_allow", s.link_allow, d.link_allow, QStringList(s.link_allow));
    save_optional(store, "web_key", s.web_key, d.web_key, s.web_key);
    save_optional(store, "event_history", s.event_history, d.event_history, s.event_history);
    save_optional(store, "rs232_immediate", s.rs232_immediate, d.rs232_immediate,
                  s.rs232_immediate);
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
    load_optional(store, s.options);

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
    save_optional(store, s.options);

    store.beginGroup(QStringLiteral("gpio_names"));
    for (int n = 0; n < kNames; ++n)
        store.setValue(QStringLiteral("gpi_name_%1").arg(n), s.gpi_names.value(n));
    for (int n = 0; n < kNames; ++n)
        store.setValue(QStringLiteral("gpo_name_%1").arg(n), s.gpo_names.value(n));
    store.endGroup();
    store.sync();
}
