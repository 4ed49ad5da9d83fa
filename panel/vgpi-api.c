#include "vgpi-api.h"

const unsigned char vgpi_handshake[8] = { 'N', 'O', 'R', 'V', 0x00, 0x03, 0x00, 0x00 };
