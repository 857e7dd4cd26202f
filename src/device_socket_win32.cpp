// device_socket_win32.cpp: the socket primitives of network printers on
// Windows, through Winsock (device_platform.h). Winsock is started here on
// first use: a test receipt prints without the server, which otherwise
// starts it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "device.h"
#include "device_platform.h"

// The send buffer is kept to what a receipt printer takes in a moment, so
// that the stall limit measures the printer rather than the system's buffer.
static const int SEND_BUFFER_BYTES = 64 * 1024;

// Winsock is kept started for the life of the process, as the server's own
// start is; a start that failed is tried again at the next job.
static BOOL CALLBACK startWinsock(PINIT_ONCE, PVOID, PVOID*) {
    WSADATA data;
    return 0 == WSAStartup(MAKEWORD(2, 2), &data);
}

bool socketPlatformStart(void) {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    return FALSE != InitOnceExecuteOnce(&once, startWinsock, NULL, NULL);
}

int socketPlatformLookup(const char* host, unsigned port, SocketAddress* addresses, size_t capacity, size_t* count,
                         char* reason, size_t reasonCapacity) {
    char service[8];
    snprintf(service, sizeof(service), "%u", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* found = NULL;
    int error = getaddrinfo(host, service, &hints, &found);
    if (0 != error) {
        deviceErrorText((unsigned long)error, reason, reasonCapacity);
        return error;
    }
    *count = 0;
    for (const struct addrinfo* at = found; NULL != at && *count < capacity; at = at->ai_next) {
        if (at->ai_addrlen <= sizeof(addresses[0].bytes)) {
            memcpy(addresses[*count].bytes, at->ai_addr, at->ai_addrlen);
            addresses[*count].length = (int)at->ai_addrlen;
            addresses[*count].family = at->ai_family;
            (*count)++;
        }
    }
    freeaddrinfo(found);
    return 0;
}

// Waits until the socket is readable (or writable) or the time is up: 1
// ready, 0 time-out, -1 failed. Only a connect in progress also watches for
// failure (Windows reports a refused connect there alone): Wine's server
// aborts now and then on a socket watched in two sets at once, and a reset
// connection shows as readable or writable anyway, its next recv or send
// then failing.
static int waitFor(SOCKET socket, bool forWriting, int timeoutMs, bool connecting) {
    int left = timeoutMs > 0 ? timeoutMs : 0;
    struct timeval limit = {(long)(left / 1000), (long)(left % 1000) * 1000};
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    if (connecting) {
        FD_SET(socket, &failed);
    }
    int count = select(0, forWriting ? NULL : &ready, forWriting ? &ready : NULL, connecting ? &failed : NULL, &limit);
    if (count < 0 || FD_ISSET(socket, &failed)) {
        return -1;
    }
    return count > 0 ? 1 : 0;
}

int socketPlatformWait(intptr_t socket, bool forWriting, int timeoutMs) {
    return waitFor((SOCKET)socket, forWriting, timeoutMs, false);
}

int socketPlatformConnect(const SocketAddress* address, int timeoutMs, intptr_t* socketOut) {
    SOCKET connection = socket(address->family, SOCK_STREAM, IPPROTO_TCP);
    if (INVALID_SOCKET == connection) {
        return WSAGetLastError();
    }
    SetHandleInformation((HANDLE)connection, HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    int bufferBytes = SEND_BUFFER_BYTES;
    BOOL on = TRUE;
    ioctlsocket(connection, FIONBIO, &nonBlocking);
    setsockopt(connection, SOL_SOCKET, SO_SNDBUF, (const char*)&bufferBytes, sizeof(bufferBytes));
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on)); // status requests go out at once
    int error = 0;
    if (0 != connect(connection, (const struct sockaddr*)address->bytes, address->length)) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            int ready = waitFor(connection, true, timeoutMs, true);
            int length = sizeof(error);
            if (ready == 0) {
                error = SOCKET_ERROR_TIMED_OUT;
            } else if (0 != getsockopt(connection, SOL_SOCKET, SO_ERROR, (char*)&error, &length) ||
                       (ready < 0 && error == 0)) {
                error = WSAECONNREFUSED;
            }
        }
    }
    if (error != 0) {
        closesocket(connection);
        return error;
    }
    *socketOut = (intptr_t)connection;
    return 0;
}

ssize_t socketPlatformSend(intptr_t socket, const char* data, size_t length, int* error) {
    int sent = send((SOCKET)socket, data, length < INT_MAX ? (int)length : INT_MAX, 0);
    if (sent >= 0) {
        return sent;
    }
    *error = WSAGetLastError();
    return *error == WSAEWOULDBLOCK ? 0 : -1;
}

ssize_t socketPlatformReceive(intptr_t socket, char* buffer, size_t capacity, int* error) {
    int got = recv((SOCKET)socket, buffer, capacity < INT_MAX ? (int)capacity : INT_MAX, 0);
    if (got >= 0) {
        return got;
    }
    int failure = WSAGetLastError();
    *error = failure == WSAEWOULDBLOCK ? 0 : failure;
    return -1;
}

// SIO_TCP_INFO (Windows 10 1703 and later) tells how many bytes are in
// flight and how many the connection has sent; the bytes still in the send
// buffer are those written but not yet sent. Where it is missing, the
// system does not tell.
long socketPlatformUnacknowledged(intptr_t socket, size_t written) {
#ifdef SIO_TCP_INFO
    DWORD version = 0, returned = 0;
    TCP_INFO_v0 info;
    if (0 != WSAIoctl((SOCKET)socket, SIO_TCP_INFO, &version, sizeof(version), &info, sizeof(info), &returned, NULL,
                      NULL) ||
        returned < sizeof(info)) {
        return -1;
    }
    if (info.State == TcpConnectionStateClosed) {
        return -2;
    }
    ULONG64 sent = info.BytesOut - info.BytesRetrans;
    ULONG64 unsent = written > sent ? written - sent : 0;
    return (long)(unsent + info.BytesInFlight);
#else
    (void)socket;
    (void)written;
    return -1;
#endif
}

bool socketPlatformShutdownSending(intptr_t socket) {
    return 0 == shutdown((SOCKET)socket, SD_SEND);
}

void socketPlatformClose(intptr_t socket) {
    closesocket((SOCKET)socket);
}
