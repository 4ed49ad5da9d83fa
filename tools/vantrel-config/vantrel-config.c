/* vantrel-config: the installer's side of the vantrel-ip protocol. Finds the units on
 * the local network by broadcast and sends an address-setting request to one of them. */
#define _DEFAULT_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "addrcheck.h"

#define UNIT_PORT 10000  /* units receive requests here */
#define REPLY_PORT 10001 /* units broadcast announcements and replies here */
#define CMD_DEVINST 2
#define RECORD_LEN 22
#define DATAGRAM_LEN (1 + RECORD_LEN)
#define MAX_UNITS 256

/* A device record as it travels: every address in network order, byte 0 first. */
typedef struct {
    uint8_t mac[6];
    uint8_t address[4];
    uint8_t gateway[4];
    uint8_t netmask[4];
    uint8_t destination[4];
} unit_t;

typedef struct {
    int wait_ms;
    struct in_addr target;
    int force; /* send a gateway outside the subnet all the same */
} options_t;

/* What is wrong with the settings of a set command, in the order they are checked. */
typedef enum {
    SETTINGS_OK,
    SETTINGS_USAGE,
    SETTINGS_BAD_MAC,
    SETTINGS_BAD_ADDRESS,
    SETTINGS_BAD_NETMASK,
    SETTINGS_BAD_GATEWAY,
    SETTINGS_BAD_DESTINATION,
    SETTINGS_SPLIT_NETMASK,
    SETTINGS_UNUSABLE_ADDRESS,
    SETTINGS_UNUSABLE_GATEWAY,
    SETTINGS_GATEWAY_OUTSIDE,
} settings_status_t;

static void usage(void)
{
    fprintf(stderr,
            "usage: vantrel-config [-t ms] [-b address] list\n"
            "       vantrel-config [-t ms] [-b address] [-f] set MAC ADDRESS [NETMASK [GATEWAY [DESTINATION]]]\n"
            "  -t ms       how long to collect replies (default 2000)\n"
            "  -b address  where requests go (default 255.255.255.255)\n"
            "  -f          send a gateway outside the address's subnet all the same\n");
}

static void encode(const unit_t *u, uint8_t out[DATAGRAM_LEN])
{
    out[0] = CMD_DEVINST;
    memcpy(out + 1, u->mac, 6);
    memcpy(out + 7, u->address, 4);
    memcpy(out + 11, u->gateway, 4);
    memcpy(out + 15, u->netmask, 4);
    memcpy(out + 19, u->destination, 4);
}

static void decode(const uint8_t in[DATAGRAM_LEN], unit_t *u)
{
    memcpy(u->mac, in + 1, 6);
    memcpy(u->address, in + 7, 4);
    memcpy(u->gateway, in + 11, 4);
    memcpy(u->netmask, in + 15, 4);
    memcpy(u->destination, in + 19, 4);
}

static int parse_mac(const char *text, uint8_t mac[6])
{
    unsigned v[6];
    int end = 0;
    if (sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x%n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &end) != 6
        || text[end] != '\0')
        return 0;
    for (int i = 0; i < 6; i++)
        mac[i] = (uint8_t)v[i];
    return 1;
}

static int parse_ip(const char *text, uint8_t ip[4])
{
    /* inet_pton writes network order, which is the record's byte order. */
    return inet_pton(AF_INET, text, ip) == 1;
}

static const char *ip_text(const uint8_t ip[4], char buf[16])
{
    snprintf(buf, 16, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

static const char *mac_text(const uint8_t mac[6], char buf[18])
{
    snprintf(buf, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

static int open_socket(void)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("socket");
        return -1;
    }
    int on = 1;
    struct sockaddr_in local = {.sin_family = AF_INET, .sin_port = htons(REPLY_PORT),
                                .sin_addr.s_addr = htonl(INADDR_ANY)};
    /* Replies are broadcasts, so another listener on this port does not take them away. */
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0
        || bind(sock, (struct sockaddr *)&local, sizeof local) != 0) {
        perror("vantrel-config: port 10001");
        close(sock);
        return -1;
    }
    return sock;
}

static int send_request(int sock, const options_t *opt, const unit_t *u)
{
    uint8_t datagram[DATAGRAM_LEN];
    encode(u, datagram);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(UNIT_PORT), .sin_addr = opt->target};
    if (sendto(sock, datagram, sizeof datagram, 0, (struct sockaddr *)&to, sizeof to) != DATAGRAM_LEN) {
        perror("sendto");
        return 0;
    }
    return 1;
}

static long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

/* Keeps the newest record per MAC; returns the number of units. */
static int store_unit(unit_t *units, int count, const unit_t *u)
{
    for (int i = 0; i < count; i++) {
        if (memcmp(units[i].mac, u->mac, 6) == 0) {
            units[i] = *u;
            return count;
        }
    }
    if (count == MAX_UNITS)
        return count;
    units[count] = *u;
    return count + 1;
}

/* Collects announcements and replies until the wait time is over. */
static int collect(int sock, int wait_ms, unit_t *units)
{
    int count = 0;
    const long deadline = now_ms() + wait_ms;
    for (long left = wait_ms; left > 0; left = deadline - now_ms()) {
        struct pollfd p = {.fd = sock, .events = POLLIN};
        if (poll(&p, 1, (int)left) <= 0)
            continue;
        uint8_t buf[64];
        ssize_t len = recv(sock, buf, sizeof buf, 0);
        /* Anything but a device record (a request of another installer, noise) is skipped. */
        if (len < DATAGRAM_LEN || len > 30 || buf[0] != CMD_DEVINST)
            continue;
        unit_t u;
        decode(buf, &u);
        static const uint8_t zero_mac[6];
        if (memcmp(u.mac, zero_mac, 6) != 0)
            count = store_unit(units, count, &u);
    }
    return count;
}

static int discover(int sock, const options_t *opt, unit_t *units)
{
    unit_t request;
    memset(&request, 0, sizeof request);
    if (!send_request(sock, opt, &request))
        return -1;
    return collect(sock, opt->wait_ms, units);
}

static void print_units(const unit_t *units, int count)
{
    printf("%-17s  %-15s  %-15s  %-15s  %s\n", "MAC", "address", "netmask", "gateway", "destination");
    for (int i = 0; i < count; i++) {
        char m[18], a[16], n[16], g[16], d[16];
        printf("%-17s  %-15s  %-15s  %-15s  %s\n", mac_text(units[i].mac, m), ip_text(units[i].address, a),
               ip_text(units[i].netmask, n), ip_text(units[i].gateway, g), ip_text(units[i].destination, d));
    }
}

static int cmd_list(int sock, const options_t *opt)
{
    static unit_t units[MAX_UNITS];
    int count = discover(sock, opt, units);
    if (count < 0)
        return 1;
    print_units(units, count);
    return 0;
}

/* Parses the set arguments; the unit applies the same defaults, done here to check them first. */
static settings_status_t parse_settings(int argc, char **argv, unit_t *req, int *has_destination)
{
    static const uint8_t default_mask[4] = {255, 255, 255, 0};
    memset(req, 0, sizeof *req);
    if (argc < 2 || argc > 5)
        return SETTINGS_USAGE;
    if (!parse_mac(argv[0], req->mac))
        return SETTINGS_BAD_MAC;
    if (!parse_ip(argv[1], req->address))
        return SETTINGS_BAD_ADDRESS;
    if (argc > 2 && !parse_ip(argv[2], req->netmask))
        return SETTINGS_BAD_NETMASK;
    if (argc > 3 && !parse_ip(argv[3], req->gateway))
        return SETTINGS_BAD_GATEWAY;
    if (argc > 4 && !parse_ip(argv[4], req->destination))
        return SETTINGS_BAD_DESTINATION;
    *has_destination = argc > 4;
    if (memcmp(req->netmask, (const uint8_t[4]){0}, 4) == 0)
        memcpy(req->netmask, default_mask, 4);
    if (memcmp(req->gateway, (const uint8_t[4]){0}, 4) == 0) {
        memcpy(req->gateway, req->address, 3);
        req->gateway[3] = 1;
    }
    return SETTINGS_OK;
}

static int gateway_in_subnet(const unit_t *u)
{
    for (int i = 0; i < 4; i++)
        if ((u->address[i] ^ u->gateway[i]) & u->netmask[i])
            return 0;
    return 1;
}

/* The subnet's own broadcast address: every host bit set, in a subnet with room for hosts
 * (two host bits or more: /31 and /32 have no broadcast address). The netmask is contiguous. */
static int is_subnet_broadcast(const uint8_t address[4], const uint8_t netmask[4])
{
    for (int i = 0; i < 4; i++)
        if ((address[i] | netmask[i]) != 0xff)
            return 0;
    return (netmask[3] & 0x02) == 0;
}

static int host_address(const uint8_t address[4], const uint8_t netmask[4])
{
    return address_assignable(address) && !is_subnet_broadcast(address, netmask);
}

/* Settings that would leave the unit unreachable are refused before anything is sent. */
static settings_status_t check_settings(const unit_t *req, int force)
{
    if (!netmask_contiguous(req->netmask))
        return SETTINGS_SPLIT_NETMASK;
    if (!host_address(req->address, req->netmask))
        return SETTINGS_UNUSABLE_ADDRESS;
    if (!host_address(req->gateway, req->netmask))
        return SETTINGS_UNUSABLE_GATEWAY;
    if (!force && !gateway_in_subnet(req))
        return SETTINGS_GATEWAY_OUTSIDE;
    return SETTINGS_OK;
}

static void report_settings(settings_status_t status, int argc, char **argv, const unit_t *req)
{
    char a[16], m[16], g[16];
    const char *what = NULL;
    int arg = 0;
    switch (status) {
    case SETTINGS_OK:
        return;
    case SETTINGS_USAGE:
        usage();
        return;
    case SETTINGS_BAD_MAC:
        fprintf(stderr, "vantrel-config: bad MAC %s (six hexadecimal bytes, e.g. 00:11:22:33:44:55)\n",
                argv[0]);
        return;
    case SETTINGS_BAD_ADDRESS:
        what = "address";
        arg = 1;
        break;
    case SETTINGS_BAD_NETMASK:
        what = "netmask";
        arg = 2;
        break;
    case SETTINGS_BAD_GATEWAY:
        what = "gateway";
        arg = 3;
        break;
    case SETTINGS_BAD_DESTINATION:
        what = "destination";
        arg = 4;
        break;
    case SETTINGS_SPLIT_NETMASK:
        fprintf(stderr, "vantrel-config: netmask %s is not contiguous\n", ip_text(req->netmask, m));
        return;
    case SETTINGS_UNUSABLE_ADDRESS:
        fprintf(stderr, "vantrel-config: %s cannot be a unit's address with netmask %s "
                "(0.0.0.0, broadcast, multicast or loopback)\n",
                ip_text(req->address, a), ip_text(req->netmask, m));
        return;
    case SETTINGS_UNUSABLE_GATEWAY:
        fprintf(stderr, "vantrel-config: %s cannot be a gateway with netmask %s "
                "(0.0.0.0, broadcast, multicast or loopback)\n",
                ip_text(req->gateway, g), ip_text(req->netmask, m));
        return;
    case SETTINGS_GATEWAY_OUTSIDE:
        fprintf(stderr, "vantrel-config: gateway %s is outside the subnet; the unit would ignore it "
                "(-f sends it all the same)\n", ip_text(req->gateway, g));
        return;
    }
    if (arg < argc)
        fprintf(stderr, "vantrel-config: bad %s %s\n", what, argv[arg]);
}

static const unit_t *find_unit(const unit_t *units, int count, const uint8_t mac[6])
{
    for (int i = 0; i < count; i++)
        if (memcmp(units[i].mac, mac, 6) == 0)
            return &units[i];
    return NULL;
}

static int cmd_set(int sock, const options_t *opt, int argc, char **argv)
{
    unit_t req;
    int has_destination = 0;
    settings_status_t status = parse_settings(argc, argv, &req, &has_destination);
    if (status == SETTINGS_OK)
        status = check_settings(&req, opt->force);
    if (status != SETTINGS_OK) {
        report_settings(status, argc, argv, &req);
        return 2;
    }
    char text[18];
    static unit_t units[MAX_UNITS];
    const int count = discover(sock, opt, units);
    const unit_t *unit = count > 0 ? find_unit(units, count, req.mac) : NULL;
    if (!unit) {
        fprintf(stderr, "vantrel-config: no unit with MAC %s answered\n", mac_text(req.mac, text));
        return 1;
    }
    /* The destination is always written, so an omitted one keeps the unit's current value. */
    if (!has_destination)
        memcpy(req.destination, unit->destination, 4);
    if (!send_request(sock, opt, &req))
        return 1;
    print_units(&req, 1);
    printf("address-setting request sent to %s\n", mac_text(req.mac, text));
    return 0;
}

static int parse_options(int argc, char **argv, options_t *opt)
{
    int c;
    while ((c = getopt(argc, argv, "t:b:f")) != -1) {
        char *end;
        long ms = c == 't' ? strtol(optarg, &end, 10) : -1;
        if (c == 't' && *end == '\0' && ms >= 0 && ms <= 600000)
            opt->wait_ms = (int)ms;
        else if (c == 'f')
            opt->force = 1;
        else if (c != 'b' || inet_pton(AF_INET, optarg, &opt->target) != 1)
            return 0;
    }
    return optind < argc && (strcmp(argv[optind], "list") == 0 || strcmp(argv[optind], "set") == 0);
}

int main(int argc, char *argv[])
{
    options_t opt = {.wait_ms = 2000, .target.s_addr = htonl(INADDR_BROADCAST), .force = 0};
    if (!parse_options(argc, argv, &opt)) {
        usage();
        return 2;
    }
    const int sock = open_socket();
    if (sock < 0)
        return 1;
    const int rc = strcmp(argv[optind], "list") == 0 ? cmd_list(sock, &opt)
                                                     : cmd_set(sock, &opt, argc - optind - 1, argv + optind + 1);
    close(sock);
    return rc;
}
