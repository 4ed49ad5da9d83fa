/* The program's own file-local request functions, reached by including the program's source
 * with its entry renamed; the program itself is built from vantrel-ip.c alone. */
#include "vantrel-ip-request.h"

#define main vantrel_ip_main
#include "vantrel-ip.c"

_Static_assert(VANTREL_RECORD_LEN == RECORD_LEN, "device record length");
_Static_assert((int)VANTREL_IGNORE == (int)REQUEST_IGNORE
                   && (int)VANTREL_ANNOUNCE == (int)REQUEST_ANNOUNCE
                   && (int)VANTREL_SET_ADDRESS == (int)REQUEST_SET_ADDRESS,
               "request actions");

int vantrel_read_request(const unsigned char *datagram, size_t len,
                         unsigned char request[VANTREL_RECORD_LEN])
{
    return read_request(datagram, len, request);
}

int vantrel_request_action(const unsigned char request[VANTREL_RECORD_LEN],
                           const unsigned char own[VANTREL_RECORD_LEN])
{
    return (int)request_action(request, own);
}
