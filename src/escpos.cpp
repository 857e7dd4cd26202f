// escpos.cpp: the printer output channel. One job at a time holds the
// printer: a job that opens while another is open waits, in line and for a
// bounded time, until that one closes. The line is fair between peer
// addresses: each address in turn gets the printer for its next job. A job belongs to the thread that opened it, so a
// thread whose job failed (or never opened) cannot touch another thread's job. Status requests (DLE EOT n) take the
// printer the same way, because a printer also acts on those bytes inside another job's image data.
#include "escpos.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <string>

#include "device.h"
#include "usb.h"
#include "webserver.h"

namespace {

// Printers remembered as not answering; more distinct names than this in
// one period only cost the oldest one an extra reply timeout.
const size_t MUTE_MEMORY_ENTRIES = 8;
// Stale bytes are dropped in reads of this size, at most this many times, so
// that a device that never stops sending cannot hold the job.
const size_t DRAIN_READ_BYTES = 256;
const int DRAIN_MAX_READS = 16;
// How long a thread whose job took the printer goes on printing the whole
// jobs next in line for their threads (its own answer waits meanwhile).
const int64_t PRINT_FOR_OTHERS_MS = 2;

// Whether a device ever answered, or when to ask one that never did again.
struct MutePrinter {
    char deviceName[DEVICE_PATH_CAPACITY];
    int64_t askAgainAtMs;
    bool answered;
};

// A web job whose bytes are all there: the thread whose job ends before it
// may print it for its owner (see releasePrinter). Lives on the owner's stack.
struct WholeJob {
    const char* device;
    const char* data;
    ssize_t len;
    bool (*goesOn)(void*, bool);
    void* context;
    EscposLimits limits;
    // What printing it came to, set by whichever thread printed it.
    ssize_t printed;
    PrinterRefusal refusal;
    const char* seen;
    bool endedWhole;
};

// A job waiting for the printer; lives on the waiting thread's stack. The
// flags are set under the channel's lock before yourTurn is posted.
struct Waiter {
    ThreadWake yourTurn;
    bool handedOver;
    bool prints;        // a job to print, not a status request
    bool refusedByStop; // taken out of the line by escposBeginStop
    // A whole job (or null), and whether another thread took it to print:
    // yourTurn is then posted once it has been printed.
    WholeJob* whole;
    bool printedForIt;
    int64_t giveUpAtMs;
    std::string peer;
    Waiter* next;
};

struct Channel {
    pthread_mutex_t lock;
    // Under lock: a job holds the printer, and the jobs waiting for it in the
    // order they asked. A finished job hands the printer straight to the
    // first waiter of the next address in rotation, so one address's jobs
    // print in order, no address waits behind more than one job of each
    // other, and only that one thread wakes.
    bool busy;
    Waiter* firstWaiter;
    Waiter* lastWaiter;
    size_t waiting;
    size_t printingWaiting;           // of them, jobs to print
    std::deque<std::string> rotation; // the addresses with jobs waiting, next first
    std::string holderPeer;
    EscposLimits limits;                   // under lock: those of the next job to ask
    std::atomic<bool> anyWaiting;          // printingWaiting > 0, readable without the lock
    EscposLimits job;                      // the holder's limits, taken with the printer
    DeviceHandle hPort;                    // touched only by the thread that holds the printer
    char deviceName[DEVICE_PATH_CAPACITY]; // for messages, likewise
    bool hPortAnswers;                     // likewise: the open device may send replies
    MutePrinter mute[MUTE_MEMORY_ENTRIES]; // likewise
    // Likewise: the serial line's speed (0: none), when the bytes written so
    // far will have left it (kept from job to job: the line goes on sending),
    // and when a job last wrote.
    long lineBytesPerSecond;
    int64_t lineFreeAtMs;
    int64_t lastWriteMs;
    // Likewise: a status request that could not wait out a late reply in its
    // budget leaves it to the next job on that device, until then.
    char staleDevice[DEVICE_PATH_CAPACITY];
    int64_t staleUntilMs;
    // The raw job's reply forwarder; started and joined by the holder, and
    // reads hPort, sink and sinkContext only between the two.
    bool forwarding;
    pthread_t forwarder;
    std::atomic<bool> stopForwarding;
    std::atomic<bool> forwarderEnded; // it stopped by itself: the client takes no more
    EscposReplySink sink;
    void* sinkContext;
    // Under lock: a stop has begun, and when its grace period ends.
    bool stopping;
    int64_t stopGraceEndsAtMs; // on the monotonic clock

    Channel()
        : busy(false), firstWaiter(NULL), lastWaiter(NULL), waiting(0), printingWaiting(0), anyWaiting(false),
          hPort(DEVICE_CLOSED), deviceName(), hPortAnswers(false), mute(), lineBytesPerSecond(0), lineFreeAtMs(0),
          lastWriteMs(0), staleDevice(), staleUntilMs(0), forwarding(false), forwarder(), stopForwarding(false),
          forwarderEnded(false), sink(NULL), sinkContext(NULL), stopping(false), stopGraceEndsAtMs(0) {
        pthread_mutex_init(&lock, NULL);
    }
};

Channel& channel() {
    static Channel theChannel;
    return theChannel;
}

// Whether the calling thread holds the printer.
thread_local bool threadHoldsPrinter = false;
// The peer address of the jobs this thread opens.
thread_local std::string peerOfThisThread;

bool peerHasWaiter(const Channel& ch, const std::string& peer) {
    for (const Waiter* at = ch.firstWaiter; at != NULL; at = at->next) {
        if (at->peer == peer) {
            return true;
        }
    }
    return false;
}

void leaveRotation(Channel& ch, const std::string& peer) {
    for (std::deque<std::string>::iterator at = ch.rotation.begin(); at != ch.rotation.end(); ++at) {
        if (*at == peer) {
            ch.rotation.erase(at);
            return;
        }
    }
}

// The waiter no longer waits; under the lock.
void leaveCount(Channel& ch, const Waiter* waiter) {
    ch.waiting--;
    ch.printingWaiting -= waiter->prints ? 1 : 0;
    ch.anyWaiting.store(ch.printingWaiting > 0);
}

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
            leaveCount(ch, waiter);
            if (!peerHasWaiter(ch, waiter->peer)) {
                leaveRotation(ch, waiter->peer);
            }
            return;
        }
    }
}

// The limits in force for a job that asks now.
EscposLimits limitsNow(Channel& ch) {
    pthread_mutex_lock(&ch.lock);
    EscposLimits limits = ch.limits;
    pthread_mutex_unlock(&ch.lock);
    return limits;
}

// Takes the printer with `limits` as the job's, waiting in line for at most
// timeoutMs; prints tells a job to print from a status request, and *waited
// (may be null) whether it had to wait. False when the time ran out, or a
// stop refused the job (*refusedByStop, may be null): the waiter has then
// left the line and holds nothing.
bool takePrinterWithin(Channel& ch, const EscposLimits& limits, int timeoutMs, bool prints, bool* waited = NULL,
                       bool* refusedByStop = NULL, WholeJob* whole = NULL, bool* printedForIt = NULL) {
    pthread_mutex_lock(&ch.lock);
    if (NULL != waited) {
        *waited = ch.busy;
    }
    int64_t giveUpAt = monotonicMilliseconds() + timeoutMs;
    bool stopEndsTheWait = ch.stopping && ch.stopGraceEndsAtMs <= giveUpAt;
    if (stopEndsTheWait) {
        giveUpAt = ch.stopGraceEndsAtMs; // no job starts once the stop's grace period is over
    }
    if (stopEndsTheWait && giveUpAt <= monotonicMilliseconds()) {
        pthread_mutex_unlock(&ch.lock);
        if (NULL != refusedByStop) {
            *refusedByStop = true;
        }
        return false;
    }
    if (ch.busy) {
        Waiter self;
        threadWakeInit(&self.yourTurn);
        self.handedOver = false;
        self.prints = prints;
        self.refusedByStop = false;
        self.whole = whole;
        self.printedForIt = false;
        self.giveUpAtMs = giveUpAt;
        self.peer = peerOfThisThread;
        self.next = NULL;
        if (!peerHasWaiter(ch, self.peer)) {
            ch.rotation.push_back(self.peer);
        }
        if (NULL == ch.lastWaiter) {
            ch.firstWaiter = &self;
        } else {
            ch.lastWaiter->next = &self;
        }
        ch.lastWaiter = &self;
        ch.waiting++;
        ch.printingWaiting += prints ? 1 : 0;
        ch.anyWaiting.store(ch.printingWaiting > 0);
        int64_t left = giveUpAt - monotonicMilliseconds();
        pthread_mutex_unlock(&ch.lock);
        // Woken, the job holds the printer (busy and holderPeer already say
        // so) or has been taken out of the line: no lock is needed for either.
        bool woken = left > 0 && threadWakeWait(&self.yourTurn, (int)left);
        if (!woken) {
            pthread_mutex_lock(&ch.lock);
            // A hand-over or refusal at the last moment still counts; it was posted under the lock.
            if (!self.handedOver && !self.refusedByStop) {
                unlinkWaiter(ch, &self);
            }
            bool beingPrinted = self.printedForIt;
            pthread_mutex_unlock(&ch.lock);
            // Taken to be printed before the time ran out: the post comes
            // when it has been, within the job's own device limits.
            while (beingPrinted && !threadWakeWait(&self.yourTurn, 60000)) {
            }
        }
        threadWakeDestroy(&self.yourTurn);
        if (self.printedForIt) {
            *printedForIt = true;
            return false;
        }
        if (!self.handedOver) {
            if (NULL != refusedByStop) {
                *refusedByStop = self.refusedByStop || stopEndsTheWait;
            }
            return false;
        }
    } else {
        ch.busy = true;
        ch.holderPeer = peerOfThisThread;
        pthread_mutex_unlock(&ch.lock);
    }
    ch.job = limits;
    threadHoldsPrinter = true;
    return true;
}

void stopForwardingReplies(Channel& ch) {
    if (!ch.forwarding) {
        return;
    }
    ch.stopForwarding.store(true);
    pthread_join(ch.forwarder, NULL);
    ch.forwarding = false;
}

// Closes the job's device, if open, and lets the next job have the printer.
// With whole set, a network printer's close first waits (within the stall
// limit) for the printer to acknowledge every byte; false when it did not.
// With printsNext set, a whole job that is next in line is not handed to
// its sleeping thread: *printsNext is then its waiter, for the caller to
// print and post (the printer stays held for it), else null.
bool releasePrinter(Channel& ch, bool whole = false, Waiter** printsNext = NULL) {
    if (NULL != printsNext) {
        *printsNext = NULL;
    }
    stopForwardingReplies(ch);
    bool arrived = true;
    if (ch.hPort != DEVICE_CLOSED) {
        arrived = deviceClose(ch.hPort, whole ? ch.job.writeStallMs : 0, ch.deviceName);
        ch.hPort = DEVICE_CLOSED;
    }
    threadHoldsPrinter = false;
    pthread_mutex_lock(&ch.lock);
    // The address that just printed goes behind every other that waits.
    if (peerHasWaiter(ch, ch.holderPeer)) {
        leaveRotation(ch, ch.holderPeer);
        ch.rotation.push_back(ch.holderPeer);
    }
    Waiter* next = NULL;
    Waiter* previous = NULL;
    if (!ch.rotation.empty()) {
        for (next = ch.firstWaiter; next != NULL && next->peer != ch.rotation.front(); next = next->next) {
            previous = next;
        }
    }
    if (NULL == next) {
        ch.busy = false;
    } else {
        if (NULL == previous) {
            ch.firstWaiter = next->next;
        } else {
            previous->next = next->next;
        }
        if (ch.lastWaiter == next) {
            ch.lastWaiter = previous;
        }
        leaveCount(ch, next);
        ch.rotation.pop_front();
        if (peerHasWaiter(ch, next->peer)) {
            ch.rotation.push_back(next->peer);
        }
        ch.holderPeer = next->peer;
        next->handedOver = true; // busy stays true: the printer passes straight on
        if (NULL != printsNext && NULL != next->whole && monotonicMilliseconds() < next->giveUpAtMs) {
            next->printedForIt = true;
            *printsNext = next;
        } else {
            threadWakePost(&next->yourTurn);
        }
    }
    pthread_mutex_unlock(&ch.lock);
    return arrived;
}

DeviceHandle openDevice(const char* device, int connectTimeoutMs) {
    if (deviceNameIsSocket(device)) {
        return deviceOpenSocket(device, connectTimeoutMs);
    }
    if (0 == strncmp(device, "vid_", 4)) {
        return usb_open(device);
    }
    char path[DEVICE_PATH_CAPACITY];
    if (!devicePathFromName(device, path, sizeof(path))) {
        fprintf(stderr, "Cannot open printer device '%s': the name is too long for this system\n", device);
        return DEVICE_CLOSED;
    }
    return deviceOpenExclusive(path);
}

void sleepMilliseconds(int64_t milliseconds) {
    if (milliseconds > 0) {
        usleep((useconds_t)(milliseconds * 1000));
    }
}

// Writes for the holder's job and notes when the bytes will have left a
// serial line, which sends them at its speed after write() took them. The
// estimate only lengthens the wait for a reply (which cannot come before
// its request has left), never the wait before a job, and it never makes a
// line busy: that comes from what its driver still holds.
bool writeToPrinter(Channel& ch, const char* data, size_t length, int stallTimeoutMs) {
    if (!deviceWriteAll(ch.hPort, data, length, stallTimeoutMs, ch.deviceName)) {
        return false;
    }
    int64_t now = monotonicMilliseconds();
    ch.lastWriteMs = now;
    if (ch.lineBytesPerSecond > 0) {
        ch.lineFreeAtMs =
            (ch.lineFreeAtMs > now ? ch.lineFreeAtMs : now) + (int64_t)length * 1000 / ch.lineBytesPerSecond;
    }
    return true;
}

// When the last bytes written reach the printer, as far as it is known:
// never later than a write stall after they were written.
int64_t lastBytesLeaveAtMs(Channel& ch) {
    int64_t latest = ch.lastWriteMs + ch.job.writeStallMs;
    int64_t estimate = ch.lineFreeAtMs < latest ? ch.lineFreeAtMs : latest;
    return estimate > ch.lastWriteMs ? estimate : ch.lastWriteMs;
}

// Whether the line's driver has sent what it holds within limitMs. A driver
// that goes on holding bytes a stall limit after the last write is held by
// flow control, not busy: it is asked, and what does not answer says so.
bool lineFreeWithin(Channel& ch, int limitMs) {
    return monotonicMilliseconds() - ch.lastWriteMs > ch.job.writeStallMs || deviceWaitUntilSent(ch.hPort, limitMs);
}

// Replies left from before this job belong to nobody who is still asking;
// a late reply that a status request left is waited for until its time (at
// most until notAfterMs). False when the device cannot be read at all (a
// printer port that only takes bytes, a handle opened write-only): it then
// never answers.
bool dropStaleReplies(Channel& ch, const char* device, int64_t notAfterMs) {
    char stale[DRAIN_READ_BYTES];
    int64_t until = 0 == strcmp(device, ch.staleDevice) ? ch.staleUntilMs : 0;
    until = until < notAfterMs ? until : notAfterMs;
    for (int i = 0; i < DRAIN_MAX_READS; i++) {
        int64_t left = until - monotonicMilliseconds();
        ssize_t got = deviceReadWithin(ch.hPort, stale, sizeof(stale), left > 0 ? (int)left : 0);
        if (got < 0) {
            return false;
        }
        if (got == 0 && left <= 0) {
            break;
        }
    }
    if (monotonicMilliseconds() >= ch.staleUntilMs) {
        ch.staleDevice[0] = '\0';
    }
    return true;
}

// Whether a late reply that a status request left may still come from device.
bool staleRepliesPending(Channel& ch, const char* device) {
    return 0 == strcmp(device, ch.staleDevice) && monotonicMilliseconds() < ch.staleUntilMs;
}

// Opens the holder's job on device, a network printer within connectMs;
// stale replies are waited for until notAfterMs at most. False (printer
// released) when it cannot be opened.
bool openJob(Channel& ch, const char* device, int connectMs, int64_t notAfterMs) {
    ch.hPort = openDevice(device, connectMs);
    if (ch.hPort == DEVICE_CLOSED) {
        releasePrinter(ch);
        return false;
    }
    snprintf(ch.deviceName, sizeof(ch.deviceName), "%s", device);
    ch.hPortAnswers = deviceCanAnswer(ch.hPort) && dropStaleReplies(ch, device, notAfterMs);
    ch.lineBytesPerSecond = deviceLineBytesPerSecond(ch.hPort);
    return true;
}

// Takes the printer for a new job of the calling thread, waiting in line at
// most the wait limit, and opens device for it. 1 when the job is open;
// otherwise ESCPOS_PRINTER_BUSY, ESCPOS_SERVER_STOPPING or 0 (cannot be
// opened), with nothing held. A network printer's name is looked up before
// the job joins the line, so that the printer is never held for a lookup.
ssize_t openNewJob(Channel& ch, const char* device) {
    if (threadHoldsPrinter) {
        releasePrinter(ch); // this thread's earlier job never closed
    }
    EscposLimits limits = limitsNow(ch);
    if (deviceNameIsSocket(device)) {
        deviceSocketLookUp(device, limits.connectMs);
    }
    bool refusedByStop = false;
    if (!takePrinterWithin(ch, limits, limits.waitMs, true, NULL, &refusedByStop)) {
        return refusedByStop ? ESCPOS_SERVER_STOPPING : ESCPOS_PRINTER_BUSY;
    }
    return openJob(ch, device, limits.connectMs, INT64_MAX) ? 1 : 0;
}

// Every status reply has bits 1 and 4 set and bits 0 and 7 clear.
bool isStatusReply(unsigned char byte) {
    return (byte & 0x93) == 0x12;
}

// After a request went unanswered by dueAtMs its reply may still come: it is
// waited for (one more reply time) and dropped with what closely follows
// it, so that it is never taken for the answer to a later request. What
// notAfterMs leaves no time for is left to the next job's open.
void waitOutLateReply(Channel& ch, int64_t dueAtMs, int64_t notAfterMs) {
    int64_t until = dueAtMs + ch.job.statusReplyMs;
    char late[DRAIN_READ_BYTES];
    for (int i = 0; i < DRAIN_MAX_READS; i++) {
        int64_t stop = until < notAfterMs ? until : notAfterMs;
        int64_t left = stop - monotonicMilliseconds();
        if (left <= 0 || deviceReadWithin(ch.hPort, late, sizeof(late), (int)left) <= 0) {
            break;
        }
        until = monotonicMilliseconds() + ch.job.replyGatherMs;
    }
    if (monotonicMilliseconds() < until) {
        snprintf(ch.staleDevice, sizeof(ch.staleDevice), "%s", ch.deviceName);
        ch.staleUntilMs = until;
    }
}

// Sends DLE EOT n and waits for its reply byte, giving up by notAfterMs at
// the latest; -1 when none came in time.
int askOnce(Channel& ch, int n, int64_t notAfterMs = INT64_MAX) {
    const char request[3] = {0x10, 0x04, (char)n};
    int timeoutMs = ch.job.statusReplyMs;
    if (!writeToPrinter(ch, request, sizeof(request), timeoutMs)) {
        return -1;
    }
    // The time starts when the request has left: after what the line still held.
    int64_t due = lastBytesLeaveAtMs(ch) + timeoutMs;
    int64_t deadline = due < notAfterMs ? due : notAfterMs;
    for (;;) {
        int64_t left = deadline - monotonicMilliseconds();
        char reply[16];
        ssize_t got = left < 0 ? 0 : deviceReadWithin(ch.hPort, reply, sizeof(reply), (int)left);
        if (got == 0) {
            waitOutLateReply(ch, due, notAfterMs);
        }
        if (got <= 0) {
            return -1;
        }
        // Anything that is not a reply (line noise) is passed over; the last
        // reply of the read is the freshest.
        for (ssize_t i = got - 1; i >= 0; i--) {
            if (isStatusReply((unsigned char)reply[i])) {
                return (unsigned char)reply[i];
            }
        }
    }
}

MutePrinter* muteEntry(Channel& ch, const char* device) {
    for (MutePrinter& entry : ch.mute) {
        if (entry.deviceName[0] != '\0' && 0 == strcmp(entry.deviceName, device)) {
            return &entry;
        }
    }
    return NULL;
}

// One rule for status requests and job checks: a printer counts as not
// answering only when it never gave a valid reply, so that one timeout (a
// busy line, a late reply) does not switch the job check off.
void rememberAnswering(Channel& ch, const char* device, bool answered) {
    MutePrinter* entry = muteEntry(ch, device);
    if (NULL == entry) {
        entry = &ch.mute[0];
        for (MutePrinter& candidate : ch.mute) {
            if (candidate.deviceName[0] == '\0' || candidate.askAgainAtMs < entry->askAgainAtMs) {
                entry = &candidate;
            }
        }
        snprintf(entry->deviceName, sizeof(entry->deviceName), "%s", device);
        entry->answered = false;
        entry->askAgainAtMs = 0;
    }
    if (answered) {
        entry->answered = true;
        entry->askAgainAtMs = 0;
    } else if (!entry->answered) {
        entry->askAgainAtMs = monotonicMilliseconds() + ch.job.muteRecheckMs;
    }
}

bool rememberedMute(Channel& ch, const char* device) {
    MutePrinter* entry = muteEntry(ch, device);
    return NULL != entry && !entry->answered && monotonicMilliseconds() < entry->askAgainAtMs;
}

bool answeredBefore(Channel& ch, const char* device) {
    MutePrinter* entry = muteEntry(ch, device);
    return NULL != entry && entry->answered;
}

// The forwarder: reads the printer's replies as they come, whether or not
// the client reads them, and hands them on as far as the client takes them.
// Once the job ends, what still waits gets at most a stall limit.
void* forwardReplies(void* channelPointer) {
    Channel& ch = *(Channel*)channelPointer;
    const EscposLimits& limits = ch.job;
    std::string pending;
    size_t dropped = 0;
    int64_t giveUpAt = INT64_MAX;
    for (;;) {
        bool stopping = ch.stopForwarding.load();
        if (stopping && giveUpAt == INT64_MAX) {
            giveUpAt = monotonicMilliseconds() + limits.writeStallMs;
        }
        if (stopping && (pending.empty() || monotonicMilliseconds() >= giveUpAt)) {
            break;
        }
        char replies[256];
        ssize_t got = 0;
        if (!stopping) {
            got = deviceReadWithin(ch.hPort, replies, sizeof(replies), limits.replyPollMs);
            // A printer answers several requests one byte after the other; a
            // client that reads them as one answer gets them in one send.
            while (got > 0 && (size_t)got < sizeof(replies)) {
                ssize_t more =
                    deviceReadWithin(ch.hPort, replies + got, sizeof(replies) - (size_t)got, limits.replyGatherMs);
                if (more <= 0) {
                    break;
                }
                got += more;
            }
            if (got < 0) {
                ch.stopForwarding.store(true); // the printer has nothing more to say
                continue;
            }
        } else {
            sleepMilliseconds(limits.replyPollMs);
        }
        size_t room = limits.replyPendingBytes > pending.size() ? limits.replyPendingBytes - pending.size() : 0;
        size_t kept = (size_t)got < room ? (size_t)got : room;
        pending.append(replies, kept);
        dropped += (size_t)got - kept;
        if (!pending.empty()) {
            ssize_t taken = ch.sink(ch.sinkContext, pending.data(), pending.size());
            if (taken < 0) {
                break; // the client takes no more
            }
            pending.erase(0, (size_t)taken);
            if (taken == 0 && !stopping && got == 0) {
                sleepMilliseconds(limits.replyPollMs); // the device read waited already when it had bytes
            }
        }
    }
    if (dropped > 0 || !pending.empty()) {
        fprintf(stderr, "Dropped %zu bytes of the printer's replies to '%s': the raw client did not read them\n",
                dropped + pending.size(), ch.deviceName);
    }
    ch.forwarderEnded.store(true);
    return NULL;
}

// A raw client that has sent all it had (and may have shut its sending side)
// still gets the replies to its last requests: they may take up to a reply
// timeout from when its bytes left.
void waitForLastReplies(Channel& ch) {
    if (!ch.forwarding) {
        return;
    }
    // A driver that tells what it holds is waited for; the estimate of a line
    // speed is not, as a printer posing as a serial port takes bytes far faster.
    int64_t drainStartedAt = monotonicMilliseconds();
    deviceWaitUntilSent(ch.hPort, ch.job.writeStallMs);
    int64_t drainedAt = monotonicMilliseconds();
    int64_t sentAt = drainedAt - drainStartedAt > 1 ? drainedAt : ch.lastWriteMs;
    int64_t until = sentAt + ch.job.statusReplyMs;
    while (monotonicMilliseconds() < until && !ch.forwarderEnded.load()) {
        sleepMilliseconds(ch.job.replyPollMs);
    }
}

// Ends the holder's job: its last replies are waited for, a network
// printer's acknowledgement of every byte too (false when it did not come),
// and the printer passes on (see releasePrinter for printsNext).
bool endJob(Channel& ch, Waiter** printsNext = NULL) {
    waitForLastReplies(ch);
    return releasePrinter(ch, true, printsNext);
}

} // namespace

static int bitOf(int reply, int mask) {
    return reply < 0 ? -1 : (0 != (reply & mask) ? 1 : 0);
}

// 1 when either shows it, 0 when both rule it out, -1 when that is open.
static int eitherOf(int a, int b) {
    return (a == 1 || b == 1) ? 1 : (a == 0 && b == 0) ? 0 : -1;
}

// The states a printer that answered can be in, in the order in which they
// win, and for each whether the replies show it (1), rule it out (0) or
// leave it open (-1).
static const PrinterState SHOWN_STATES[] = {PRINTER_COVER_OPEN, PRINTER_PAPER_OUT, PRINTER_ERROR, PRINTER_OFFLINE};
static void statesShown(const PrinterStatus* status, int shown[4]) {
    const int printer = status->replies[0], offlineCause = status->replies[1], errorCause = status->replies[2],
              paperSensor = status->replies[3];
    shown[0] = bitOf(offlineCause, 0x04);
    shown[1] = eitherOf(bitOf(paperSensor, 0x60), bitOf(offlineCause, 0x20));
    // The error flag of n=2 covers the causes of n=3: its reply alone rules an error out.
    const int errorFlag = bitOf(offlineCause, 0x40);
    shown[2] = bitOf(errorCause, 0x6C) == 1 ? 1 : errorFlag;
    shown[3] = bitOf(printer, 0x08);
}

// What keeps a printer from printing, as its replies show it: the first of
// cover open, paper out and an error that a reply shows, even when a missing
// reply leaves the printer's state undecided.
static PrinterRefusal refusalShownBy(const PrinterStatus* status) {
    static const PrinterRefusal REFUSALS[] = {PRINTER_REFUSES_COVER_OPEN, PRINTER_REFUSES_PAPER_OUT,
                                              PRINTER_REFUSES_ERROR};
    int shown[4];
    statesShown(status, shown);
    for (size_t i = 0; i < sizeof(REFUSALS) / sizeof(REFUSALS[0]); i++) {
        if (shown[i] == 1) {
            return REFUSALS[i];
        }
    }
    return PRINTER_TAKES_JOB;
}

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

void escposSetLimits(const EscposLimits* limits) {
    Channel& ch = channel();
    pthread_mutex_lock(&ch.lock);
    ch.limits = *limits;
    pthread_mutex_unlock(&ch.lock);
}

void escposSetPeerOfThisThread(const char* peer) {
    peerOfThisThread = NULL == peer ? "" : peer;
}

ssize_t escpos_print(const char* device, unsigned int state, const char* data, ssize_t len) {
    Channel& ch = channel();
    if (state == 1) {
        ssize_t opened = openNewJob(ch, device);
        if (opened != 1) {
            return opened;
        }
    }
    if (!threadHoldsPrinter) {
        return len;
    }
    if (len > 0) {
        if (!writeToPrinter(ch, data, (size_t)len, ch.job.writeStallMs)) {
            releasePrinter(ch);
            return -1;
        }
        return len;
    }
    if (len == 0) {
        return endJob(ch) ? 0 : -1;
    }
    releasePrinter(ch);
    return len;
}

namespace {

// Prints a whole job on the thread that holds the printer for it: its
// owner's, or the thread whose job ended just before. The owner's goesOn,
// the open, the check, the bytes and the end, as escposPrintWhole tells; the
// printer is released at the end. Until passUntilMs, the release may pass
// back the whole job next in line (*printsNext) for this thread to print.
void printHeldWholeJob(Channel& ch, WholeJob* job, bool waited, int64_t passUntilMs, Waiter** printsNext) {
    *printsNext = NULL;
    auto passing = [&]() { return monotonicMilliseconds() < passUntilMs ? printsNext : NULL; };
    ch.job = job->limits;
    threadHoldsPrinter = true;
    if (NULL != job->goesOn && !job->goesOn(job->context, waited)) {
        releasePrinter(ch, false, passing());
        job->printed = ESCPOS_JOB_NOT_WANTED;
        return;
    }
    if (!openJob(ch, job->device, job->limits.connectMs, INT64_MAX)) {
        job->printed = 0;
        return;
    }
    if (job->len > 0 && ch.hPortAnswers && !rememberedMute(ch, job->device)) {
        deviceWaitUntilSent(ch.hPort, ch.job.writeStallMs);
        PrinterStatus status;
        status.reach = PRINTER_REACH_OPENED;
        status.replies[0] = -1;
        status.replies[1] = askOnce(ch, 2);
        status.replies[2] = -1;
        status.replies[3] = status.replies[1] < 0 ? -1 : askOnce(ch, 4);
        rememberAnswering(ch, job->device, status.replies[1] >= 0);
        job->refusal = refusalShownBy(&status);
        static const char* const SEEN[] = {"ready", "cover-open", "paper-out", "error"};
        job->seen = status.replies[1] < 0 ? "no-answer" : SEEN[job->refusal];
        if (job->refusal != PRINTER_TAKES_JOB) {
            releasePrinter(ch, false, passing());
            job->printed = 0;
            return;
        }
    }
    if (job->len > 0 && !writeToPrinter(ch, job->data, (size_t)job->len, ch.job.writeStallMs)) {
        releasePrinter(ch, false, passing());
        job->printed = -1;
        return;
    }
    job->endedWhole = endJob(ch, passing());
    job->printed = job->len > 0 ? job->len : job->endedWhole ? 0 : -1;
}

} // namespace

ssize_t escposPrintWhole(const char* device, const char* data, ssize_t len, bool (*goesOn)(void*, bool), void* context,
                         PrinterRefusal* refusal, const char** seen, bool* endedWhole) {
    Channel& ch = channel();
    if (threadHoldsPrinter) {
        releasePrinter(ch); // this thread's earlier job never closed
    }
    WholeJob job = {device, data, len, goesOn, context, limitsNow(ch), 0, PRINTER_TAKES_JOB, NULL, true};
    if (deviceNameIsSocket(device)) {
        deviceSocketLookUp(device, job.limits.connectMs);
    }
    bool waited = false;
    bool refusedByStop = false;
    bool printedForIt = false;
    if (takePrinterWithin(ch, job.limits, job.limits.waitMs, true, &waited, &refusedByStop, &job, &printedForIt)) {
        // The printer is this job's. Then, while jobs go quickly, the whole
        // jobs next in line are printed here too: each hand-over to a
        // sleeping thread would leave the printer idle until it runs, and
        // under load that wait is longer than a receipt's printing.
        const int64_t passUntilMs = monotonicMilliseconds() + PRINT_FOR_OTHERS_MS;
        Waiter* next = NULL;
        printHeldWholeJob(ch, &job, waited, passUntilMs, &next);
        while (NULL != next) {
            Waiter* owner = next;
            printHeldWholeJob(ch, owner->whole, true, passUntilMs, &next);
            threadWakePost(&owner->yourTurn); // the owner's stack may be gone after this
        }
    } else if (!printedForIt) {
        return refusedByStop ? ESCPOS_SERVER_STOPPING : ESCPOS_PRINTER_BUSY;
    }
    *refusal = job.refusal;
    *seen = job.seen;
    *endedWhole = job.endedWhole;
    return job.printed;
}

PrinterStatus escposAskStatus(const char* deviceOrNull) {
    PrinterStatus status;
    status.reach = PRINTER_REACH_NO_DEVICE;
    for (int& reply : status.replies) {
        reply = -1;
    }
    if (NULL == deviceOrNull) {
        return status;
    }
    Channel& ch = channel();
    if (threadHoldsPrinter) {
        releasePrinter(ch);
    }
    EscposLimits limits = limitsNow(ch);
    int64_t askedAt = monotonicMilliseconds();
    int64_t answerBy = askedAt + limits.statusBudgetMs;
    status.reach = PRINTER_REACH_UNAVAILABLE;
    if (deviceNameIsSocket(deviceOrNull) && !deviceSocketLookUp(deviceOrNull, limits.statusConnectMs)) {
        return status;
    }
    int64_t waitLeft = askedAt + limits.statusPrinterWaitMs - monotonicMilliseconds();
    if (!takePrinterWithin(ch, limits, waitLeft > 0 ? (int)waitLeft : 0, false)) {
        status.reach = PRINTER_REACH_BUSY;
        return status;
    }
    int64_t connectLeft = answerBy - monotonicMilliseconds() - limits.statusReplyMs;
    int connectMs = connectLeft < limits.statusConnectMs ? (int)connectLeft : limits.statusConnectMs;
    if (!openJob(ch, deviceOrNull, connectMs > 0 ? connectMs : 0, answerBy)) {
        return status;
    }
    status.reach = PRINTER_REACH_OPENED;
    waitLeft = askedAt + limits.statusPrinterWaitMs - monotonicMilliseconds();
    if (ch.hPortAnswers && !lineFreeWithin(ch, waitLeft > 0 ? (int)waitLeft : 0)) {
        status.reach = PRINTER_REACH_BUSY; // the line's driver still sends the last job
    } else if (ch.hPortAnswers && !staleRepliesPending(ch, deviceOrNull)) {
        // A request is only sent when its reply can be waited for in time,
        // and none while a reply to an earlier one may still come.
        int asked = 0;
        for (int n = 1; n <= 4 && answerBy - monotonicMilliseconds() >= limits.statusReplyMs; n++) {
            asked++;
            status.replies[n - 1] = askOnce(ch, n, answerBy);
            if (status.replies[n - 1] < 0) {
                break; // a printer that did not answer one will not answer the rest in time
            }
        }
        if (asked > 0 && status.replies[0] < 0 && deviceIsSocket(ch.hPort) && answeredBefore(ch, deviceOrNull)) {
            status.reach = PRINTER_REACH_BUSY; // it took the connection into its queue: it serves another host
        }
        if (asked > 0) {
            rememberAnswering(ch, deviceOrNull, status.replies[0] >= 0);
        }
    }
    releasePrinter(ch);
    return status;
}

PrinterCondition escposConditionOf(const PrinterStatus* status) {
    PrinterCondition condition;
    const int printer = status->replies[0], offlineCause = status->replies[1], errorCause = status->replies[2],
              paperSensor = status->replies[3];
    condition.online = printer < 0 ? -1 : !bitOf(printer, 0x08);
    condition.drawerPin3High = bitOf(printer, 0x04);
    condition.coverOpen = bitOf(offlineCause, 0x04);
    condition.paper = paperSensor < 0             ? NULL
                      : 0 != (paperSensor & 0x60) ? "out"
                      : 0 != (paperSensor & 0x0C) ? "near-end"
                                                  : "ok";
    condition.error = errorCause < 0             ? NULL
                      : 0 != (errorCause & 0x04) ? "mechanical"
                      : 0 != (errorCause & 0x08) ? "autocutter"
                      : 0 != (errorCause & 0x20) ? "unrecoverable"
                      : 0 != (errorCause & 0x40) ? "auto-recoverable"
                                                 : NULL;
    switch (status->reach) {
    case PRINTER_REACH_NO_DEVICE:
        condition.state = PRINTER_NO_DEVICE;
        return condition;
    case PRINTER_REACH_UNAVAILABLE:
        condition.state = PRINTER_UNAVAILABLE;
        return condition;
    case PRINTER_REACH_BUSY:
        condition.state = PRINTER_BUSY;
        return condition;
    case PRINTER_REACH_OPENED:
        break;
    }
    int shown[4];
    statesShown(status, shown);
    condition.state = PRINTER_READY;
    for (size_t i = 0; i < sizeof(SHOWN_STATES) / sizeof(SHOWN_STATES[0]); i++) {
        if (shown[i] != 0) {
            condition.state = shown[i] == 1 ? SHOWN_STATES[i] : PRINTER_NO_ANSWER;
            break;
        }
    }
    return condition;
}

const char* escposStateName(PrinterState state) {
    static const char* const NAMES[] = {"no-device", "unavailable", "busy",    "no-answer", "cover-open",
                                        "paper-out", "error",       "offline", "ready"};
    return NAMES[state];
}

void escposForwardReplies(EscposReplySink sink, void* context) {
    Channel& ch = channel();
    if (!threadHoldsPrinter || ch.hPort == DEVICE_CLOSED || !ch.hPortAnswers || ch.forwarding) {
        return;
    }
    ch.sink = sink;
    ch.sinkContext = context;
    ch.stopForwarding.store(false);
    ch.forwarderEnded.store(false);
    ch.forwarding = 0 == pthread_create(&ch.forwarder, NULL, forwardReplies, &ch);
}

// ---- A graceful stop ----------------------------------------------------------

void escposBeginStop(int graceMs) {
    Channel& ch = channel();
    pthread_mutex_lock(&ch.lock);
    if (!ch.stopping) {
        ch.stopping = true;
        ch.stopGraceEndsAtMs = monotonicMilliseconds() + graceMs;
        // Out of the line at once, so that no hand-over can reach them.
        while (NULL != ch.firstWaiter) {
            Waiter* refused = ch.firstWaiter;
            refused->refusedByStop = true;
            unlinkWaiter(ch, refused);
            threadWakePost(&refused->yourTurn);
        }
    }
    pthread_mutex_unlock(&ch.lock);
}
