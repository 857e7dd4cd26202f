// device_socket_posix.cpp: the socket primitives of network printers on
// Linux and other POSIX systems (device_platform.h).
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif

#include "device_platform.h"

// The send buffer is kept to what a receipt printer takes in a moment, so
// that the stall limit measures the printer rather than the kernel's buffer.
static const int SEND_BUFFER_BYTES = 64 * 1024;

bool socketPlatformStart(void) {
    // A printer that closes mid-job must fail the write, not end the process
    // (the test receipt has no server that ignores the signal already).
    signal(SIGPIPE, SIG_IGN);
    return true;
}

int socketPlatformLookup(const char* host, unsigned port, SocketAddress* addresses, size_t capacity, size_t* count,
                         char* reason, size_t reasonCapacity) {
    char service[8];
    snprintf(service, sizeof(service), "%u", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* found = NULL;
    int error = getaddrinfo(host, service, &hints, &found);
    if (0 != error) {
        snprintf(reason, reasonCapacity, "%s", error == EAI_SYSTEM ? strerror(errno) : gai_strerror(error));
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

int socketPlatformWait(intptr_t socket, bool forWriting, int timeoutMs) {
    struct pollfd entry = {(int)socket, (short)(forWriting ? POLLOUT : POLLIN), 0};
    int ready = poll(&entry, 1, timeoutMs > 0 ? timeoutMs : 0);
    if (ready < 0 && errno == EINTR) {
        return 0;
    }
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

int socketPlatformConnect(const SocketAddress* address, int timeoutMs, intptr_t* socketOut) {
    int fd = socket(address->family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    int bufferBytes = SEND_BUFFER_BYTES, on = 1;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)); // status requests go out at once
    int error = 0;
    if (0 != connect(fd, (const struct sockaddr*)address->bytes, (socklen_t)address->length)) {
        error = errno;
        if (error == EINPROGRESS) {
            int ready = socketPlatformWait(fd, true, timeoutMs);
            socklen_t length = sizeof(error);
            if (ready <= 0) {
                error = ready == 0 ? SOCKET_ERROR_TIMED_OUT : errno;
            } else if (0 != getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length)) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        close(fd);
        return error;
    }
    *socketOut = fd;
    return 0;
}

ssize_t socketPlatformSend(intptr_t socket, const char* data, size_t length, int* error) {
    for (;;) {
        ssize_t sent = send((int)socket, data, length, MSG_NOSIGNAL);
        if (sent >= 0) {
            return sent;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        *error = errno;
        return -1;
    }
}

ssize_t socketPlatformReceive(intptr_t socket, char* buffer, size_t capacity, int* error) {
    for (;;) {
        ssize_t got = recv((int)socket, buffer, capacity, 0);
        if (got >= 0) {
            return got;
        }
        if (errno == EINTR) {
            continue;
        }
        *error = (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : errno;
        return -1;
    }
}

long socketPlatformUnacknowledged(intptr_t socket, size_t) {
#ifdef __linux__
    // A reset empties the queue: it must not read as "all acknowledged".
    struct tcp_info info;
    socklen_t length = sizeof(info);
    if (0 == getsockopt((int)socket, IPPROTO_TCP, TCP_INFO, &info, &length) && info.tcpi_state == TCP_CLOSE) {
        return -2;
    }
    int queued = 0;
    if (0 == ioctl((int)socket, SIOCOUTQ, &queued)) {
        return queued;
    }
#else
    (void)socket;
#endif
    return -1;
}

bool socketPlatformShutdownSending(intptr_t socket) {
    return 0 == shutdown((int)socket, SHUT_WR);
}

void socketPlatformClose(intptr_t socket) {
    close((int)socket);
}
