// simulated_printer.cpp: the pseudo-terminal printer of simulated_printer.h.
#include "simulated_printer.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace q2test {

static const unsigned char DLE = 0x10, EOT = 0x04;
static const int STOP_POLL_MS = 10;
// What a network printer buffers of a job it does not read.
static const int NETWORK_RECEIVE_BUFFER_BYTES = 4096;

static long long nowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

StatusReplies statusRepliesFor(PrinterMode mode, bool drawerPin3High) {
    // Bits 1 and 4 are set in every reply; bit 3 of n=1 means offline.
    StatusReplies replies = {{0x12, 0x12, 0x12, 0x12}};
    switch (mode) {
    case PrinterMode::Ready:
        break;
    case PrinterMode::PaperNearEnd:
        replies.bytes[3] = 0x1E; // near-end sensor bits 2-3
        break;
    case PrinterMode::PaperOut:
        replies.bytes[0] = 0x1A;
        replies.bytes[1] = 0x32; // stopped by paper end
        replies.bytes[3] = 0x7E; // end sensor bits 5-6, near end bits 2-3 too
        break;
    case PrinterMode::CoverOpen:
        replies.bytes[0] = 0x1A;
        replies.bytes[1] = 0x16;
        break;
    case PrinterMode::Offline:
        replies.bytes[0] = 0x1A;
        break;
    case PrinterMode::Error:
        replies.bytes[0] = 0x1A;
        replies.bytes[1] = 0x52; // an error occurred
        replies.bytes[2] = 0x1A; // autocutter
        break;
    }
    if (drawerPin3High) {
        replies.bytes[0] |= 0x04;
    }
    return replies;
}

SimulatedPrinter::SimulatedPrinter(bool leaveCooked) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || 0 != grantpt(master) || 0 != unlockpt(master)) {
        return;
    }
    const char* name = ptsname(master);
    if (NULL == name) {
        return;
    }
    deviceSide = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (deviceSide < 0) {
        return;
    }
    if (!leaveCooked) {
        struct termios modes;
        tcgetattr(deviceSide, &modes);
        cfmakeraw(&modes);
        tcsetattr(deviceSide, TCSANOW, &modes);
    }
    threadStarted = 0 == pthread_create(&thread, NULL, simulatedPrinterServe, this);
    if (threadStarted) {
        devicePath = name;
    }
}

static void* simulatedNetworkPrinterServe(void* printer);

SimulatedPrinter::SimulatedPrinter(NetworkPrinter) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return;
    }
    int bufferBytes = NETWORK_RECEIVE_BUFFER_BYTES; // inherited by the connections
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (0 != bind(listener, (struct sockaddr*)&address, sizeof(address)) || 0 != listen(listener, 4) ||
        0 != getsockname(listener, (struct sockaddr*)&address, &length)) {
        return;
    }
    threadStarted = 0 == pthread_create(&thread, NULL, simulatedNetworkPrinterServe, this);
    if (threadStarted) {
        devicePath = "socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
}

SimulatedPrinter::~SimulatedPrinter() {
    stop.store(true);
    for (int filler : queueFillers) {
        if (filler >= 0) {
            close(filler);
        }
    }
    if (threadStarted) {
        pthread_join(thread, NULL);
    }
    if (deviceSide >= 0) {
        close(deviceSide);
    }
    if (master >= 0) {
        close(master);
    }
    if (listener >= 0) {
        close(listener);
    }
}

void SimulatedPrinter::setMode(PrinterMode newMode) {
    mode.store((int)newMode);
}

void SimulatedPrinter::setDrawerPin3High(bool high) {
    drawerHigh.store(high);
}

void SimulatedPrinter::setMute(bool newMute) {
    mute.store(newMute);
}

void SimulatedPrinter::setReplyDelayMs(int milliseconds) {
    replyDelayMs.store(milliseconds);
}

void SimulatedPrinter::setLineSpeed(int baud, bool paced) {
    struct termios modes;
    tcgetattr(deviceSide, &modes);
    speed_t speed = baud == 9600 ? B9600 : B19200;
    cfsetispeed(&modes, speed);
    cfsetospeed(&modes, speed);
    tcsetattr(deviceSide, TCSANOW, &modes);
    bytesPerSecond.store(paced ? baud / 10 : 0);
}

void SimulatedPrinter::setIxon(bool on) {
    struct termios modes;
    tcgetattr(deviceSide, &modes);
    modes.c_iflag = on ? (modes.c_iflag | IXON) : (modes.c_iflag & ~(tcflag_t)IXON);
    tcsetattr(deviceSide, TCSANOW, &modes);
}

struct termios SimulatedPrinter::lineModes() const {
    struct termios modes = {};
    tcgetattr(deviceSide, &modes);
    return modes;
}

void SimulatedPrinter::sendUnasked(const std::string& bytes) {
    if (listener >= 0) {
        (void)!send(connection.load(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } else {
        (void)!write(master, bytes.data(), bytes.size());
    }
}

void SimulatedPrinter::setStopReading(bool stop) {
    stopReading.store(stop);
}

void SimulatedPrinter::setStopAccepting(bool stop) {
    stopAccepting.store(stop);
}

void SimulatedPrinter::setQueueFull(bool full) {
    stopAccepting.store(full);
    struct sockaddr_in address = {};
    socklen_t length = sizeof(address);
    getsockname(listener, (struct sockaddr*)&address, &length);
    for (int& filler : queueFillers) {
        if (filler >= 0) {
            close(filler);
            filler = -1;
        }
        if (full) {
            // Connects without waiting: once the queue is full, the rest hang.
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            (void)!connect(filler, (struct sockaddr*)&address, sizeof(address));
        }
    }
    if (full) {
        usleep(50 * 1000); // the queue takes them
    }
}

void SimulatedPrinter::closeAfter(int count) {
    closeAfterBytes.store(count);
}

int SimulatedPrinter::connections() const {
    return accepted.load();
}

std::string SimulatedPrinter::received() const {
    pthread_mutex_lock(&lock);
    std::string copy = log;
    pthread_mutex_unlock(&lock);
    return copy;
}

int SimulatedPrinter::statusRequests() const {
    return requests.load();
}

bool SimulatedPrinter::waitForReceived(size_t size, int timeoutMs) const {
    long long deadline = nowMs() + timeoutMs;
    while (received().size() < size) {
        if (nowMs() >= deadline) {
            return false;
        }
        usleep(2000);
    }
    return true;
}

// Records bytes the printer was sent and answers the status requests among
// them through replyTo; *matched: how much of DLE EOT was seen so far.
static void takeBytes(SimulatedPrinter& printer, const unsigned char* buffer, ssize_t got, int replyTo, int* matched) {
    pthread_mutex_lock(&printer.lock);
    printer.log.append((const char*)buffer, (size_t)got);
    pthread_mutex_unlock(&printer.lock);
    for (ssize_t i = 0; i < got; i++) {
        unsigned char byte = buffer[i];
        if (*matched == 2 && byte >= 1 && byte <= 4) {
            printer.requests++;
            if (!printer.mute.load()) {
                int delay = printer.replyDelayMs.load();
                if (delay > 0) {
                    usleep((useconds_t)delay * 1000);
                }
                StatusReplies replies = statusRepliesFor((PrinterMode)printer.mode.load(), printer.drawerHigh.load());
                // A network peer may be gone by now: no SIGPIPE for that.
                (void)!(printer.listener >= 0 ? send(replyTo, &replies.bytes[byte - 1], 1, MSG_NOSIGNAL)
                                              : write(replyTo, &replies.bytes[byte - 1], 1));
            }
            *matched = 0;
        } else if (byte == DLE) {
            *matched = 1;
        } else {
            *matched = (*matched == 1 && byte == EOT) ? 2 : 0;
        }
    }
}

// Serves one connection until its peer closes it, the printer closes it
// (closeAfter) or the printer stops.
static void serveConnection(SimulatedPrinter& printer, int connection) {
    int matched = 0;
    int readSoFar = 0;
    while (!printer.stop.load()) {
        struct pollfd waitFor = {connection, POLLIN, 0};
        if (printer.stopReading.load()) {
            usleep(STOP_POLL_MS * 1000);
            continue;
        }
        if (poll(&waitFor, 1, STOP_POLL_MS) <= 0) {
            continue;
        }
        unsigned char buffer[1024];
        int limit = printer.closeAfterBytes.load();
        size_t ask =
            limit > 0 && limit - readSoFar < (int)sizeof(buffer) ? (size_t)(limit - readSoFar) : sizeof(buffer);
        ssize_t got = recv(connection, buffer, ask, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return; // the job's end, or a reset
        }
        takeBytes(printer, buffer, got, connection, &matched);
        readSoFar += (int)got;
        if (limit > 0 && readSoFar >= limit) {
            printer.closeAfterBytes.store(0);
            return; // as if switched off mid-job
        }
    }
}

static void* simulatedNetworkPrinterServe(void* pointer) {
    SimulatedPrinter& printer = *(SimulatedPrinter*)pointer;
    while (!printer.stop.load()) {
        struct pollfd waitFor = {printer.listener, POLLIN, 0};
        if (printer.stopAccepting.load()) {
            usleep(STOP_POLL_MS * 1000);
            continue;
        }
        if (poll(&waitFor, 1, STOP_POLL_MS) <= 0 || printer.stopAccepting.load()) {
            continue;
        }
        int connection = accept4(printer.listener, NULL, NULL, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        printer.accepted++;
        printer.connection.store(connection);
        serveConnection(printer, connection);
        printer.connection.store(-1);
        close(connection);
    }
    return NULL;
}

void* simulatedPrinterServe(void* pointer) {
    SimulatedPrinter& printer = *(SimulatedPrinter*)pointer;
    int matched = 0; // bytes of DLE EOT seen so far
    long long pacedSince = nowMs();
    double allowance = 0; // bytes the line has carried and were not read yet
    while (!printer.stop.load()) {
        struct pollfd waitFor = {printer.master, POLLIN, 0};
        if (poll(&waitFor, 1, STOP_POLL_MS) <= 0 || 0 == (waitFor.revents & POLLIN)) {
            pacedSince = nowMs(); // an idle line stores no time to send
            allowance = 0;
            continue;
        }
        unsigned char buffer[4096];
        size_t wanted = sizeof(buffer);
        int pace = printer.bytesPerSecond.load();
        if (pace > 0) {
            // The line carries bytes at its pace while they wait to be sent.
            long long now = nowMs();
            allowance = allowance + (double)(now - pacedSince) * pace / 1000;
            pacedSince = now;
            if (allowance < 1) {
                usleep(2000);
                continue;
            }
            wanted = allowance < (double)wanted ? (size_t)allowance : wanted;
        }
        ssize_t got = read(printer.master, buffer, wanted);
        if (pace > 0 && got > 0) {
            allowance -= (double)got;
        }
        if (got <= 0) {
            if (got < 0 && errno != EINTR && errno != EAGAIN && errno != EIO) {
                break;
            }
            usleep(1000); // EIO: no process has the device open right now
            continue;
        }
        takeBytes(printer, buffer, got, printer.master, &matched);
    }
    return NULL;
}

} // namespace q2test
