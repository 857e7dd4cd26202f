// device_socket_posix.cpp: network printers on Linux and other POSIX
// systems. Each job connects anew (the host is looked up each time, so a
// printer that got a new address is found again) over a non-blocking
// socket, so that connecting, writing and reading all keep their time
// limits the same way as for a device.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "device.h"

// The send buffer is kept to what a receipt printer takes in a moment, so
// that the stall limit measures the printer rather than the kernel's buffer,
// and a job's bytes are with the printer, not the local host, when it ends.
static const int SEND_BUFFER_BYTES = 64 * 1024;
// How long the end of a job waits for the printer to close its side.
static const int CLOSE_DRAIN_MS = 200;

static int64_t nowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline passes; 0 on time-out.
static int waitFor(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - nowMs();
        struct pollfd entry = {fd, events, 0};
        int ready = poll(&entry, 1, left > 0 ? (int)left : 0);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready;
    }
}

// Connects to one address before the deadline; -1 with errno set otherwise.
static int connectBefore(const struct addrinfo* address, int64_t deadline) {
    int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int bufferBytes = SEND_BUFFER_BYTES, on = 1;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)); // status requests go out at once
    int error = 0;
    if (0 != connect(fd, address->ai_addr, address->ai_addrlen)) {
        error = errno;
        if (error == EINPROGRESS) {
            int ready = waitFor(fd, POLLOUT, deadline);
            socklen_t length = sizeof(error);
            if (ready <= 0) {
                error = ready == 0 ? ETIMEDOUT : errno;
            } else if (0 != getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length)) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

DeviceHandle deviceOpenSocket(const char* name) {
    char host[256];
    unsigned port = 0;
    if (!deviceSocketAddress(name, host, sizeof(host), &port)) {
        fprintf(stderr, "Cannot open printer device '%s': not a network printer's name (socket://HOST[:PORT])\n", name);
        return DEVICE_CLOSED;
    }
    // A printer that closes mid-job must fail the write, not end the process
    // (the test receipt has no server that ignores the signal already).
    signal(SIGPIPE, SIG_IGN);
    char service[8];
    snprintf(service, sizeof(service), "%u", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* addresses = NULL;
    int64_t deadline = nowMs() + DEVICE_SOCKET_CONNECT_TIMEOUT_MS;
    int found = getaddrinfo(host, service, &hints, &addresses);
    if (0 != found) {
        fprintf(stderr, "Cannot open printer device '%s': %s\n", name,
                found == EAI_SYSTEM ? strerror(errno) : gai_strerror(found));
        return DEVICE_CLOSED;
    }
    int fd = -1;
    int error = ETIMEDOUT;
    for (const struct addrinfo* at = addresses; NULL != at && fd < 0 && nowMs() < deadline; at = at->ai_next) {
        fd = connectBefore(at, deadline);
        if (fd < 0) {
            error = errno;
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        fprintf(stderr, "Cannot open printer device '%s': %s\n", name,
                error == ETIMEDOUT ? "the printer did not take the connection within 5 s" : strerror(error));
        return DEVICE_CLOSED;
    }
    return (DeviceHandle)fd;
}

bool deviceIsSocket(DeviceHandle device) {
    struct stat info;
    return 0 == fstat((int)device, &info) && S_ISSOCK(info.st_mode);
}

// A socket is a descriptor like any other here: the device's own loops
// serve it (a write to a printer that closed fails with EPIPE, as SIGPIPE is
// ignored once a network printer is opened).
bool deviceSocketWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs,
                          const char* deviceName) {
    return deviceWriteAll(device, data, len, stallTimeoutMs, deviceName);
}

ssize_t deviceSocketReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs) {
    return deviceReadWithin(device, buffer, capacity, timeoutMs);
}

void deviceCloseSocket(DeviceHandle device) {
    int fd = (int)device;
    if (0 == shutdown(fd, SHUT_WR)) {
        int64_t deadline = nowMs() + CLOSE_DRAIN_MS;
        char dropped[256];
        while (nowMs() < deadline &&
               deviceSocketReadWithin(device, dropped, sizeof(dropped), (int)(deadline - nowMs())) > 0) {
        }
    }
    close(fd);
}
