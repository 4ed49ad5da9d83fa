#ifndef SETTINGS_H
#define SETTINGS_H

#include <QList>
#include <QString>

// Features beyond the unit's basic behaviour, all off by default. A key is in the file only
// while its value differs from the default, so a unit that uses none of them keeps exactly
// the twenty basic keys.
struct HubOptions
{
    int failsafe_timeout = 0; // seconds of link loss before the safe outputs; 0 = off
    QList<int> failsafe_gpo = QList<int>() << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0;
    QList<QString> link_allow; // IPv4 addresses or CIDR ranges; empty = anyone
    QString web_key; // empty = the web interface is open
    int event_history = 0; // 1 = keep the last changes in memory for the web
    int rs232_immediate = 0; // 1 = RS-232 bytes go to the link as soon as they arrive

    bool operator==(const HubOptions &o) const
    {
        return failsafe_timeout == o.failsafe_timeout && failsafe_gpo == o.failsafe_gpo
            && link_allow == o.link_allow && web_key == o.web_key
            && event_history == o.event_history && rs232_immediate == o.rs232_immediate;
    }
};

// The hub's persistent settings, as stored in QSettings "config" (config.conf in the
// user's configuration directory). Input and output states are never stored.
struct HubSettings
{
    QString dst_ip;
    int system_mode = 2;
    int baudrate = 0;
    int parity = 0;
    QList<QString> gpi_names;
    QList<QString> gpo_names;

    HubOptions options;
};

// Missing keys give their defaults; a value that is not a number reads as 0.
HubSettings settings_load();
// Writes all twenty keys, whatever changed, and syncs the file.
void settings_save(const HubSettings &settings);

#endif
