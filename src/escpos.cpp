// escpos.cpp: the printer output channel. One job at a time holds the
// printer: a job that opens while another is open waits until that one
// closes. A job belongs to the thread that opened it, so a thread whose job
// failed (or never opened) cannot touch another thread's job.
#include "escpos.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>

#include "device.h"
#include "usb.h"
#include "webserver.h"

static std::atomic<int> stallTimeoutMilliseconds{ESCPOS_WRITE_STALL_TIMEOUT_MS};
static std::atomic<int> waitTimeoutMilliseconds{ESCPOS_WAIT_TIMEOUT_MS};

void escposSetStallTimeoutForTesting(int milliseconds) {
    stallTimeoutMilliseconds.store(milliseconds);
}

void escposSetWaitTimeoutForTesting(int milliseconds) {
    waitTimeoutMilliseconds.store(milliseconds);
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
    std::atomic<bool> anyWaiting; // waiting > 0, readable without the lock
    DeviceHandle hPort;           // touched only by the thread that holds the printer
    char deviceName[64];          // for messages, likewise

    Channel()
        : busy(false), firstWaiter(NULL), lastWaiter(NULL), waiting(0), anyWaiting(false), hPort(DEVICE_CLOSED),
          deviceName() {
        pthread_mutex_init(&lock, NULL);
    }
};

Channel& channel() {
    static Channel theChannel;
    return theChannel;
}

// Whether the calling thread holds the printer.
thread_local bool threadHoldsPrinter = false;

void unlinkWaiter(Channel& ch, Waiter* waiter) {
    Waiter* previous = NULL;
    for (Waiter* at = ch.firstWaiter; at != NULL; previous = at, at = at->next) {
        if (at == waiter) {
            if (NULL == previous) {
                ch.firstWaiter = at->next;
            } else {
                previous->next = at->next;
            }
            if (ch.lastWaiter == at) {
                ch.lastWaiter = previous;
            }
            ch.waiting--;
            ch.anyWaiting.store(ch.waiting > 0);
            return;
        }
    }
}

// Takes the printer, waiting in line for at most timeoutMs; *waited (may be
// null) tells whether it had to wait. False when the time ran out: the
// waiter has then left the line and holds nothing.
bool takePrinterWithin(Channel& ch, int timeoutMs, bool* waited = NULL) {
    pthread_mutex_lock(&ch.lock);
    if (NULL != waited) {
        *waited = ch.busy;
    }
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
        ch.anyWaiting.store(true);
        auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!self.handedOver) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(giveUpAt - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            condWaitMilliseconds(&self.yourTurn, &ch.lock, (int)left.count());
        }
        bool handedOver = self.handedOver; // a hand-over at the last moment still counts
        if (!handedOver) {
            unlinkWaiter(ch, &self);
        }
        pthread_cond_destroy(&self.yourTurn);
        if (!handedOver) {
            pthread_mutex_unlock(&ch.lock);
            return false;
        }
    }
    ch.busy = true;
    pthread_mutex_unlock(&ch.lock);
    threadHoldsPrinter = true;
    return true;
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
        ch.anyWaiting.store(ch.waiting > 0);
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

bool escposJobIsWaiting(void) {
    return channel().anyWaiting.load();
}

ssize_t escposStartJob(const char* device, const char* data, ssize_t len, bool (*stillWanted)(void*), void* context) {
    Channel& ch = channel();
    if (threadHoldsPrinter) {
        releasePrinter(ch); // this thread's earlier job never closed
    }
    bool waited = false;
    if (!takePrinterWithin(ch, waitTimeoutMilliseconds.load(), &waited)) {
        return ESCPOS_PRINTER_BUSY;
    }
    if (waited && NULL != stillWanted && !stillWanted(context)) {
        releasePrinter(ch);
        return ESCPOS_JOB_NOT_WANTED;
    }
    ch.hPort = openDevice(device);
    if (ch.hPort == DEVICE_CLOSED) {
        releasePrinter(ch);
        return 0;
    }
    snprintf(ch.deviceName, sizeof(ch.deviceName), "%s", device);
    return escpos_print(device, 3, data, len);
}

ssize_t escpos_print(const char* device, unsigned int state, const char* data, ssize_t len) {
    Channel& ch = channel();
    if (state == 1) {
        return escposStartJob(device, data, len, NULL, NULL);
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
