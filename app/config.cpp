// The hub's side of its persistent settings: the members are the truth while the program
// runs; the file only seeds them at start and is rewritten after every change.
#include "websocketserver.h"

#include "settings.h"

void WebSocketServer::config_load()
{
    const HubSettings s = settings_load();
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

void WebSocketServer::config_save()
{
    HubSettings s;
    s.dst_ip = dst_ip;
    s.system_mode = system_mode;
    s.baudrate = baudrate;
    s.parity = parity;
    s.gpi_names = gpi_names;
    s.gpo_names = gpo_names;
    s.options = options;
    system_mode_new = system_mode;
    settings_save(s);
}
