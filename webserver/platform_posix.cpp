// platform_posix.cpp: the platform layer for Linux and other POSIX systems.
// Threads and directories need nothing here; this file supplies path
// information, file opening, the broken-pipe signal, socket helpers and the
// list of addresses printed at start-up.
// 64-bit off_t for fseeko/ftello on 32-bit systems too; must precede every include.
#define _FILE_OFFSET_BITS 64
#include "platform.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>

int pathInformationGet(const char* path, PathInformation* info) {
    struct stat st;
    if (0 != stat(path, &st)) {
        if (errno == ENOENT || errno == ENOTDIR) {
            info->exists = false;
            info->isDirectory = false;
            return 0;
        }
        printf("We were unable to get information about path '%s'. stat last error is %ld\n", path, (long)errno);
        return 1;
    }
    info->isDirectory = S_ISDIR(st.st_mode);
    info->exists = true;
    return 0;
}

char* strdupPathLongForm(const char* path) {
    return strdup(path);
}

FILE* fopen_utf8_path(const char* utf8Path, const char* mode) {
    return fopen(utf8Path, mode);
}

int fileSeek64(FILE* file, int64_t offset, int whence) {
    static_assert(sizeof(off_t) >= sizeof(int64_t), "build with 64-bit file offsets");
    return fseeko(file, (off_t)offset, whence);
}

int64_t fileTell64(FILE* file) {
    return (int64_t)ftello(file);
}

int64_t monotonicMilliseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool condWaitMilliseconds(pthread_cond_t* cond, pthread_mutex_t* mutex, int milliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    // Against the monotonic clock whatever clock the condition variable was
    // made with, so that no caller's pthread_cond_init can bring the wall
    // clock back.
    return ETIMEDOUT == pthread_cond_clockwait(cond, mutex, CLOCK_MONOTONIC, &deadline);
}

enum { WAKE_NONE, WAKE_POSTED, WAKE_SLEEPING };

void threadWakeInit(ThreadWake* wake) {
    threadWakeReset(wake);
}

void threadWakeDestroy(ThreadWake* wake) {
    (void)wake; // a word holds nothing to release
}

void threadWakeReset(ThreadWake* wake) {
    wake->state.store(WAKE_NONE, std::memory_order_relaxed);
}

void threadWakePost(ThreadWake* wake) {
    // The kernel is asked only when the sleeper already sleeps.
    if (WAKE_SLEEPING == wake->state.exchange(WAKE_POSTED, std::memory_order_acq_rel)) {
        syscall(SYS_futex, (int*)&wake->state, FUTEX_WAKE_PRIVATE, 1, NULL, NULL, 0);
    }
}

bool threadWakeWait(ThreadWake* wake, int milliseconds) {
    static_assert(sizeof(std::atomic<int>) == sizeof(int), "a futex is a plain int");
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t deadlineNs = (int64_t)now.tv_sec * 1000000000 + now.tv_nsec + (int64_t)milliseconds * 1000000;
    for (;;) {
        int seen = WAKE_NONE;
        if (!wake->state.compare_exchange_strong(seen, WAKE_SLEEPING, std::memory_order_acquire) &&
            seen == WAKE_POSTED) {
            return true;
        }
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t leftNs = deadlineNs - ((int64_t)now.tv_sec * 1000000000 + now.tv_nsec);
        if (leftNs <= 0) {
            seen = WAKE_SLEEPING;
            // A post that came just now still counts.
            return !wake->state.compare_exchange_strong(seen, WAKE_NONE, std::memory_order_acquire);
        }
        struct timespec left = {(time_t)(leftNs / 1000000000), (long)(leftNs % 1000000000)};
        // Returns at once when the word is no longer WAKE_SLEEPING; a signal or
        // a spurious return is looked at again above.
        syscall(SYS_futex, (int*)&wake->state, FUTEX_WAIT_PRIVATE, WAKE_SLEEPING, &left, NULL, 0);
    }
}

void callWSAStartupIfNecessary(void) {}

static void SIGPIPEHandler(int signal) {
    (void)signal;
}

void ignoreSIGPIPE(void) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIGPIPEHandler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, NULL);
}

void printIPv4Addresses(uint16_t port) {
    struct ifaddrs* addresses = NULL;
    if (0 != getifaddrs(&addresses)) {
        printf("  http://127.0.0.1:%u/\n", (unsigned)port);
        return;
    }
    for (struct ifaddrs* entry = addresses; entry != NULL; entry = entry->ifa_next) {
        if (entry->ifa_addr == NULL || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        char host[INET_ADDRSTRLEN] = {0};
        const struct sockaddr_in* ipv4 = (const struct sockaddr_in*)entry->ifa_addr;
        if (NULL != inet_ntop(AF_INET, &ipv4->sin_addr, host, sizeof(host))) {
            printf("  http://%s:%u/\n", host, (unsigned)port);
        }
    }
    freeifaddrs(addresses);
}

int socketLastError(void) {
    return errno;
}

int socketClose(sockettype socket) {
    return close(socket);
}

int socketShutdownSending(sockettype socket) {
    return shutdown(socket, SHUT_WR);
}

int socketShutdownBoth(sockettype socket) {
    return shutdown(socket, SHUT_RDWR);
}

int socketAllowPortReuse(sockettype listener) {
    int one = 1;
    return setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
}

void socketSetIOTimeouts(sockettype socket, int milliseconds) {
    struct timeval timeout;
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

int socketWaitReadable(sockettype socket, int milliseconds) {
    struct pollfd entry;
    entry.fd = socket;
    entry.events = POLLIN;
    entry.revents = 0;
    int result = poll(&entry, 1, milliseconds);
    if (result < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return result > 0 ? 1 : 0;
}

bool socketReceiveNow(sockettype socket, char* into, size_t capacity, ssize_t* received) {
    for (;;) {
        *received = recv(socket, into, capacity, MSG_DONTWAIT);
        if (*received >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
}

ssize_t socketSendNow(sockettype socket, const char* data, size_t length) {
    for (;;) {
        ssize_t sent = send(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) {
            return sent;
        }
        if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }
}

long descriptorLimitRaise(void) {
    struct rlimit limit;
    if (0 != getrlimit(RLIMIT_NOFILE, &limit)) {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (0 != setrlimit(RLIMIT_NOFILE, &limit)) {
            getrlimit(RLIMIT_NOFILE, &limit); // keep what is in force
        }
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return (long)limit.rlim_cur;
}

bool socketInterruptAccept(sockettype listener) {
    // Closing a listening socket does not wake a thread blocked in accept on
    // Linux; shutting it down does, and leaves the close to the accept loop.
    shutdown(listener, SHUT_RDWR);
    return false;
}
