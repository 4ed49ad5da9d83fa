// The hub's side of its persistent settings: the members are the truth while the program
// runs; the file only seeds them at start and is rewritten, and synced, after every change.
// A save that would leave the file as it is writes nothing: a stream of output commands,
// which are not settings, must not cost one synced file write each.
#include "websocketserver.h"

#include "settings.h"

void WebSocketServer::config_load()
{
    const HubSettings s = settings_load();
    stored_settings = settings_stored();
    dst_ip = s.dst_ip;
    system_mode = s.system_mode;
    // So that the following update_mode() does not take the loaded mode for a change.
    system_mode_new = system_mode;
    baudrate = s.baudrate;
    parity = s.parity;
    gpi_names = s.gpi_names;
    gpo_names = s.gpo_names;
    options = s.options;
}

// The settings as they stand; the mode is the active one.
HubSettings WebSocketServer::current_settings() const
{
    HubSettings s;
    s.dst_ip = dst_ip;
    s.system_mode = system_mode;
    s.baudrate = baudrate;
    s.parity = parity;
    s.gpi_names = gpi_names;
    s.gpo_names = gpo_names;
    s.options = options;
    return s;
}

void WebSocketServer::config_save()
{
    const HubSettings s = current_settings();
    system_mode_new = system_mode;
    settings_save_changed(s, stored_settings);
}
