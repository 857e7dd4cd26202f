// device.h: device output and the printer's replies, implemented once per
// platform (device_*.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// An open device, or DEVICE_CLOSED.
typedef intptr_t DeviceHandle;
static const DeviceHandle DEVICE_CLOSED = -1;

// Room for the longest device path of any platform, with its terminating NUL.
static const size_t DEVICE_PATH_CAPACITY = 4096;

// Writes the path to open for a plain device name into path. False, with path
// emptied, when the platform cannot open a path that long (or it does not fit
// in pathCapacity): a cut name would open another device.
bool devicePathFromName(const char* name, char* path, size_t pathCapacity);

// Opens an existing device, exclusively against other processes where the
// platform allows it, without blocking. A device that can answer (a character
// device or a pipe handle) is opened for reading too where it allows it, and a
// terminal has what would change bytes switched off (its line speed, framing
// and flow control stay as they were set); anything else is opened
// write-only, a regular file for appending. On failure prints one line with the path and the error text and
// returns DEVICE_CLOSED.
DeviceHandle deviceOpenExclusive(const char* path);

// Opens an existing device as deviceOpenExclusive does, but shared with other
// openers. On failure returns DEVICE_CLOSED with the platform's error code in
// *errorCode.
DeviceHandle deviceOpenShared(const char* path, unsigned long* errorCode);

// Whether the open device may send replies: it is a device that can answer
// and was opened for reading. Never true for a regular file or a FIFO.
bool deviceCanAnswer(DeviceHandle device);

// How many bytes a second the device's serial line carries, from its line
// speed; 0 when it is no serial line (its bytes leave as they are taken).
long deviceLineBytesPerSecond(DeviceHandle device);

// Waits at most timeoutMs until the bytes written have left the device's
// output queue (at once for a device without one). Whether they have.
bool deviceWaitUntilSent(DeviceHandle device, int timeoutMs);

// Waits at most timeoutMs (0: not at all) for bytes from the device and reads
// up to capacity of them. Returns how many, 0 when none came in time, -1 when
// the device cannot be read (or has nothing more to send, ever).
ssize_t deviceReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs);

// Writes all len bytes, continuing short and interrupted writes. Returns
// false, after one line naming `deviceName` and the error, when a write fails
// or makes no progress for stallTimeoutMs.
bool deviceWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs, const char* deviceName);

// Closes the device.
void deviceClose(DeviceHandle device);
