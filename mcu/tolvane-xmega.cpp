#include "tolvane-xmega.h"

Tolvanexmega::Tolvanexmega(QString port_name) : Cpu7391(port_name) {}

void Tolvanexmega::send_cmd_version_request() {}
void Tolvanexmega::send_cmd_gpi_request() {}
void Tolvanexmega::send_cmd_gpo(QList<int> states) { Q_UNUSED(states); }
void Tolvanexmega::process_msg(QByteArray message) { Q_UNUSED(message); }
