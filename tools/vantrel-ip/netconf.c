#define _DEFAULT_SOURCE
#include "netconf.h"

#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* The longest line read_config looks at; longer physical lines go on as the next line. */
#define LINE_MAX_CHARS 127

const char target_iface[] = "eth0";
const char iface_template[] = "iface %s inet static";
/* The leading tab is a scanf white-space directive: it matches spaces, tabs or nothing. */
const char mask_template[] = "\tnetmask %d.%d.%d.%d";
const char gw_template[] = "\tgateway %d.%d.%d.%d";
const char config_template[] =
    "auto lo\niface lo inet loopback\n\nauto %s\niface %s inet static\n"
    "        address %d.%d.%d.%d\n        netmask %d.%d.%d.%d\n        gateway %d.%d.%d.%d\n"
    "        \n";
const char config_default[] =
    "auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\n"
    "\taddress 192.168.0.209\n\tnetmask 255.255.255.0\n\tgateway 192.168.0.1\n\n";

const char *interfaces_path = "/etc/network/interfaces";
const char *dst_ip_path = "/etc/vantrel_dst_ip";
const char *disable_path = "/var/volatile/vantrel-ip-disable";
const char *networking_restart_cmd = "/etc/init.d/networking restart";

void run_command(const char *cmd)
{
    /* Failures of the shell commands are deliberately not reported. */
    int rc = system(cmd);
    (void)rc;
}

/* Reads one line of at most LINE_MAX_CHARS characters; returns 0 at the end of the file. */
static int read_line(FILE *f, char line[LINE_MAX_CHARS + 1])
{
    int n = 0;
    int c = EOF;
    while (n < LINE_MAX_CHARS && (c = fgetc(f)) != EOF && c != '\n')
        line[n++] = (char)c;
    line[n] = '\0';
    return n > 0 || c == '\n';
}

/* Scans four dotted numbers with the given pattern; each is kept as its low eight bits. */
static int scan_address(const char *text, const char *pattern, uint8_t out[4])
{
    int v[4];
    if (sscanf(text, pattern, &v[0], &v[1], &v[2], &v[3]) != 4)
        return 0;
    for (int i = 0; i < 4; i++)
        out[i] = (uint8_t)(v[i] & 0xff);
    return 1;
}

int read_config(uint8_t netmask[4], uint8_t gateway[4], uint8_t destination[4])
{
    FILE *f = fopen(interfaces_path, "r");
    if (!f)
        return 0;

    /* The stanza buffer is as long as a line, so the unbounded %s cannot overrun it. */
    char stanza[LINE_MAX_CHARS + 1] = "";
    char line[LINE_MAX_CHARS + 1];
    int found = 0;
    while (read_line(f, line)) {
        char name[LINE_MAX_CHARS + 1];
        if (sscanf(line, iface_template, name) == 1)
            strcpy(stanza, name);
        if (strcmp(stanza, target_iface) != 0)
            continue;
        found |= scan_address(line, mask_template, netmask);
        found |= scan_address(line, gw_template, gateway);
    }
    fclose(f);

    memset(destination, 255, 4);
    f = fopen(dst_ip_path, "r");
    if (!f)
        return 1;
    char text[64];
    text[fread(text, 1, sizeof text - 1, f)] = '\0';
    scan_address(text, "%d.%d.%d.%d", destination);
    fclose(f);
    return found;
}

static FILE *open_for_writing(const char *path)
{
    FILE *f = fopen(path, "w");
    if (!f)
        fprintf(stderr, "vantrel-ip: cannot write %s: %s\n", path, strerror(errno));
    return f;
}

void write_config(const uint8_t address[4], const uint8_t netmask[4],
                  const uint8_t gateway[4], const uint8_t destination[4])
{
    FILE *f = open_for_writing(interfaces_path);
    if (f) {
        fprintf(f, config_template, target_iface, target_iface,
                address[0], address[1], address[2], address[3],
                netmask[0], netmask[1], netmask[2], netmask[3],
                gateway[0], gateway[1], gateway[2], gateway[3]);
        fclose(f);
    }
    f = open_for_writing(dst_ip_path);
    if (f) {
        fprintf(f, "%d.%d.%d.%d", destination[0], destination[1], destination[2], destination[3]);
        fclose(f);
    }
}

void config_reset(void)
{
    FILE *f = open_for_writing(interfaces_path);
    if (f) {
        fputs(config_default, f);
        fclose(f);
    }
    run_command(networking_restart_cmd);
    run_command("sync");
}

void check_config(void)
{
    uint8_t netmask[4], gateway[4], destination[4];
    if (read_config(netmask, gateway, destination) == 0)
        config_reset();
}

void get_ip(uint8_t address[4], uint8_t mac[6])
{
    struct ifaddrs *list;
    if (getifaddrs(&list) != 0)
        return;
    for (struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || strcmp(ifa->ifa_name, target_iface) != 0)
            continue;
        if (ifa->ifa_addr->sa_family == AF_INET) {
            const struct sockaddr_in *in = (const struct sockaddr_in *)ifa->ifa_addr;
            /* s_addr is already in network order: byte 0 is the first dotted number. */
            memcpy(address, &in->sin_addr.s_addr, 4);
        } else if (ifa->ifa_addr->sa_family == AF_PACKET) {
            const struct sockaddr_ll *ll = (const struct sockaddr_ll *)ifa->ifa_addr;
            if (ll->sll_halen >= 6)
                memcpy(mac, ll->sll_addr, 6);
        }
    }
    freeifaddrs(list);
}

int check_ip_gw_mask(const uint8_t address[4], const uint8_t netmask[4], const uint8_t gateway[4])
{
    int outside = 0;
    for (int i = 0; i < 4; i++)
        outside |= (address[i] ^ gateway[i]) & netmask[i];
    return outside == 0;
}

int check_access_disable(void)
{
    return access(disable_path, F_OK) == 0;
}
