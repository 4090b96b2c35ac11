// Serves a simulated card to vpcd, the virtual reader driver of pcscd, so
// that programs reach it through the real PC/SC stack.
//
// vpcd listens (by default on 127.0.0.1, port 35963 for "Virtual PCD 00 00"
// and 35964 for "Virtual PCD 00 01") and the card connects to it. Every
// message both ways is a 2-byte big-endian length and its payload. A 1-byte
// payload is a control code: 0 power off, 1 power on, 2 reset, 4 get the
// ATR; only the last is answered, with the ATR, and pcscd uses it as its
// presence poll. A longer payload is a command APDU, answered with the
// response data and status word.
#ifndef ZU_VPCD_BRIDGE_H
#define ZU_VPCD_BRIDGE_H

#include "sim/CZUSimDevice.h"

#include <csignal>

// Connects to vpcd at host:port and answers it with device until *stop is
// set. While vpcd is not there, or after it closes the connection, it tries
// again every 200 ms. The reader sees the card while the bridge is
// connected; stopping the bridge takes the card out. Whatever vpcd does
// (reading nothing, accepting nothing) the bridge notices *stop within
// 200 ms: a signal handler that sets it stops the bridge. Returns 0 when
// stopped, -1 when host is not an IPv4 address or port is out of range.
int ZUServeVpcd(CZUSimDevice& device, const char* host, int port,
                const volatile std::sig_atomic_t* stop);

#endif
