/* The request handling of vantrel-ip, for the tests and fuzz targets: a received datagram
 * read as a request, and what the request asks of a unit with a given device record. */
#ifndef VANTREL_IP_REQUEST_H
#define VANTREL_IP_REQUEST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device record: MAC 6, address 4, gateway 4, netmask 4, destination 4. */
#define VANTREL_RECORD_LEN 22

enum { VANTREL_IGNORE, VANTREL_ANNOUNCE, VANTREL_SET_ADDRESS };

/* 1 and the request's record when the datagram is a request, else 0. */
int vantrel_read_request(const unsigned char *datagram, size_t len,
                         unsigned char request[VANTREL_RECORD_LEN]);
/* VANTREL_IGNORE, VANTREL_ANNOUNCE or VANTREL_SET_ADDRESS. */
int vantrel_request_action(const unsigned char request[VANTREL_RECORD_LEN],
                           const unsigned char own[VANTREL_RECORD_LEN]);

#ifdef __cplusplus
}
#endif

#endif
