#ifndef SETTINGS_H
#define SETTINGS_H

#include <QList>
#include <QString>

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
};

// Missing keys give their defaults; a value that is not a number reads as 0.
HubSettings settings_load();
// Writes all twenty keys, whatever changed, and syncs the file.
void settings_save(const HubSettings &settings);

#endif
