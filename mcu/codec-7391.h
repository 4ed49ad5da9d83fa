/* Frame codec of the I/O controller's serial line: 05 05, 14-bit length, stuffed payload,
 * 14-bit additive check value, 06 06. */
#ifndef CODEC_7391_H
#define CODEC_7391_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the frame for message[0..message_len) into frame_buf (room for 2 * message_len + 8
 * bytes) and returns its length. */
int encode_7391(const char *message, int message_len, char *frame_buf);

/* Checks and unstuffs one complete frame of frame_len bytes into message_buf (room for
 * frame_len - 8 bytes); returns the message length, 0 for a bad check or an empty payload. */
int decode_7391(const char *frame, char *message_buf, int frame_len);

/* The length field of a frame (offsets 2 and 3). */
int get_payload_len_7391(const char *frame);

#ifdef __cplusplus
}
#endif

#endif
