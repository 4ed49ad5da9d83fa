/* A failed allocation of a received item must stop the program in every build type,
 * so the assertions stay even where the build defines NDEBUG. */
#undef NDEBUG
#include "vgpi-api.h"

#include <assert.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

const unsigned char vgpi_handshake[8] = { 'N', 'O', 'R', 'V', 0x00, 0x03, 0x00, 0x00 };

int vgpi_read_uint8_raw(const unsigned char *buf)
{
    return (int8_t)buf[0];
}

void vgpi_write_uint8_raw(unsigned char *buf, int value)
{
    buf[0] = (unsigned char)((unsigned int)value & 0xFFu);
}

int vgpi_read_uint16_raw(const unsigned char *buf)
{
    return (buf[0] << 8) | buf[1];
}

void vgpi_write_uint16_raw(unsigned char *buf, int value)
{
    const unsigned int v = (unsigned int)value;
    buf[0] = (unsigned char)((v >> 8) & 0xFFu);
    buf[1] = (unsigned char)(v & 0xFFu);
}

int vgpi_read_int32_raw(const unsigned char *buf)
{
    const uint32_t v = ((uint32_t)buf[0] << 24) | ((uint32_t)buf[1] << 16)
            | ((uint32_t)buf[2] << 8) | (uint32_t)buf[3];
    return (int32_t)v;
}

static void write_u32(unsigned char *buf, uint32_t v)
{
    buf[0] = (unsigned char)(v >> 24);
    buf[1] = (unsigned char)(v >> 16);
    buf[2] = (unsigned char)(v >> 8);
    buf[3] = (unsigned char)v;
}

void vgpi_write_int32_raw(unsigned char *buf, int value)
{
    write_u32(buf, (uint32_t)value);
}

int vgpi_read_uint16(const unsigned char *item)
{
    return vgpi_read_uint16_raw(item + 1);
}

int vgpi_write_uint16(unsigned char *item, int value)
{
    item[0] = VGPI_ITEM_UINT16;
    vgpi_write_uint16_raw(item + 1, value);
    return 3;
}

int vgpi_read_int32(const unsigned char *item)
{
    return vgpi_read_int32_raw(item + 1);
}

int vgpi_write_int32(unsigned char *item, int value)
{
    item[0] = VGPI_ITEM_INT32;
    vgpi_write_int32_raw(item + 1, value);
    return 5;
}

char *vgpi_read_string(const unsigned char *item)
{
    const int n = vgpi_read_uint16_raw(item + 1);
    char *ret = malloc((size_t)n + 1);
    assert(ret);
    memcpy(ret, item + 3, (size_t)n);
    ret[n] = '\0';
    return ret;
}

int vgpi_write_string(unsigned char *item, const char *text)
{
    const int n = (int)strlen(text);
    item[0] = VGPI_ITEM_STRING;
    vgpi_write_uint16_raw(item + 1, n);
    memcpy(item + 3, text, (size_t)n);
    return n + 3;
}

int vgpi_read_binary(const unsigned char *item, unsigned char **out_data)
{
    const int n = vgpi_read_uint16_raw(item + 1);
    /* At least one byte, so that an empty item never looks like a failed allocation. */
    *out_data = malloc(n > 0 ? (size_t)n : 1u);
    assert(*out_data);
    memcpy(*out_data, item + 3, (size_t)n);
    return n;
}

int vgpi_write_binary(unsigned char *item, const unsigned char *data, int n)
{
    item[0] = VGPI_ITEM_STRING;
    vgpi_write_uint16_raw(item + 1, n);
    if (n > 0)
        memcpy(item + 3, data, (size_t)n);
    return n + 3;
}

void vgpi_write_sequence_hdr(unsigned char *item, int value)
{
    item[0] = VGPI_ITEM_SEQUENCE;
    vgpi_write_uint16_raw(item + 1, value);
}

int vgpi_check_handshake(const unsigned char *buf)
{
    return memcmp(buf, vgpi_handshake, sizeof vgpi_handshake) == 0 ? 1 : 0;
}

unsigned int vgpi_get_packet_size(const unsigned char *frame)
{
    return (unsigned int)vgpi_read_int32_raw(frame);
}

void vgpi_set_packet_size(unsigned char *frame, unsigned int size)
{
    write_u32(frame, size);
}

int vgpi_get_packet_type(const unsigned char *frame)
{
    return vgpi_read_uint8_raw(frame + 5);
}

void vgpi_set_packet_type(unsigned char *frame, int type)
{
    vgpi_write_uint8_raw(frame + 5, type);
}

int vgpi_get_type_specific(const unsigned char *frame)
{
    return vgpi_read_uint16_raw(frame + 6);
}

void vgpi_set_type_specific(unsigned char *frame, int value)
{
    vgpi_write_uint16_raw(frame + 6, value);
}

int vgpi_get_type(const unsigned char *item)
{
    return item[0];
}

int vgpi_get_len(const unsigned char *item)
{
    switch (item[0]) {
    case VGPI_ITEM_UINT16:
        return 3;
    case VGPI_ITEM_INT32:
        return 5;
    case VGPI_ITEM_STRING:
    case VGPI_ITEM_SEQUENCE:
        return 3 + vgpi_read_uint16_raw(item + 1);
    default:
        return 1;
    }
}
