#include "codec-7391.h"

int encode_7391(const char *message, int message_len, char *frame_buf)
{
    (void)message; (void)message_len; (void)frame_buf;
    return 0;
}

int decode_7391(const char *frame, char *message_buf, int frame_len)
{
    (void)frame; (void)message_buf; (void)frame_len;
    return 0;
}

int get_payload_len_7391(const char *frame)
{
    (void)frame;
    return 0;
}
