// escpos.cpp: the printer output channel. One job at a time holds the
// printer: a job that opens while another is open waits until that one
// closes. A job belongs to the thread that opened it, so a thread whose job
// failed (or never opened) cannot touch another thread's job.
#include "escpos.h"

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

// A job waiting for the printer; lives on the waiting thread's stack.
struct Waiter {
    pthread_cond_t yourTurn;
    bool handedOver;
    Waiter* next;
};

struct Channel {
    pthread_mutex_t lock;
    // Under lock: a job holds the printer, and the jobs waiting for it in the
    // order they asked. A finished job hands the printer straight to the
    // first waiter, so jobs print in order and only that one thread wakes.
    bool busy;
    Waiter* firstWaiter;
    Waiter* lastWaiter;
    size_t waiting;
    DeviceHandle hPort;   // touched only by the thread that holds the printer
    char deviceName[64];  // for messages, likewise

    Channel() : busy(false), firstWaiter(NULL), lastWaiter(NULL), waiting(0), hPort(DEVICE_CLOSED), deviceName() {
        pthread_mutex_init(&lock, NULL);
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
    if (ch.busy) {
        Waiter self;
        pthread_cond_init(&self.yourTurn, NULL);
        self.handedOver = false;
        self.next = NULL;
        if (NULL == ch.lastWaiter) {
            ch.firstWaiter = &self;
        } else {
            ch.lastWaiter->next = &self;
        }
        ch.lastWaiter = &self;
        ch.waiting++;
        while (!self.handedOver) {
            pthread_cond_wait(&self.yourTurn, &ch.lock);
        }
        pthread_cond_destroy(&self.yourTurn);
    }
    ch.busy = true;
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
    Waiter* next = ch.firstWaiter;
    if (NULL == next) {
        ch.busy = false;
    } else {
        ch.firstWaiter = next->next;
        if (NULL == ch.firstWaiter) {
            ch.lastWaiter = NULL;
        }
        ch.waiting--;
        next->handedOver = true; // busy stays true: the printer passes straight on
        pthread_cond_signal(&next->yourTurn);
    }
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
    size_t waiting = ch.waiting;
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
