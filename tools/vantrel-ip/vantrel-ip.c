/* vantrel-ip: announces the unit by UDP broadcast, answers discovery requests and
 * rewrites the static IPv4 configuration of eth0 on request. */
#define _DEFAULT_SOURCE
#include "addrcheck.h"
#include "netconf.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define RECEIVE_PORT 10000
#define SEND_PORT 10001
#define CMD_DEVINST 2
#define RECORD_LEN 22
#define DATAGRAM_LEN (1 + RECORD_LEN)
#define MAX_REQUEST_LEN 30

/* Device record layout; all addresses in network order. */
#define REC_MAC 0
#define REC_ADDRESS 6
#define REC_GATEWAY 10
#define REC_NETMASK 14
#define REC_DESTINATION 18

int dflg = 0;

void pmesg(int level, const char *format, ...)
{
    if (dflg < level)
        return;
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
}

void dump(const unsigned char *data, int count)
{
    if (dflg <= 2)
        return;
    for (int i = 0; i < count; i++) {
        printf("%02x ", data[i]);
        if (i % 16 == 15)
            printf("\n");
    }
    printf("\n");
    fflush(stdout);
}

int open_udp_socket(void)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("socket");
        return 0;
    }
    /* 0 means failure to the caller, so a socket that lands on a closed stdin moves up. */
    if (sock == 0) {
        int moved = fcntl(sock, F_DUPFD, 1);
        close(sock);
        if (moved < 0) {
            perror("socket");
            return 0;
        }
        sock = moved;
    }
    int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        perror("setsockopt");
        close(sock);
        return 0;
    }
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(RECEIVE_PORT);
    if (bind(sock, (struct sockaddr *)&local, sizeof local) != 0) {
        perror("bind");
        close(sock);
        return 0;
    }
    return sock;
}

int socket_send(int sock, const struct sockaddr_in *to, const unsigned char *data, int len)
{
    struct sockaddr_in broadcast;
    if (!to) {
        memset(&broadcast, 0, sizeof broadcast);
        broadcast.sin_family = AF_INET;
        broadcast.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        broadcast.sin_port = htons(SEND_PORT);
        to = &broadcast;
    }
    ssize_t sent = sendto(sock, data, (size_t)len, 0, (const struct sockaddr *)to, sizeof *to);
    if (sent < 0) {
        perror("sendto");
        return 0;
    }
    return (int)sent;
}

static void build_record(unsigned char record[RECORD_LEN])
{
    memset(record, 0, RECORD_LEN);
    get_ip(record + REC_ADDRESS, record + REC_MAC);
    read_config(record + REC_NETMASK, record + REC_GATEWAY, record + REC_DESTINATION);
}

static void broadcast_record(int sock, const unsigned char record[RECORD_LEN])
{
    unsigned char datagram[DATAGRAM_LEN];
    datagram[0] = CMD_DEVINST;
    memcpy(datagram + 1, record, RECORD_LEN);
    socket_send(sock, NULL, datagram, DATAGRAM_LEN);
}

void send_devinst(int sock)
{
    unsigned char record[RECORD_LEN];
    build_record(record);
    broadcast_record(sock, record);
}

static int is_zero(const unsigned char *bytes, int count)
{
    for (int i = 0; i < count; i++)
        if (bytes[i])
            return 0;
    return 1;
}

static void set_address(const unsigned char request[RECORD_LEN])
{
    const unsigned char *address = request + REC_ADDRESS;
    unsigned char netmask[4], gateway[4];
    memcpy(netmask, request + REC_NETMASK, 4);
    memcpy(gateway, request + REC_GATEWAY, 4);

    pmesg(2, "DEVINST_IP\r\n");
    pmesg(2, "%d %d %d %d\n", netmask[0], netmask[1], netmask[2], netmask[3]);
    if (is_zero(netmask, 4))
        memcpy(netmask, (const unsigned char[]){255, 255, 255, 0}, 4);
    if (is_zero(gateway, 4)) {
        memcpy(gateway, address, 3);
        gateway[3] = 1;
    }
    /* Taken, such settings would leave the unit unreachable on its network until someone
     * rewrites its files by hand. */
    if (!address_assignable(address) || !netmask_contiguous(netmask)) {
        pmesg(1, "unusable address %d.%d.%d.%d netmask %d.%d.%d.%d: request ignored\n",
              address[0], address[1], address[2], address[3],
              netmask[0], netmask[1], netmask[2], netmask[3]);
        return;
    }
    if (!check_ip_gw_mask(address, netmask, gateway) || check_access_disable())
        return;

    write_config(address, netmask, gateway, request + REC_DESTINATION);
    run_command("ifconfig eth0 down");
    sleep(1);
    run_command(networking_restart_cmd);
}

/* Takes a received datagram as a request when it is one: a device-installation command no
 * longer than a request may be. A short request is read with the bytes that did not arrive
 * as zero. */
static int read_request(const unsigned char *buf, size_t len, unsigned char request[RECORD_LEN])
{
    if (len == 0 || len > MAX_REQUEST_LEN || buf[0] != CMD_DEVINST)
        return 0;
    memset(request, 0, RECORD_LEN);
    size_t got = len - 1;
    memcpy(request, buf + 1, got < RECORD_LEN ? got : RECORD_LEN);
    return 1;
}

enum request_action { REQUEST_IGNORE, REQUEST_ANNOUNCE, REQUEST_SET_ADDRESS };

/* A request without a hardware address asks every unit to announce itself; one with this
 * unit's address sets its network configuration; any other is for another unit. */
static enum request_action request_action(const unsigned char request[RECORD_LEN],
                                          const unsigned char own[RECORD_LEN])
{
    if (is_zero(request + REC_MAC, 6))
        return REQUEST_ANNOUNCE;
    if (memcmp(request + REC_MAC, own + REC_MAC, 6) == 0)
        return REQUEST_SET_ADDRESS;
    return REQUEST_IGNORE;
}

void socket_receive(int sock)
{
    unsigned char buf[1024];
    ssize_t len = recv(sock, buf, sizeof buf, 0);
    if (len < 0) {
        if (errno != EINTR)
            perror("recv");
        return;
    }
    unsigned char request[RECORD_LEN];
    if (!read_request(buf, (size_t)len, request))
        return;

    unsigned char own[RECORD_LEN];
    build_record(own);
    switch (request_action(request, own)) {
    case REQUEST_ANNOUNCE:
        pmesg(2, "DEVINST_IP\r\n");
        broadcast_record(sock, own);
        break;
    case REQUEST_SET_ADDRESS:
        set_address(request);
        break;
    case REQUEST_IGNORE:
        break;
    }
}

int main(int argc, char *argv[])
{
    printf("norvik-di application\n");
    /* The program never returns to flush, so a piped stdout must not hold the line back. */
    fflush(stdout);

    int errors = 0;
    int opt;
    while ((opt = getopt(argc, argv, "d:")) != -1) {
        if (opt == 'd') {
            sscanf(optarg, "%d", &dflg);
        } else {
            fprintf(stderr, "Unrecognized option: -%c\n", optopt);
            errors++;
        }
    }
    if (errors)
        exit(1);

    check_config();
    int sock = open_udp_socket();
    if (!sock)
        exit(1);
    send_devinst(sock);
    for (;;)
        socket_receive(sock);
}
