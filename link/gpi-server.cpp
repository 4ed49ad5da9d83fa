#include "gpi-server.h"

#include <QTcpServer>

Gpi_server::Gpi_server(quint16 port) { Q_UNUSED(port); }
Gpi_server::~Gpi_server() = default;
void Gpi_server::enable(int on) { enabled = on; }
int Gpi_server::status() { return 0; }
void Gpi_server::send_gpi(QList<int>) {}
void Gpi_server::send_serial(QByteArray) {}
