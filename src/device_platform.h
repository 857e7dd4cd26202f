// device_platform.h: what the device files share among themselves, not a
// contract for the rest of the print service: the primitives the shared
// device code needs from each platform (closing a handle and the error text
// in device_posix.cpp and device_win32.cpp, the sockets of network printers
// in device_socket_posix.cpp and device_socket_win32.cpp), and the device
// record's constructor (device_socket.cpp). Looking up, trying each address,
// writing with a stall limit and waiting for the printer's acknowledgement
// are written once in device_socket.cpp against these alone.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "device.h"

// Closes a device handle that is not a socket.
void deviceCloseSystemHandle(intptr_t system);

// The system's text for an error code (errno, or a Windows or Winsock error
// code, which then follows the text as "(error N)"), without a trailing line
// break or full stop. Every message of the device layer makes it here.
void deviceErrorText(unsigned long error, char* text, size_t capacity);

// Wraps an open system handle in a device record of that kind; the record
// owns it from now on. Null, with the handle closed, when out of memory.
DeviceHandle deviceWrap(intptr_t system, DeviceKind kind, bool readable);

// One address of a host, as the system gave it.
struct SocketAddress {
    unsigned char bytes[128];
    int length;
    int family;
};

// The error code of a connect or wait that ran out of time.
static const int SOCKET_ERROR_TIMED_OUT = -1;

// Makes the network usable for this process (once; again after a failure).
bool socketPlatformStart(void);

// Looks host up (this may take long: device_socket.cpp bounds it) and
// stores up to capacity of its stream addresses for port. 0 on success,
// otherwise the error, with its text in reason.
int socketPlatformLookup(const char* host, unsigned port, SocketAddress* addresses, size_t capacity, size_t* count,
                         char* reason, size_t reasonCapacity);

// Connects a new non-blocking socket, with a printer-sized send buffer and
// no delay for small writes, to address within timeoutMs. 0 with *socket
// set, or the error (SOCKET_ERROR_TIMED_OUT when no answer came in time).
int socketPlatformConnect(const SocketAddress* address, int timeoutMs, intptr_t* socket);

// Sends what the socket takes now: the count, 0 when it takes nothing for
// now, -1 with *error set when the connection failed.
ssize_t socketPlatformSend(intptr_t socket, const char* data, size_t length, int* error);

// Receives what has come: the count, 0 when the printer closed its side, -1
// with *error 0 when nothing came yet, -1 with *error set when it failed.
ssize_t socketPlatformReceive(intptr_t socket, char* buffer, size_t capacity, int* error);

// Waits until the socket is readable (or writable) for at most timeoutMs:
// 1 ready, 0 not in time, -1 failed.
int socketPlatformWait(intptr_t socket, bool forWriting, int timeoutMs);

// How many of the `written` bytes sent so far the printer has not yet
// acknowledged (unsent ones included); -1 when the system does not tell,
// -2 when the connection has been reset.
long socketPlatformUnacknowledged(intptr_t socket, size_t written);

// Shuts the sending side; false when the connection has already failed.
bool socketPlatformShutdownSending(intptr_t socket);

// Closes the socket.
void socketPlatformClose(intptr_t socket);
