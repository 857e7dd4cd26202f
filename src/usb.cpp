// usb.cpp: the USB printer listing (--discover) and the lookup of a printer
// by a "vid_" device name, written against the enumeration of
// usb_platform.h. Nothing is cached: every listing and every job takes a new
// snapshot, so a printer that was replugged is found wherever it is now.
#include "usb.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "usb_platform.h"
#include "webserver.h"

static const size_t VID_PID_CAPACITY = 64;     // the vid/pid text and the lowered name: 63 characters
static const size_t LOWER_PATH_CAPACITY = 512; // the lowered identifier: 511 characters

// Copies at most capacity - 1 characters of `text`, turning only A to Z into
// a to z so that every other byte compares unchanged.
static void lowerCopy(const char* text, char* buffer, size_t capacity) {
    size_t i = 0;
    for (; i + 1 < capacity && text[i] != '\0'; i++) {
        buffer[i] = asciiLower(text[i]);
    }
    buffer[i] = '\0';
}

// The vid/pid text of `path`: from the first "vid_" up to, not including,
// the next '#'. Empty when either is missing or the text does not fit.
static void extract_vid_pid(const char* path, char* buf, size_t bufsize) {
    buf[0] = '\0';
    const char* start = strstr(path, "vid_");
    if (NULL == start) {
        return;
    }
    const char* end = strchr(start, '#');
    if (NULL == end) {
        return;
    }
    size_t length = (size_t)(end - start);
    if (length >= bufsize) {
        return;
    }
    memcpy(buf, start, length);
    buf[length] = '\0';
}

static void printSnapshotFailure(unsigned long errorCode) {
    fprintf(stderr, "SetupDiGetClassDevs failed (error %lu)\n", errorCode);
}

void usb_discover(void) {
    unsigned long errorCode = 0;
    UsbPrinterList* list = usbPlatformSnapshot(&errorCode);
    if (NULL == list) {
        printSnapshotFailure(errorCode);
        return;
    }
    printf("USB printers (usbprint.sys):\n\n");
    unsigned int listed = 0;
    for (uint32_t index = 0;; index++) {
        UsbPrinterInfo info;
        memset(&info, 0, sizeof(info));
        if (!get_printer_info(list, index, &info)) {
            break;
        }
        char vidPid[VID_PID_CAPACITY];
        extract_vid_pid(info.path, vidPid, sizeof(vidPid));
        printf("  Name : %s\n", info.name[0] != '\0' ? info.name : "(unknown)");
        printf("  Path : %s\n", info.path);
        if (vidPid[0] != '\0') {
            // Quoted: the '&' in it would end the command in a shell.
            printf("  Use  : --device \"%s\"\n", vidPid);
        }
        printf("\n");
        free(info.path);
        listed++;
    }
    if (0 == listed) {
        printf("  (none found \xE2\x80\x94 is the printer plugged in and powered on?)\n\n");
    }
    usbPlatformRelease(list);
}

DeviceHandle usb_open(const char* vid_pid) {
    unsigned long errorCode = 0;
    UsbPrinterList* list = usbPlatformSnapshot(&errorCode);
    if (NULL == list) {
        printSnapshotFailure(errorCode);
        return DEVICE_CLOSED;
    }
    char lower_vid[VID_PID_CAPACITY];
    lowerCopy(vid_pid, lower_vid, sizeof(lower_vid));
    DeviceHandle handle = DEVICE_CLOSED;
    bool found = false;
    for (uint32_t index = 0; !found; index++) {
        UsbPrinterInfo info;
        memset(&info, 0, sizeof(info));
        if (!get_printer_info(list, index, &info)) {
            break;
        }
        char lower_path[LOWER_PATH_CAPACITY];
        lowerCopy(info.path, lower_path, sizeof(lower_path));
        if (NULL != strstr(lower_path, lower_vid)) {
            // Only the first match is tried, even when it cannot be opened.
            found = true;
            unsigned long openError = 0;
            handle = usbPlatformOpen(info.path, &openError);
            if (DEVICE_CLOSED == handle) {
                fprintf(stderr, "USB open failed (error %lu)\nPath: %s\n", openError, info.path);
            }
        }
        free(info.path);
    }
    if (!found) {
        fprintf(stderr, "No USB printer matching '%s' found. Run --discover to list devices.\n", vid_pid);
    }
    usbPlatformRelease(list);
    return handle;
}
