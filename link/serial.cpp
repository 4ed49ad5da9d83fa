#include "serial.h"

SerialServer::SerialServer(QString port_name) { Q_UNUSED(port_name); }
void SerialServer::set_baud(int b) { baud = b; }
void SerialServer::set_parity(QSerialPort::Parity p) { parity = p; }
void SerialServer::send(QByteArray) {}
