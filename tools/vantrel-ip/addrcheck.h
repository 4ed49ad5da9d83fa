/* Plausibility of IPv4 settings a unit is asked to take. Addresses are 4 bytes in network
 * order (byte 0 is the first dotted number). Shared by vantrel-ip, which ignores requests a
 * unit could not be reached under, and vantrel-config, which refuses to send them. */
#ifndef ADDRCHECK_H
#define ADDRCHECK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when a host may carry the address: not 0.0.0.0, not the limited broadcast
 * 255.255.255.255, not multicast (224.0.0.0/4), not loopback (127.0.0.0/8). */
int address_assignable(const uint8_t address[4]);

/* 1 when the netmask is a run of one bits followed only by zero bits (0.0.0.0 and
 * 255.255.255.255 included). */
int netmask_contiguous(const uint8_t netmask[4]);

#ifdef __cplusplus
}
#endif

#endif
