/* Static IPv4 configuration of eth0: the interfaces file, the destination file,
 * the switch file that forbids changes, and the live address of the interface.
 * Addresses are 4 bytes in network order (byte 0 is the first dotted number),
 * hardware addresses 6 bytes. */
#ifndef NETCONF_H
#define NETCONF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const char target_iface[];
extern const char iface_template[];
extern const char mask_template[];
extern const char gw_template[];
extern const char config_template[];
extern const char config_default[];

/* The fixed system paths and the restart command. Only tests point these elsewhere. */
extern const char *interfaces_path;
extern const char *dst_ip_path;
extern const char *disable_path;
extern const char *networking_restart_cmd;

int read_config(uint8_t netmask[4], uint8_t gateway[4], uint8_t destination[4]);
void write_config(const uint8_t address[4], const uint8_t netmask[4],
                  const uint8_t gateway[4], const uint8_t destination[4]);
void config_reset(void);
void check_config(void);
void get_ip(uint8_t address[4], uint8_t mac[6]);
int check_ip_gw_mask(const uint8_t address[4], const uint8_t netmask[4], const uint8_t gateway[4]);
int check_access_disable(void);

/* Runs a shell command and waits for it; its failure is not reported. */
void run_command(const char *cmd);

#ifdef __cplusplus
}
#endif

#endif
