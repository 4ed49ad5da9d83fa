#include "addrcheck.h"

static uint32_t host_order(const uint8_t a[4])
{
    return (uint32_t)a[0] << 24 | (uint32_t)a[1] << 16 | (uint32_t)a[2] << 8 | a[3];
}

int address_assignable(const uint8_t address[4])
{
    const uint32_t a = host_order(address);
    return a != 0 && a != 0xffffffffu && (a >> 28) != 0xe && (a >> 24) != 127;
}

int netmask_contiguous(const uint8_t netmask[4])
{
    /* The host part of a contiguous mask is 2^n - 1, so adding one leaves a single bit. */
    const uint32_t host_part = ~host_order(netmask);
    return (host_part & (host_part + 1)) == 0;
}
