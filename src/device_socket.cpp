// device_socket.cpp: network printers, the same on every platform. Their
// names are socket://HOST[:PORT], HOST an IPv4 literal, a DNS name or an
// IPv6 literal in brackets, as shop technicians know them from raw network
// print queues. Each job connects anew, trying each address of the name
// within one time limit, over a non-blocking socket, so that connecting,
// writing and reading all keep their limits the same way as for a device;
// a job ends only once the printer has acknowledged its bytes. What every
// kind of device shares (its record, its close) lives here too.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "device.h"
#include "device_platform.h"
#include "webserver.h"

static const char SOCKET_PREFIX[] = "socket://";

bool deviceNameIsSocket(const char* name) {
    return 0 == strncmp(name, SOCKET_PREFIX, sizeof(SOCKET_PREFIX) - 1);
}

bool deviceSocketAddress(const char* name, char* host, size_t hostCapacity, unsigned* port) {
    if (!deviceNameIsSocket(name)) {
        return false;
    }
    const char* start = name + sizeof(SOCKET_PREFIX) - 1;
    const char* end;  // one past the host
    const char* rest; // what follows the host: "" or ":PORT"
    if (*start == '[') {
        start++;
        end = strchr(start, ']');
        if (NULL == end) {
            return false;
        }
        rest = end + 1;
    } else {
        end = start + strcspn(start, ":/[]");
        rest = end;
    }
    size_t hostLength = (size_t)(end - start);
    if (hostLength == 0 || hostLength >= hostCapacity) {
        return false;
    }
    *port = DEVICE_SOCKET_DEFAULT_PORT;
    if (*rest == ':') {
        const char* digits = rest + 1;
        size_t count = strspn(digits, "0123456789");
        if (count == 0 || count > 5 || digits[count] != '\0') {
            return false;
        }
        unsigned long value = strtoul(digits, NULL, 10);
        if (value == 0 || value > 65535) {
            return false;
        }
        *port = (unsigned)value;
    } else if (*rest != '\0') {
        return false;
    }
    memcpy(host, start, hostLength);
    host[hostLength] = '\0';
    return true;
}

// ---- Looking up and connecting ----------------------------------------------

// A name's addresses are kept this long (a failed lookup a little while),
// so that a page polling the status does not look the printer up each time
// while a printer that got a new address is still found again soon.
static const int LOOKUP_KEPT_MS = 10000;
static const int LOOKUP_FAILURE_KEPT_MS = 2000;
// Names remembered at once; each has at most one lookup running.
static const size_t LOOKUP_ENTRIES = 8;
static const size_t LOOKUP_ADDRESSES = 8;
// How long the end of a job waits for the printer to close its side.
static const int CLOSE_DRAIN_MS = 200;
// How often the end of a job looks whether the printer acknowledged its bytes.
static const int ACKNOWLEDGE_POLL_MS = 5;

// One name's lookup: filled by its lookup thread, read by those waiting.
struct Lookup {
    char host[256];
    unsigned port;
    bool running;  // a lookup thread owns the result fields until it clears this
    int waiters;   // askers waiting for the result: the entry is not reused meanwhile
    bool resolved; // the result fields hold a result
    int64_t keptUntilMs;
    int error;
    char reason[160];
    SocketAddress addresses[LOOKUP_ADDRESSES];
    size_t count;
};

struct LookupCache {
    pthread_mutex_t lock;
    pthread_cond_t done;
    Lookup entries[LOOKUP_ENTRIES];

    LookupCache() : entries() {
        pthread_mutex_init(&lock, NULL);
        pthread_cond_init(&done, NULL);
    }
};

static LookupCache& lookupCache(void) {
    static LookupCache cache;
    return cache;
}

// The body of a lookup thread: the system's lookup has no time limit of its
// own, so it runs here while the asker waits only as long as it may. The
// thread is detached; it touches only its entry, which is not reused while
// it runs.
static void* runLookup(void* pointer) {
    Lookup* entry = (Lookup*)pointer;
    SocketAddress addresses[LOOKUP_ADDRESSES];
    size_t count = 0;
    char reason[sizeof(entry->reason)] = "";
    int error =
        socketPlatformLookup(entry->host, entry->port, addresses, LOOKUP_ADDRESSES, &count, reason, sizeof(reason));
    LookupCache& cache = lookupCache();
    pthread_mutex_lock(&cache.lock);
    entry->error = error;
    memcpy(entry->reason, reason, sizeof(reason));
    memcpy(entry->addresses, addresses, sizeof(addresses));
    entry->count = count;
    entry->resolved = true;
    entry->running = false;
    entry->keptUntilMs = monotonicMilliseconds() + (error == 0 ? LOOKUP_KEPT_MS : LOOKUP_FAILURE_KEPT_MS);
    pthread_cond_broadcast(&cache.done);
    pthread_mutex_unlock(&cache.lock);
    return NULL;
}

// The entry for host:port, a fresh one in place of the oldest idle entry, or
// null when every entry has a lookup running. Under the cache's lock.
static Lookup* lookupEntry(LookupCache& cache, const char* host, unsigned port) {
    Lookup* oldest = NULL;
    for (Lookup& entry : cache.entries) {
        if (entry.port == port && 0 == strcmp(entry.host, host)) {
            return &entry;
        }
        if (!entry.running && entry.waiters == 0 && (NULL == oldest || entry.keptUntilMs < oldest->keptUntilMs)) {
            oldest = &entry;
        }
    }
    if (NULL != oldest) {
        memset(oldest, 0, sizeof(*oldest));
        snprintf(oldest->host, sizeof(oldest->host), "%s", host);
        oldest->port = port;
    }
    return oldest;
}

// Looks host:port up, from what was found a short while ago where it can,
// waiting at most timeoutMs. 0 with the addresses, or the error with its
// reason.
static int lookUp(const char* host, unsigned port, int timeoutMs, SocketAddress* addresses, size_t* count, char* reason,
                  size_t reasonCapacity) {
    LookupCache& cache = lookupCache();
    int64_t deadline = monotonicMilliseconds() + timeoutMs;
    pthread_mutex_lock(&cache.lock);
    Lookup* entry = lookupEntry(cache, host, port);
    if (NULL == entry) {
        pthread_mutex_unlock(&cache.lock);
        snprintf(reason, reasonCapacity, "too many printer names are being looked up at once");
        return SOCKET_ERROR_TIMED_OUT;
    }
    if (!entry->running && (!entry->resolved || monotonicMilliseconds() >= entry->keptUntilMs)) {
        pthread_t thread;
        entry->running = 0 == pthread_create(&thread, NULL, runLookup, entry);
        if (entry->running) {
            pthread_detach(thread);
        }
        if (!entry->running) {
            pthread_mutex_unlock(&cache.lock);
            snprintf(reason, reasonCapacity, "the name lookup could not be started");
            return SOCKET_ERROR_TIMED_OUT;
        }
        entry->resolved = false;
    }
    entry->waiters++;
    while (!entry->resolved && monotonicMilliseconds() < deadline) {
        condWaitMilliseconds(&cache.done, &cache.lock, (int)(deadline - monotonicMilliseconds()));
    }
    entry->waiters--;
    int error = SOCKET_ERROR_TIMED_OUT;
    if (entry->resolved) {
        error = entry->error;
        snprintf(reason, reasonCapacity, "%s", entry->reason);
        memcpy(addresses, entry->addresses, sizeof(entry->addresses));
        *count = entry->count;
    } else {
        snprintf(reason, reasonCapacity, "the name lookup took longer than %d ms", timeoutMs);
    }
    pthread_mutex_unlock(&cache.lock);
    return error;
}

// Looks up the printer's addresses within the time; false, with the reason
// on stderr, when they cannot be had.
static bool lookUpPrinter(const char* name, const char* host, unsigned port, int timeoutMs,
                          SocketAddress addresses[LOOKUP_ADDRESSES], size_t* count) {
    char reason[160];
    if (0 != lookUp(host, port, timeoutMs, addresses, count, reason, sizeof(reason))) {
        fprintf(stderr, "Cannot open printer device '%s': %s\n", name, reason);
        return false;
    }
    return true;
}

bool deviceSocketLookUp(const char* name, int timeoutMs) {
    char host[256];
    unsigned port = 0;
    if (!deviceSocketAddress(name, host, sizeof(host), &port) || !socketPlatformStart()) {
        return true; // the open tells what is wrong
    }
    SocketAddress addresses[LOOKUP_ADDRESSES];
    size_t count = 0;
    return lookUpPrinter(name, host, port, timeoutMs, addresses, &count);
}

// "5 s", or "800 ms" for a bound that is no whole number of seconds.
static void durationText(int milliseconds, char* text, size_t capacity) {
    if (milliseconds % 1000 == 0) {
        snprintf(text, capacity, "%d s", milliseconds / 1000);
    } else {
        snprintf(text, capacity, "%d ms", milliseconds);
    }
}

DeviceHandle deviceOpenSocket(const char* name, int connectTimeoutMs) {
    char host[256];
    unsigned port = 0;
    if (!deviceSocketAddress(name, host, sizeof(host), &port)) {
        fprintf(stderr, "Cannot open printer device '%s': not a network printer's name (socket://HOST[:PORT])\n", name);
        return DEVICE_CLOSED;
    }
    if (!socketPlatformStart()) {
        fprintf(stderr, "Cannot open printer device '%s': the network cannot be used\n", name);
        return DEVICE_CLOSED;
    }
    int64_t deadline = monotonicMilliseconds() + connectTimeoutMs;
    SocketAddress addresses[LOOKUP_ADDRESSES];
    size_t count = 0;
    if (!lookUpPrinter(name, host, port, connectTimeoutMs, addresses, &count)) {
        return DEVICE_CLOSED;
    }
    intptr_t connection = -1;
    int error = SOCKET_ERROR_TIMED_OUT;
    for (size_t i = 0; i < count && 0 != error && monotonicMilliseconds() < deadline; i++) {
        error = socketPlatformConnect(&addresses[i], (int)(deadline - monotonicMilliseconds()), &connection);
    }
    if (0 != error) {
        if (error == SOCKET_ERROR_TIMED_OUT) {
            char bound[32];
            durationText(connectTimeoutMs, bound, sizeof(bound));
            fprintf(stderr, "Cannot open printer device '%s': the printer did not take the connection within %s\n",
                    name, bound);
        } else {
            char reason[160];
            deviceErrorText((unsigned long)error, reason, sizeof(reason));
            fprintf(stderr, "Cannot open printer device '%s': %s\n", name, reason);
        }
        return DEVICE_CLOSED;
    }
    return deviceWrap(connection, DEVICE_KIND_SOCKET, true);
}

// ---- Writing, reading, closing ----------------------------------------------

static void reportWriteError(const char* deviceName, int error) {
    char text[256];
    deviceErrorText((unsigned long)error, text, sizeof(text));
    fprintf(stderr, "Writing to printer device '%s' failed: %s\n", deviceName, text);
}

bool deviceSocketWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs,
                          const char* deviceName) {
    size_t written = 0;
    int64_t deadline = monotonicMilliseconds() + stallTimeoutMs;
    while (written < len) {
        int error = 0;
        ssize_t sent = socketPlatformSend(device->system, data + written, len - written, &error);
        if (sent > 0) {
            written += (size_t)sent;
            device->written += (size_t)sent;
            deadline = monotonicMilliseconds() + stallTimeoutMs;
            continue;
        }
        if (sent < 0) {
            reportWriteError(deviceName, error);
            return false;
        }
        int64_t left = deadline - monotonicMilliseconds();
        int ready = left > 0 ? socketPlatformWait(device->system, true, (int)left) : 0;
        if (ready == 0) {
            fprintf(stderr, "Writing to printer device '%s' failed: the printer took no data for %d ms\n", deviceName,
                    stallTimeoutMs);
            return false;
        }
    }
    return true;
}

ssize_t deviceSocketReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs) {
    int64_t deadline = monotonicMilliseconds() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        int error = 0;
        ssize_t got = socketPlatformReceive(device->system, buffer, capacity, &error);
        if (got > 0) {
            return got;
        }
        if (got == 0 || error != 0) {
            return -1; // the printer closed its side or reset the connection
        }
        int64_t left = deadline - monotonicMilliseconds();
        int ready = left > 0 ? socketPlatformWait(device->system, false, (int)left) : 0;
        if (ready <= 0) {
            return ready;
        }
    }
}

// Waits until the printer has acknowledged every byte of the job, restarting
// the stall limit whenever it acknowledges more; what it sends meanwhile is
// dropped. True at once where the system does not tell.
static bool waitForAcknowledgement(DeviceHandle device, int stallTimeoutMs, const char* deviceName) {
    long left = socketPlatformUnacknowledged(device->system, device->written);
    int64_t deadline = monotonicMilliseconds() + stallTimeoutMs;
    bool closedByPrinter = false;
    while (left > 0) {
        int64_t now = monotonicMilliseconds();
        if (now >= deadline) {
            fprintf(stderr, "Writing to printer device '%s' failed: the printer took no data for %d ms\n", deviceName,
                    stallTimeoutMs);
            return false;
        }
        int waitMs = ACKNOWLEDGE_POLL_MS < deadline - now ? ACKNOWLEDGE_POLL_MS : (int)(deadline - now);
        char dropped[256];
        if (closedByPrinter || deviceSocketReadWithin(device, dropped, sizeof(dropped), waitMs) < 0) {
            closedByPrinter = true;
            usleep((useconds_t)waitMs * 1000);
        }
        long nowLeft = socketPlatformUnacknowledged(device->system, device->written);
        if (nowLeft < left) {
            deadline = monotonicMilliseconds() + stallTimeoutMs;
        }
        left = nowLeft;
    }
    if (left < -1) {
        fprintf(stderr, "Writing to printer device '%s' failed: the printer reset the connection\n", deviceName);
        return false;
    }
    return true;
}

bool deviceCloseSocket(DeviceHandle device, int stallTimeoutMs, const char* deviceName) {
    bool whole = stallTimeoutMs <= 0 || waitForAcknowledgement(device, stallTimeoutMs, deviceName);
    // Only a job that went through is drained: a status request's replies
    // have all been read or waited out, and it must answer in time.
    if (socketPlatformShutdownSending(device->system) && stallTimeoutMs > 0) {
        // Closing on unread bytes would reset the connection, and a printer
        // may drop what it holds on a reset.
        int64_t deadline = monotonicMilliseconds() + CLOSE_DRAIN_MS;
        char dropped[256];
        while (monotonicMilliseconds() < deadline &&
               deviceSocketReadWithin(device, dropped, sizeof(dropped), (int)(deadline - monotonicMilliseconds())) >
                   0) {
        }
    }
    socketPlatformClose(device->system);
    free(device);
    return whole;
}

// ---- What every kind shares -------------------------------------------------

DeviceHandle deviceWrap(intptr_t system, DeviceKind kind, bool readable) {
    Device* device = (Device*)calloc(1, sizeof(Device));
    if (NULL == device) {
        fprintf(stderr, "Out of memory: could not keep an open printer device\n");
        if (kind == DEVICE_KIND_SOCKET) {
            socketPlatformClose(system);
        } else {
            deviceCloseSystemHandle(system);
        }
        return DEVICE_CLOSED;
    }
    device->system = system;
    device->kind = kind;
    device->readable = readable;
    return device;
}

bool deviceCanAnswer(DeviceHandle device) {
    return device->readable && device->kind != DEVICE_KIND_FILE;
}

bool deviceIsSocket(DeviceHandle device) {
    return device->kind == DEVICE_KIND_SOCKET;
}

bool deviceClose(DeviceHandle device, int stallTimeoutMs, const char* deviceName) {
    if (device->kind == DEVICE_KIND_SOCKET) {
        return deviceCloseSocket(device, stallTimeoutMs, NULL == deviceName ? "" : deviceName);
    }
    deviceCloseSystemHandle(device->system);
    free(device);
    return true;
}
