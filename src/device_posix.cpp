// device_posix.cpp: device output on Linux and other POSIX systems. Devices
// are opened without blocking (a FIFO without a reader is a device that
// cannot be opened), never created, and locked against other processes;
// writes wait for the device with poll so that a printer that stops taking
// bytes fails the job instead of hanging it. Only a character device (a USB
// printer, a serial line) is opened for reading: reading a regular file would
// hand back earlier jobs, and nothing answers through a FIFO.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "device.h"
#include "device_platform.h"
#include "webserver.h"

bool devicePathFromName(const char* name, char* path, size_t pathCapacity) {
    size_t length = strlen(name);
    // Every part of the path must fit, too: open() refuses a longer one.
    size_t part = 0;
    bool fits = length < PATH_MAX && length < pathCapacity;
    for (const char* at = name; fits && *at != '\0'; at++) {
        part = *at == '/' ? 0 : part + 1;
        fits = part <= NAME_MAX;
    }
    if (!fits) {
        if (pathCapacity > 0) {
            path[0] = '\0';
        }
        return false;
    }
    memcpy(path, name, length + 1);
    return true;
}

static const int OPEN_FLAGS = O_NOCTTY | O_APPEND | O_NONBLOCK | O_CLOEXEC;

// A terminal left in its cooked mode would turn LF into CR LF, echo the
// printer's replies back to it and act on control bytes; only that is
// switched off. Line speed, character size, parity, stop bits and flow
// control stay as the user set them (with stty), as the printer needs them.
static void makeRawIfTerminal(int fd) {
    struct termios modes;
    if (!isatty(fd) || 0 != tcgetattr(fd, &modes)) {
        return;
    }
    modes.c_iflag &= ~(tcflag_t)(INLCR | IGNCR | ICRNL | ISTRIP | IUCLC);
    modes.c_oflag &= ~(tcflag_t)OPOST;
    modes.c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    // With VMIN 0 an empty read returns 0, which would read as the end of the
    // device's data; with 1 it fails with EAGAIN and poll waits for the reply.
    modes.c_cc[VMIN] = 1;
    modes.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &modes);
}

// Opens path for writing, for reading too where a device can answer; -1
// with errno set on failure. *kind and *readable tell what was opened.
static int openForWriting(const char* path, DeviceKind* kind, bool* readable) {
    struct stat info;
    *kind = DEVICE_KIND_FILE;
    *readable = false;
    if (0 == stat(path, &info) && S_ISCHR(info.st_mode)) {
        int fd = open(path, O_RDWR | OPEN_FLAGS);
        *readable = fd >= 0;
        if (fd < 0) {
            fd = open(path, O_WRONLY | OPEN_FLAGS); // a device that only takes bytes
        }
        if (fd >= 0) {
            *kind = isatty(fd) ? DEVICE_KIND_LINE : DEVICE_KIND_PRINTER;
            makeRawIfTerminal(fd);
        }
        return fd;
    }
    return open(path, O_WRONLY | OPEN_FLAGS);
}

DeviceHandle deviceOpenExclusive(const char* path) {
    DeviceKind kind;
    bool readable;
    int fd = openForWriting(path, &kind, &readable);
    if (fd < 0) {
        int error = errno;
        if (error == ENXIO) {
            fprintf(stderr, "Cannot open printer device '%s': %s (nothing is reading it)\n", path, strerror(error));
        } else {
            fprintf(stderr, "Cannot open printer device '%s': %s\n", path, strerror(error));
        }
        return DEVICE_CLOSED;
    }
    if (0 != flock(fd, LOCK_EX | LOCK_NB)) {
        int error = errno;
        if (error == EWOULDBLOCK) {
            fprintf(stderr, "Cannot open printer device '%s': it is in use by another process\n", path);
            close(fd);
            return DEVICE_CLOSED;
        }
        // Locks are advisory and not every device supports them; print anyway.
    }
    return deviceWrap(fd, kind, readable);
}

DeviceHandle deviceOpenShared(const char* path, unsigned long* errorCode) {
    DeviceKind kind;
    bool readable;
    int fd = openForWriting(path, &kind, &readable);
    if (fd < 0) {
        *errorCode = (unsigned long)errno;
        return DEVICE_CLOSED;
    }
    return deviceWrap(fd, kind, readable);
}

void deviceCloseSystemHandle(intptr_t system) {
    close((int)system);
}

void deviceErrorText(unsigned long error, char* text, size_t capacity) {
    snprintf(text, capacity, "%s", strerror((int)error));
}

bool deviceWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs, const char* deviceName) {
    if (device->kind == DEVICE_KIND_SOCKET) {
        return deviceSocketWriteAll(device, data, len, stallTimeoutMs, deviceName);
    }
    int fd = (int)device->system;
    size_t written = 0;
    int64_t deadline = monotonicMilliseconds() + stallTimeoutMs;
    while (written < len) {
        ssize_t result = write(fd, data + written, len - written);
        if (result > 0) {
            written += (size_t)result;
            deadline = monotonicMilliseconds() + stallTimeoutMs;
            continue;
        }
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            fprintf(stderr, "Writing to printer device '%s' failed: %s\n", deviceName, strerror(errno));
            return false;
        }
        // The device takes nothing for now: wait until it does, or give up.
        int64_t remaining = deadline - monotonicMilliseconds();
        if (remaining <= 0) {
            fprintf(stderr, "Writing to printer device '%s' failed: the printer took no data for %d ms\n", deviceName,
                    stallTimeoutMs);
            return false;
        }
        struct pollfd waitFor;
        waitFor.fd = fd;
        waitFor.events = POLLOUT;
        waitFor.revents = 0;
        int ready = poll(&waitFor, 1, (int)remaining);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "Writing to printer device '%s' failed: %s\n", deviceName, strerror(errno));
            return false;
        }
    }
    return true;
}

ssize_t deviceReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs) {
    if (device->kind == DEVICE_KIND_SOCKET) {
        return deviceSocketReadWithin(device, buffer, capacity, timeoutMs);
    }
    int fd = (int)device->system;
    int64_t deadline = monotonicMilliseconds() + timeoutMs;
    for (;;) {
        ssize_t got = read(fd, buffer, capacity);
        if (got > 0) {
            return got;
        }
        if (got == 0) {
            return -1; // end of the device's data: it never answers
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1; // a printer port that only takes bytes fails with EINVAL
        }
        int64_t remaining = deadline - monotonicMilliseconds();
        if (remaining <= 0) {
            return 0;
        }
        struct pollfd waitFor;
        waitFor.fd = fd;
        waitFor.events = POLLIN;
        waitFor.revents = 0;
        int ready = poll(&waitFor, 1, (int)remaining);
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready > 0 && 0 == (waitFor.revents & POLLIN)) {
            return -1; // hung up or failed without data
        }
    }
}

long deviceLineBytesPerSecond(DeviceHandle device) {
    struct termios modes;
    if (device->kind != DEVICE_KIND_LINE || 0 != tcgetattr((int)device->system, &modes)) {
        return 0;
    }
    static const struct {
        speed_t code;
        long baud;
    } SPEEDS[] = {{B300, 300},       {B600, 600},       {B1200, 1200},    {B2400, 2400},   {B4800, 4800},
                  {B9600, 9600},     {B19200, 19200},   {B38400, 38400},  {B57600, 57600}, {B115200, 115200},
                  {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    speed_t speed = cfgetospeed(&modes);
    for (const auto& known : SPEEDS) {
        if (known.code == speed) {
            return known.baud / 10; // a start bit, eight data bits and a stop bit
        }
    }
    return 0;
}

long deviceBytesQueued(DeviceHandle device) {
    int queued = 0;
    if (device->kind != DEVICE_KIND_LINE || 0 != ioctl((int)device->system, TIOCOUTQ, &queued) || queued < 0) {
        return 0;
    }
    return queued;
}

bool deviceWaitUntilSent(DeviceHandle device, int timeoutMs) {
    // tcdrain() could wait forever on a line held by flow control; the queue
    // is looked at instead until it is empty or the time is up.
    int64_t deadline = monotonicMilliseconds() + timeoutMs;
    for (;;) {
        if (deviceBytesQueued(device) == 0) {
            return true;
        }
        if (monotonicMilliseconds() >= deadline) {
            return false;
        }
        usleep(2000);
    }
}
