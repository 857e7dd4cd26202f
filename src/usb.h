// usb.h: finding USB printers by vendor and product id, and listing them.
#pragma once

#include "device.h"

// Writes the listing of the present USB printers to standard output (an
// enumeration failure goes to standard error instead).
void usb_discover(void);

// Opens the first present USB printer whose identifier contains the first 63
// characters of vid_pid (compared ignoring letter case), shared with other
// openers; DEVICE_CLOSED after a message on standard error when none matches
// or it cannot be opened. Enumerates afresh on every call.
DeviceHandle usb_open(const char* vid_pid);

// Test-only: where the enumeration looks. On Linux, the sysfs root (normally
// "/sys") and the device-node root (normally "/dev"); null or "" restores the
// normal value. Platforms without such roots ignore it. Call it before any
// thread enumerates.
void usbSetRootsForTesting(const char* sysfsRoot, const char* devRoot);
