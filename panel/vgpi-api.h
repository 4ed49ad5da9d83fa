/* VGPI codec: frame header, typed items and raw big-endian values on caller buffers.
 * No function checks a length: the caller supplies the bytes read and the room written.
 * Buffers returned by the two item readers belong to the caller, who releases them with free(). */
#ifndef VGPI_API_H
#define VGPI_API_H

#ifdef __cplusplus
extern "C" {
#endif

/* Link handshake: "NORV" 00 03 00 00. */
extern const unsigned char vgpi_handshake[8];

/* Item type bytes. */
#define VGPI_ITEM_UINT16 1
#define VGPI_ITEM_INT32 2
#define VGPI_ITEM_STRING 3
#define VGPI_ITEM_SEQUENCE 4

/* Untagged values. The uint8 reader sign-extends (0xFF reads as -1); the uint16 reader
 * gives 0..65535; writers keep the low bits of the value. */
int vgpi_read_uint8_raw(const unsigned char *buf);
void vgpi_write_uint8_raw(unsigned char *buf, int value);
int vgpi_read_uint16_raw(const unsigned char *buf);
void vgpi_write_uint16_raw(unsigned char *buf, int value);
int vgpi_read_int32_raw(const unsigned char *buf);
void vgpi_write_int32_raw(unsigned char *buf, int value);

/* Items. Readers do not check the item type byte; writers return the item length. */
int vgpi_read_uint16(const unsigned char *item);
int vgpi_write_uint16(unsigned char *item, int value);
int vgpi_read_int32(const unsigned char *item);
int vgpi_write_int32(unsigned char *item, int value);
char *vgpi_read_string(const unsigned char *item);
int vgpi_write_string(unsigned char *item, const char *text);
int vgpi_read_binary(const unsigned char *item, unsigned char **out_data);
int vgpi_write_binary(unsigned char *item, const unsigned char *data, int n);
void vgpi_write_sequence_hdr(unsigned char *item, int value);

int vgpi_check_handshake(const unsigned char *buf);

/* Frame header. The packet type reads as a signed 8-bit value (0x80 reads as -128). */
unsigned int vgpi_get_packet_size(const unsigned char *frame);
void vgpi_set_packet_size(unsigned char *frame, unsigned int size);
int vgpi_get_packet_type(const unsigned char *frame);
void vgpi_set_packet_type(unsigned char *frame, int type);
int vgpi_get_type_specific(const unsigned char *frame);
void vgpi_set_type_specific(unsigned char *frame, int value);

/* Item type byte 0..255, and the total length of the item. An unknown item type counts
 * as one byte, so a reader walking items always moves on. */
int vgpi_get_type(const unsigned char *item);
int vgpi_get_len(const unsigned char *item);

#ifdef __cplusplus
}
#endif

#endif
