// usb_linux.cpp: USB printers on Linux (being written).
#include <stdio.h>

#include "usb.h"

void usb_discover(void) {
    printf("USB printers (usbprint.sys):\n\n");
    printf("  (none found \xE2\x80\x94 is the printer plugged in and powered on?)\n\n");
}

DeviceHandle usb_open(const char* vid_pid) {
    fprintf(stderr, "No USB printer matching '%s' found. Run --discover to list devices.\n", vid_pid);
    return DEVICE_CLOSED;
}
