#include "gpi-client.h"

Gpi_client::Gpi_client(quint16 port) { Q_UNUSED(port); }
Gpi_client::~Gpi_client() = default;
void Gpi_client::enable(int on) { enabled = on; }
void Gpi_client::set_dst(QString d) { dst = d; }
int Gpi_client::status() { return 0; }
void Gpi_client::send_gpo(QList<int>) {}
void Gpi_client::send_serial(QByteArray) {}
