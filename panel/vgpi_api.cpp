#include "vgpi_api.h"

Vgpi_api::Vgpi_api(QObject *parent) : QObject(parent) {}

int Vgpi_api::vgpi_get_packet_size(QByteArray) { return 0; }
void Vgpi_api::vgpi_set_packet_size(QByteArray &, int) {}
int Vgpi_api::vgpi_get_packet_type(QByteArray) { return 0; }
void Vgpi_api::vgpi_set_packet_type(QByteArray &, int) {}
int Vgpi_api::vgpi_get_type_specific(QByteArray) { return 0; }
void Vgpi_api::vgpi_set_type_specific(QByteArray &, int) {}
void Vgpi_api::vgpi_set_packet_uint16(QByteArray &, int) {}
int Vgpi_api::vgpi_to_int16(QByteArray) { return 0; }
int Vgpi_api::vgpi_to_int32(QByteArray) { return 0; }
QByteArray Vgpi_api::vgpi_get_data(QByteArray, int &item_type) { item_type = 0; return {}; }
QByteArray Vgpi_api::vgpi_frame_get(int, int) { return {}; }
QByteArray Vgpi_api::vgpi_frame_get_answer(int, int) { return {}; }
QByteArray Vgpi_api::vgpi_frame_uint16(int, int) { return {}; }
void Vgpi_api::parse_frame(QByteArray) {}
