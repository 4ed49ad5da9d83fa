#include "snmp_agent.h"

Snmp_Agent::Snmp_Agent(QObject *parent, QString socket_path) : QObject(parent) { Q_UNUSED(socket_path); }
Snmp_Agent::~Snmp_Agent() = default;
void Snmp_Agent::set_device_ID(int) {}
void Snmp_Agent::set_mib_element_int32(QString, int) {}
void Snmp_Agent::set_mib_element_int(QString, int) {}
void Snmp_Agent::set_mib_element_str(QString, QString) {}
