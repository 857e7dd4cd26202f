// device_win32.cpp: device output on Windows. A plain name such as COM3 lies
// in the device namespace ("\\.\COM3"); a name that already carries the
// prefix is opened as it is. Devices are opened for overlapped writing, so
// that a write which makes no progress can be given a time limit and
// cancelled instead of hanging the job. A device or pipe that allows it is
// opened for reading too, so that the printer's replies can be read with a
// time limit the same way; a disk file never is, so that it holds exactly
// the jobs.
#include <stdio.h>
#include <string.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "device.h"
#include "device_platform.h"
#include "webserver.h"

static const char DEVICE_NAMESPACE_PREFIX[] = "\\\\.\\";

// One write asks for at most this much, so that progress is seen (and the
// stall limit restarted) while a slow printer takes a large job.
static const DWORD WRITE_CHUNK_BYTES = 16384;

// The system's text for an error code (Winsock's codes are system codes
// too), followed by the code, as every message of the device layer has it.
void deviceErrorText(unsigned long error, char* text, size_t capacity) {
    char message[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, (DWORD)error, 0,
                                  message, (DWORD)sizeof(message), NULL);
    while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r' || message[length - 1] == ' ' ||
                          message[length - 1] == '.')) {
        length--;
    }
    message[length] = '\0';
    if (length == 0) {
        snprintf(message, sizeof(message), "error %lu", error);
    }
    snprintf(text, capacity, "%s (error %lu)", message, error);
}

bool devicePathFromName(const char* name, char* path, size_t pathCapacity) {
    bool prefixed = 0 == strncmp(name, DEVICE_NAMESPACE_PREFIX, strlen(DEVICE_NAMESPACE_PREFIX));
    size_t length = strlen(name) + (prefixed ? 0 : strlen(DEVICE_NAMESPACE_PREFIX));
    // The ANSI CreateFileA takes at most MAX_PATH characters with the NUL.
    if (length >= MAX_PATH || length >= pathCapacity) {
        if (pathCapacity > 0) {
            path[0] = '\0';
        }
        return false;
    }
    snprintf(path, pathCapacity, "%s%s", prefixed ? "" : DEVICE_NAMESPACE_PREFIX, name);
    return true;
}

// A serial port's reads return at once with the bytes that have arrived
// (none: the caller waits and reads again); without this a port keeps the
// timeouts its last user left, under which a read may wait for a full
// buffer and lose what came when it is cancelled. Writes get no time limit
// of the port's own: the stall limit cancels them.
static void setSerialTimeouts(HANDLE device) {
    COMMTIMEOUTS timeouts;
    if (GetFileType(device) != FILE_TYPE_CHAR || !GetCommTimeouts(device, &timeouts)) {
        return;
    }
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(device, &timeouts);
}

// What an open handle is: a disk file, a COM port (it has a line state),
// or another device (a USB printer driver's handle may call itself of
// unknown type, a pipe).
static DeviceKind kindOf(HANDLE device) {
    DWORD type = GetFileType(device);
    if (type == FILE_TYPE_DISK) {
        return DEVICE_KIND_FILE;
    }
    DCB line;
    memset(&line, 0, sizeof(line));
    line.DCBlength = sizeof(line);
    return type == FILE_TYPE_CHAR && GetCommState(device, &line) ? DEVICE_KIND_LINE : DEVICE_KIND_PRINTER;
}

// Read-write where the device allows it and is not a disk file, write-only
// otherwise; null with GetLastError() set on failure.
static DeviceHandle openDevice(const char* path, DWORD shareMode) {
    HANDLE device =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, shareMode, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (INVALID_HANDLE_VALUE != device && GetFileType(device) != FILE_TYPE_DISK) {
        setSerialTimeouts(device);
        return deviceWrap((intptr_t)device, kindOf(device), true);
    }
    if (INVALID_HANDLE_VALUE != device) {
        CloseHandle(device);
    }
    device = CreateFileA(path, GENERIC_WRITE, shareMode, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    return INVALID_HANDLE_VALUE == device ? DEVICE_CLOSED : deviceWrap((intptr_t)device, kindOf(device), false);
}

DeviceHandle deviceOpenExclusive(const char* path) {
    DeviceHandle device = openDevice(path, 0);
    if (DEVICE_CLOSED == device) {
        char text[300];
        deviceErrorText(GetLastError(), text, sizeof(text));
        fprintf(stderr, "Cannot open printer device '%s': %s\n", path, text);
    }
    return device;
}

DeviceHandle deviceOpenShared(const char* path, unsigned long* errorCode) {
    DeviceHandle device = openDevice(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (DEVICE_CLOSED == device) {
        *errorCode = GetLastError();
    }
    return device;
}

void deviceCloseSystemHandle(intptr_t system) {
    CloseHandle((HANDLE)system);
}

static void reportWriteError(const char* deviceName, DWORD error) {
    char text[300];
    deviceErrorText(error, text, sizeof(text));
    fprintf(stderr, "Writing to printer device '%s' failed: %s\n", deviceName, text);
}

// Writes one chunk and waits up to timeoutMs for it. Returns false after a
// message when the write fails; *done receives the bytes taken (0 when the
// wait timed out and the write was cancelled).
static bool writeChunk(HANDLE device, HANDLE event, const char* data, DWORD length, DWORD timeoutMs,
                       const char* deviceName, DWORD* done) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = event;
    // An overlapped write goes where its offset says; this one says "at the
    // end", so that a disk file gets each job appended. Devices ignore it.
    overlapped.Offset = 0xFFFFFFFF;
    overlapped.OffsetHigh = 0xFFFFFFFF;
    *done = 0;
    if (!WriteFile(device, data, length, NULL, &overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            reportWriteError(deviceName, error);
            return false;
        }
        if (WAIT_OBJECT_0 != WaitForSingleObject(event, timeoutMs)) {
            // The write must be finished (or cancelled) before overlapped
            // goes out of scope.
            CancelIo(device);
        }
    }
    if (!GetOverlappedResult(device, &overlapped, done, TRUE)) {
        DWORD error = GetLastError();
        if (error == ERROR_OPERATION_ABORTED) {
            return true; // cancelled after the time limit; *done says what got through
        }
        reportWriteError(deviceName, error);
        return false;
    }
    return true;
}

bool deviceWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs, const char* deviceName) {
    if (device->kind == DEVICE_KIND_SOCKET) {
        return deviceSocketWriteAll(device, data, len, stallTimeoutMs, deviceName);
    }
    HANDLE handle = (HANDLE)device->system;
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (NULL == event) {
        reportWriteError(deviceName, GetLastError());
        return false;
    }
    size_t written = 0;
    int64_t deadline = monotonicMilliseconds() + stallTimeoutMs;
    bool ok = true;
    while (written < len) {
        int64_t now = monotonicMilliseconds();
        if (now >= deadline) {
            fprintf(stderr, "Writing to printer device '%s' failed: the printer took no data for %d ms\n", deviceName,
                    stallTimeoutMs);
            ok = false;
            break;
        }
        size_t remaining = len - written;
        DWORD length = remaining < WRITE_CHUNK_BYTES ? (DWORD)remaining : WRITE_CHUNK_BYTES;
        DWORD done = 0;
        ResetEvent(event);
        if (!writeChunk(handle, event, data + written, length, (DWORD)(deadline - now), deviceName, &done)) {
            ok = false;
            break;
        }
        if (done > 0) {
            written += done;
            deadline = monotonicMilliseconds() + stallTimeoutMs;
        } else {
            Sleep(1); // a write that completed empty: try again within the limit
        }
    }
    CloseHandle(event);
    return ok;
}

long deviceLineBytesPerSecond(DeviceHandle device) {
    DCB line;
    memset(&line, 0, sizeof(line));
    line.DCBlength = sizeof(line);
    if (device->kind != DEVICE_KIND_LINE || !GetCommState((HANDLE)device->system, &line)) {
        return 0;
    }
    return (long)(line.BaudRate / 10); // a start bit, eight data bits and a stop bit
}

long deviceBytesQueued(DeviceHandle device) {
    DWORD errors = 0;
    COMSTAT queues;
    if (device->kind != DEVICE_KIND_LINE || !ClearCommError((HANDLE)device->system, &errors, &queues)) {
        return 0;
    }
    return (long)queues.cbOutQue;
}

bool deviceWaitUntilSent(DeviceHandle device, int timeoutMs) {
    int64_t deadline = monotonicMilliseconds() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        if (deviceBytesQueued(device) == 0) {
            return true;
        }
        if (monotonicMilliseconds() >= deadline) {
            return false;
        }
        Sleep(2);
    }
}

// A USB print handle often completes a read at once with nothing; such a
// read is tried again after this pause until the time limit.
static const DWORD EMPTY_READ_PAUSE_MS = 5;

ssize_t deviceReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs) {
    if (device->kind == DEVICE_KIND_SOCKET) {
        return deviceSocketReadWithin(device, buffer, capacity, timeoutMs);
    }
    HANDLE handle = (HANDLE)device->system;
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (NULL == event) {
        return -1;
    }
    DWORD ask = capacity < WRITE_CHUNK_BYTES ? (DWORD)capacity : WRITE_CHUNK_BYTES;
    int64_t deadline = monotonicMilliseconds() + (timeoutMs > 0 ? timeoutMs : 0);
    ssize_t result = 0;
    for (;;) {
        OVERLAPPED overlapped;
        memset(&overlapped, 0, sizeof(overlapped));
        overlapped.hEvent = event;
        ResetEvent(event);
        int64_t now = monotonicMilliseconds();
        DWORD wait = now < deadline ? (DWORD)(deadline - now) : 0;
        if (!ReadFile(handle, buffer, ask, NULL, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                result = -1; // a write-only handle, or the printer went away
                break;
            }
            if (WAIT_OBJECT_0 != WaitForSingleObject(event, wait)) {
                // The read must be finished (or cancelled) before overlapped goes out of scope.
                CancelIo(handle);
            }
        }
        DWORD got = 0;
        if (!GetOverlappedResult(handle, &overlapped, &got, TRUE)) {
            if (GetLastError() != ERROR_OPERATION_ABORTED) {
                result = -1;
                break;
            }
            got = (DWORD)overlapped.InternalHigh; // what arrived before the cancellation is kept
            result = (ssize_t)got;
            if (got == 0) {
                break;
            }
        }
        if (got > 0) {
            result = (ssize_t)got;
            break;
        }
        now = monotonicMilliseconds();
        if (now >= deadline) {
            break;
        }
        Sleep(deadline - now < EMPTY_READ_PAUSE_MS ? (DWORD)(deadline - now) : EMPTY_READ_PAUSE_MS);
    }
    CloseHandle(event);
    return result;
}
