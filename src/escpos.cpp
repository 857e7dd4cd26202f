// escpos.cpp: the printer output channel. One job at a time holds the
// printer: a job that opens while another is open waits until that one
// closes. A job belongs to the thread that opened it, so a thread whose job
// failed (or never opened) cannot touch another thread's job.
#include "escpos.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "device.h"
#include "usb.h"
#include "webserver.h"

static std::atomic<int> stallTimeoutMilliseconds{ESCPOS_WRITE_STALL_TIMEOUT_MS};

void escposSetStallTimeoutForTesting(int milliseconds) {
    stallTimeoutMilliseconds.store(milliseconds);
}

namespace {

struct Channel {
    pthread_mutex_t lock;
    pthread_cond_t released;
    // Jobs get the printer in the order they asked for it: each takes a
    // ticket, and the printer serves the tickets in turn (under lock).
    uint64_t nextTicket;
    uint64_t nowServing;
    DeviceHandle hPort;   // touched only by the thread that holds the printer
    char deviceName[64];  // for messages, likewise

    Channel() : nextTicket(0), nowServing(0), hPort(DEVICE_CLOSED), deviceName() {
        pthread_mutex_init(&lock, NULL);
        pthread_cond_init(&released, NULL);
    }
};

Channel& channel() {
    static Channel theChannel;
    return theChannel;
}

// Whether the calling thread holds the printer.
thread_local bool threadHoldsPrinter = false;

void takePrinter(Channel& ch) {
    pthread_mutex_lock(&ch.lock);
    uint64_t ticket = ch.nextTicket++;
    while (ticket != ch.nowServing) {
        pthread_cond_wait(&ch.released, &ch.lock);
    }
    pthread_mutex_unlock(&ch.lock);
    threadHoldsPrinter = true;
}

// Closes the job's device, if open, and lets the next job have the printer.
void releasePrinter(Channel& ch) {
    if (ch.hPort != DEVICE_CLOSED) {
        deviceClose(ch.hPort);
        ch.hPort = DEVICE_CLOSED;
    }
    threadHoldsPrinter = false;
    pthread_mutex_lock(&ch.lock);
    ch.nowServing++;
    pthread_cond_broadcast(&ch.released);
    pthread_mutex_unlock(&ch.lock);
}

DeviceHandle openDevice(const char* device) {
    if (0 == strncmp(device, "vid_", 4)) {
        return usb_open(device);
    }
    char path[ESCPOS_DEVICE_PATH_CAPACITY];
    devicePathFromName(device, path, sizeof(path));
    return deviceOpenExclusive(path);
}

} // namespace

size_t escposJobsWaitingForTesting(void) {
    Channel& ch = channel();
    pthread_mutex_lock(&ch.lock);
    uint64_t holding = ch.nextTicket > ch.nowServing ? 1 : 0;
    size_t waiting = (size_t)(ch.nextTicket - ch.nowServing - holding);
    pthread_mutex_unlock(&ch.lock);
    return waiting;
}

ssize_t escpos_print(const char* device, unsigned int state, const char* data, ssize_t len) {
    Channel& ch = channel();
    if (state == 1) {
        if (threadHoldsPrinter) {
            releasePrinter(ch); // this thread's earlier job never closed
        }
        takePrinter(ch);
        ch.hPort = openDevice(device);
        if (ch.hPort == DEVICE_CLOSED) {
            releasePrinter(ch);
            return 0;
        }
        snprintf(ch.deviceName, sizeof(ch.deviceName), "%s", device);
    }
    if (!threadHoldsPrinter) {
        return len;
    }
    if (len > 0) {
        if (!deviceWriteAll(ch.hPort, data, (size_t)len, stallTimeoutMilliseconds.load(), ch.deviceName)) {
            releasePrinter(ch);
            return -1;
        }
        return len;
    }
    releasePrinter(ch);
    return len;
}
