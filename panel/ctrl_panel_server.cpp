#include "ctrl_panel_server.h"

Ctrl_panel_server::Ctrl_panel_server(int port) { Q_UNUSED(port); }
Ctrl_panel_server::~Ctrl_panel_server() = default;
void Ctrl_panel_server::send_data(int, int, int, int, int) {}
int Ctrl_panel_server::connection_status() { return 0; }
