// device.h: device output, implemented once per platform (device_*.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>

// An open device, or DEVICE_CLOSED.
typedef intptr_t DeviceHandle;
static const DeviceHandle DEVICE_CLOSED = -1;

// The path to open for a plain device name, cut to pathCapacity - 1 characters.
void devicePathFromName(const char* name, char* path, size_t pathCapacity);

// Opens an existing device write-only, exclusively against other processes
// where the platform allows it, without blocking. On failure prints one line
// with the path and the error text and returns DEVICE_CLOSED.
DeviceHandle deviceOpenExclusive(const char* path);

// Opens an existing device write-only, shared with other openers. On failure
// returns DEVICE_CLOSED with the platform's error code in *errorCode.
DeviceHandle deviceOpenShared(const char* path, unsigned long* errorCode);

// Writes all len bytes, continuing short and interrupted writes. Returns
// false, after one line naming `deviceName` and the error, when a write fails
// or makes no progress for stallTimeoutMs.
bool deviceWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs,
                    const char* deviceName);

// Closes the device.
void deviceClose(DeviceHandle device);
