// device_socket_win32.cpp: network printers on Windows, through Winsock.
// Each job connects anew (the host is looked up each time, so a printer that
// got a new address is found again) over a non-blocking socket, so that
// connecting, writing and reading all keep their time limits the same way
// as for a device. Winsock is started here on first use: a test receipt
// prints without the server, which otherwise starts it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "device.h"

// The send buffer is kept to what a receipt printer takes in a moment, so
// that the stall limit measures the printer rather than the system's buffer,
// and a job's bytes are with the printer, not the local host, when it ends.
static const int SEND_BUFFER_BYTES = 64 * 1024;
// How long the end of a job waits for the printer to close its side.
static const int CLOSE_DRAIN_MS = 200;

// Winsock is kept started for the life of the process, as the server's own
// start is; a start that failed is tried again at the next job.
static BOOL CALLBACK startWinsock(PINIT_ONCE, PVOID, PVOID*) {
    WSADATA data;
    return 0 == WSAStartup(MAKEWORD(2, 2), &data);
}

static bool winsockStarted(void) {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    return FALSE != InitOnceExecuteOnce(&once, startWinsock, NULL, NULL);
}

// The system's text for a Winsock error code, without the trailing line break.
static void errorText(int error, char* text, size_t capacity) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, (DWORD)error, 0,
                                  text, (DWORD)capacity, NULL);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ' ||
                          text[length - 1] == '.')) {
        length--;
    }
    text[length] = '\0';
    if (length == 0) {
        snprintf(text, capacity, "error %d", error);
    }
}

// Waits until the socket is readable (or, with forWriting, writable) or the
// deadline passes: 1 ready, 0 time-out, -1 failed. Only a connect in
// progress also watches for failure (Windows reports a refused connect
// there alone): Wine's server aborts now and then on a socket watched in
// two sets at once, and a reset connection shows as readable or writable
// anyway, its next recv or send then failing.
static int waitFor(SOCKET socket, bool forWriting, ULONGLONG deadline, bool connecting = false) {
    ULONGLONG now = GetTickCount64();
    ULONGLONG left = now < deadline ? deadline - now : 0;
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

// Connects to one address before the deadline; INVALID_SOCKET with *error set otherwise.
static SOCKET connectBefore(const struct addrinfo* address, ULONGLONG deadline, int* error) {
    SOCKET connection = socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (INVALID_SOCKET == connection) {
        *error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    SetHandleInformation((HANDLE)connection, HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    int bufferBytes = SEND_BUFFER_BYTES;
    BOOL on = TRUE;
    ioctlsocket(connection, FIONBIO, &nonBlocking);
    setsockopt(connection, SOL_SOCKET, SO_SNDBUF, (const char*)&bufferBytes, sizeof(bufferBytes));
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on)); // status requests go out at once
    *error = 0;
    if (0 != connect(connection, address->ai_addr, (int)address->ai_addrlen)) {
        *error = WSAGetLastError();
        if (*error == WSAEWOULDBLOCK) {
            int ready = waitFor(connection, true, deadline, true);
            int length = sizeof(*error);
            if (ready == 0) {
                *error = WSAETIMEDOUT;
            } else if (0 != getsockopt(connection, SOL_SOCKET, SO_ERROR, (char*)error, &length) ||
                       (ready < 0 && *error == 0)) {
                *error = WSAECONNREFUSED;
            }
        }
    }
    if (*error != 0) {
        closesocket(connection);
        return INVALID_SOCKET;
    }
    return connection;
}

DeviceHandle deviceOpenSocket(const char* name) {
    char host[256];
    unsigned port = 0;
    if (!deviceSocketAddress(name, host, sizeof(host), &port)) {
        fprintf(stderr, "Cannot open printer device '%s': not a network printer's name (socket://HOST[:PORT])\n", name);
        return DEVICE_CLOSED;
    }
    if (!winsockStarted()) {
        fprintf(stderr, "Cannot open printer device '%s': the network cannot be used\n", name);
        return DEVICE_CLOSED;
    }
    char service[8];
    snprintf(service, sizeof(service), "%u", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* addresses = NULL;
    ULONGLONG deadline = GetTickCount64() + DEVICE_SOCKET_CONNECT_TIMEOUT_MS;
    int found = getaddrinfo(host, service, &hints, &addresses);
    char text[256];
    if (0 != found) {
        errorText(found, text, sizeof(text));
        fprintf(stderr, "Cannot open printer device '%s': %s (error %d)\n", name, text, found);
        return DEVICE_CLOSED;
    }
    SOCKET connection = INVALID_SOCKET;
    int error = WSAETIMEDOUT;
    for (const struct addrinfo* at = addresses;
         NULL != at && INVALID_SOCKET == connection && GetTickCount64() < deadline; at = at->ai_next) {
        connection = connectBefore(at, deadline, &error);
    }
    freeaddrinfo(addresses);
    if (INVALID_SOCKET == connection) {
        if (error == WSAETIMEDOUT) {
            fprintf(stderr, "Cannot open printer device '%s': the printer did not take the connection within 5 s\n",
                    name);
        } else {
            errorText(error, text, sizeof(text));
            fprintf(stderr, "Cannot open printer device '%s': %s (error %d)\n", name, text, error);
        }
        return DEVICE_CLOSED;
    }
    return (DeviceHandle)connection;
}

bool deviceIsSocket(DeviceHandle device) {
    int type = 0;
    int length = sizeof(type);
    return 0 == getsockopt((SOCKET)device, SOL_SOCKET, SO_TYPE, (char*)&type, &length);
}

static void reportWriteError(const char* deviceName, int error) {
    char text[256];
    errorText(error, text, sizeof(text));
    fprintf(stderr, "Writing to printer device '%s' failed: %s (error %d)\n", deviceName, text, error);
}

bool deviceSocketWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs,
                          const char* deviceName) {
    SOCKET connection = (SOCKET)device;
    size_t written = 0;
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)stallTimeoutMs;
    while (written < len) {
        size_t remaining = len - written;
        int sent = send(connection, data + written, remaining < INT_MAX ? (int)remaining : INT_MAX, 0);
        if (sent > 0) {
            written += (size_t)sent;
            deadline = GetTickCount64() + (ULONGLONG)stallTimeoutMs;
            continue;
        }
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            reportWriteError(deviceName, error);
            return false;
        }
        int ready = waitFor(connection, true, deadline);
        if (ready == 0) {
            fprintf(stderr, "Writing to printer device '%s' failed: the printer took no data for %d ms\n", deviceName,
                    stallTimeoutMs);
            return false;
        }
        if (ready < 0) {
            reportWriteError(deviceName, WSAGetLastError());
            return false;
        }
    }
    return true;
}

ssize_t deviceSocketReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs) {
    SOCKET connection = (SOCKET)device;
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)(timeoutMs > 0 ? timeoutMs : 0);
    int ask = capacity < INT_MAX ? (int)capacity : INT_MAX;
    for (;;) {
        int got = recv(connection, buffer, ask, 0);
        if (got > 0) {
            return got;
        }
        if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            return -1; // the printer closed its side or reset the connection
        }
        int ready = waitFor(connection, false, deadline);
        if (ready <= 0) {
            return ready == 0 ? 0 : -1;
        }
    }
}

void deviceCloseSocket(DeviceHandle device) {
    SOCKET connection = (SOCKET)device;
    if (0 == shutdown(connection, SD_SEND)) {
        ULONGLONG deadline = GetTickCount64() + CLOSE_DRAIN_MS;
        char dropped[256];
        while (GetTickCount64() < deadline &&
               deviceSocketReadWithin(device, dropped, sizeof(dropped), (int)(deadline - GetTickCount64())) > 0) {
        }
    }
    closesocket(connection);
}
