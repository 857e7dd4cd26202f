// usb_platform.h: the enumeration of present USB printer interfaces, the one
// piece of the USB lookup that differs between systems. Implemented once per
// platform (usb_linux.cpp, usb_win32.cpp); the listing and the lookup in
// usb.cpp are written against these functions only. Each platform file also
// defines usbSetRootsForTesting of usb.h (ignoring it where it means nothing).
#pragma once

#include <stdint.h>

#include "device.h"

// One interface as fetched. Clear the record before each fetch.
struct UsbPrinterInfo {
    char* path;     // heap copy, owned by the caller: the identifier that holds
                    // "vid_VVVV&pid_PPPP#" and under which the printer is opened
    char name[256]; // friendly name, empty when none could be read
};

// A snapshot of the interfaces present when it was taken.
struct UsbPrinterList;

// Takes a snapshot. Returns null with the platform's error code in
// *errorCode when the interfaces cannot be read; no printers at all is an
// empty snapshot, not a failure.
UsbPrinterList* usbPlatformSnapshot(unsigned long* errorCode);

// Fetches the interface at `index` (0, 1, 2, ... in a stable order) into
// `info`: 1 when fetched, 0 when there is none at that index or it cannot be
// read. On 1 the caller frees info->path.
int get_printer_info(UsbPrinterList* list, uint32_t index, UsbPrinterInfo* info);

// Releases the snapshot.
void usbPlatformRelease(UsbPrinterList* list);

// Opens the printer of an interface path from get_printer_info for writing,
// shared with other openers. Returns DEVICE_CLOSED with the platform's error
// code in *errorCode on failure.
DeviceHandle usbPlatformOpen(const char* path, unsigned long* errorCode);
