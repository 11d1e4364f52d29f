// Every system header the echo unit needs, in one place.
#ifndef CAPECHO_SOCKET_H
#define CAPECHO_SOCKET_H

#include <stdio.h>
#include <strings.h>
#include <sys/socket.h>
#include <netdb.h>
#include <inttypes.h>
#include <unistd.h>
#include <ctype.h>

// What the C++ compiler needs beside them: memset and strcmp live in
// <string.h>, errno in <errno.h>, size_t and ssize_t in <sys/types.h>.
#include <errno.h>
#include <string.h>
#include <sys/types.h>

// Coalescing echoes on TCP: FIONREAD, IPPROTO_TCP, TCP_CORK and TCP_INQ.
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#endif  // CAPECHO_SOCKET_H
