#include "codec-7391.h"

#include <stdio.h>

#define CODEC_MARKER_START 0x05
#define CODEC_MARKER_END 0x06
#define CODEC_ESCAPE 0x04
#define CODEC_FIELD_MASK 0x3FFF

/* A 14-bit field travels as two 7-bit groups, low group first, each with bit 7 set so it
 * can never be mistaken for a marker or the escape byte. */
static void put_field(unsigned char *out, unsigned value)
{
    out[0] = (unsigned char)(0x80 | (value & 0x7F));
    out[1] = (unsigned char)(0x80 | ((value >> 7) & 0x7F));
}

static int needs_escape(unsigned char b)
{
    return b >= 0x04 && b <= 0x0B;
}

int encode_7391(const char *message, int message_len, char *frame_buf)
{
    unsigned char *out = (unsigned char *)frame_buf;
    const unsigned char *in = (const unsigned char *)message;
    unsigned sum;
    int pos = 4;
    int k;

    if (message_len < 0)
        message_len = 0;
    out[0] = CODEC_MARKER_START;
    out[1] = CODEC_MARKER_START;
    put_field(out + 2, (unsigned)message_len);
    sum = (unsigned)out[2] + out[3];
    for (k = 0; k < message_len; ++k) {
        if (needs_escape(in[k])) {
            out[pos++] = CODEC_ESCAPE;
            out[pos++] = (unsigned char)(in[k] + 8);
            sum += CODEC_ESCAPE + in[k] + 8u;
        } else {
            out[pos++] = in[k];
            sum += in[k];
        }
    }
    put_field(out + pos, (0u - sum) & CODEC_FIELD_MASK);
    pos += 2;
    out[pos++] = CODEC_MARKER_END;
    out[pos++] = CODEC_MARKER_END;
    return pos;
}

int decode_7391(const char *frame, char *message_buf, int frame_len)
{
    const unsigned char *in = (const unsigned char *)frame;
    unsigned char expected[2];
    unsigned sum = 0;
    int escaped = 0;
    int produced = 0;
    int k;

    if (frame_len < 4)
        return 0;
    for (k = 2; k <= frame_len - 5; ++k)
        sum += in[k];
    put_field(expected, (0u - sum) & CODEC_FIELD_MASK);
    if (in[frame_len - 4] != expected[0] || in[frame_len - 3] != expected[1]) {
        puts("crc error");
        fflush(stdout);
        return 0;
    }
    if (frame_len <= 8)
        return 0;
    /* The decoder trusts the markers found by the transport and unstuffs whatever lies
     * between them; a lone escape at the end produces nothing. */
    for (k = 4; k <= frame_len - 5; ++k) {
        if (in[k] == CODEC_ESCAPE) {
            escaped = 1;
            continue;
        }
        message_buf[produced++] = (char)(escaped ? (unsigned char)(in[k] - 8) : in[k]);
        escaped = 0;
    }
    return produced;
}

int get_payload_len_7391(const char *frame)
{
    const unsigned char *in = (const unsigned char *)frame;
    return ((in[3] & 0x7F) << 7) | (in[2] & 0x7F);
}
