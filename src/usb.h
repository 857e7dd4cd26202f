// usb.h: finding USB printers by vendor and product id, and listing them.
#pragma once

#include "device.h"

// Writes the listing of the present USB printers to standard output.
void usb_discover(void);

// Opens the first present USB printer whose identifier contains vid_pid
// (compared ignoring letter case); DEVICE_CLOSED after a message on standard
// error when none matches or it cannot be opened.
DeviceHandle usb_open(const char* vid_pid);
