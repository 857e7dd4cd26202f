// usb_linux.cpp: the USB printer enumeration on Linux. The kernel's USB
// printer driver registers each printer interface as lpN in the sysfs class
// "usbmisc" (older kernels: "usb"), with the device node /dev/usb/lpN. An
// interface's identifier is "usb#vid_VVVV&pid_PPPP#SERIAL#NODE": the vid/pid
// text ends at the first '#', SERIAL is the device's serial number (or its
// bus port, such as 1-1.4, when it has none) and NODE, after the last '#', is
// the node that is opened.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "usb.h"
#include "usb_platform.h"
#include "webserver.h"

static const char* const DEFAULT_SYSFS_ROOT = "/sys";
static const char* const DEFAULT_DEV_ROOT = "/dev";
static const size_t ATTRIBUTE_CAPACITY = 1024; // an IEEE 1284 device id may be this long
static const size_t ID_CAPACITY = 64;          // idVendor, idProduct: four hex digits, with room to spare
static const size_t FRIENDLY_NAME_LIMIT = 254; // longer names are not shown, like an unreadable one

static char sysfsRoot[PATH_MAX] = "/sys";
static char devRoot[PATH_MAX] = "/dev";

void usbSetRootsForTesting(const char* sysfs, const char* dev) {
    snprintf(sysfsRoot, sizeof(sysfsRoot), "%s", (NULL != sysfs && sysfs[0] != '\0') ? sysfs : DEFAULT_SYSFS_ROOT);
    snprintf(devRoot, sizeof(devRoot), "%s", (NULL != dev && dev[0] != '\0') ? dev : DEFAULT_DEV_ROOT);
}

namespace {

struct Interface {
    unsigned long number; // N of lpN
    char* interfaceDir;   // resolved sysfs directory of the USB interface, heap copy
};

} // namespace

struct UsbPrinterList {
    char devRoot[PATH_MAX];
    Interface* interfaces; // sorted by number
    size_t count;
};

// N when `name` is "lp" followed by decimal digits only, else -1.
static long lpNumber(const char* name) {
    if (0 != strncmp(name, "lp", 2) || name[2] == '\0' || strlen(name + 2) > 9) {
        return -1;
    }
    for (const char* c = name + 2; *c != '\0'; c++) {
        if (!isdigit((unsigned char)*c)) {
            return -1;
        }
    }
    return strtol(name + 2, NULL, 10);
}

static int compareInterfaces(const void* a, const void* b) {
    unsigned long left = ((const Interface*)a)->number;
    unsigned long right = ((const Interface*)b)->number;
    return left < right ? -1 : (left > right ? 1 : 0);
}

static void freeList(UsbPrinterList* list) {
    for (size_t i = 0; i < list->count; i++) {
        free(list->interfaces[i].interfaceDir);
    }
    free(list->interfaces);
    free(list);
}

// Opens the class directory of the printer driver's nodes. Null with *missing
// set when the driver is not there (no class directory at all), null with
// errno otherwise.
static DIR* openClassDirectory(const char* root, char* classDir, size_t capacity, bool* missing) {
    static const char* const CLASS_NAMES[] = {"usbmisc", "usb"};
    *missing = false;
    for (const char* className : CLASS_NAMES) {
        if (snprintf(classDir, capacity, "%s/class/%s", root, className) >= (int)capacity) {
            errno = ENAMETOOLONG;
            return NULL;
        }
        DIR* directory = opendir(classDir);
        if (NULL != directory || errno != ENOENT) {
            return directory;
        }
    }
    *missing = true;
    return NULL;
}

// Adds lpN with its interface directory. An entry without a resolvable
// interface has gone (or is no USB printer) and is left out. False when out
// of memory.
static bool addInterface(UsbPrinterList* list, size_t* capacity, const char* classDir, const char* entry, long number) {
    char link[PATH_MAX];
    char resolved[PATH_MAX];
    if (snprintf(link, sizeof(link), "%s/%s/device", classDir, entry) >= (int)sizeof(link) ||
        NULL == realpath(link, resolved)) {
        return true;
    }
    if (list->count == *capacity) {
        size_t grown = *capacity == 0 ? 8 : *capacity * 2;
        Interface* interfaces = (Interface*)realloc(list->interfaces, grown * sizeof(Interface));
        if (NULL == interfaces) {
            return false;
        }
        list->interfaces = interfaces;
        *capacity = grown;
    }
    char* interfaceDir = strdup(resolved);
    if (NULL == interfaceDir) {
        return false;
    }
    list->interfaces[list->count].number = (unsigned long)number;
    list->interfaces[list->count].interfaceDir = interfaceDir;
    list->count++;
    return true;
}

// The enumeration under the given roots.
static UsbPrinterList* snapshotUnder(const char* root, const char* dev, unsigned long* errorCode) {
    UsbPrinterList* list = (UsbPrinterList*)calloc(1, sizeof(UsbPrinterList));
    if (NULL == list) {
        *errorCode = (unsigned long)ENOMEM;
        return NULL;
    }
    snprintf(list->devRoot, sizeof(list->devRoot), "%s", dev);
    char classDir[PATH_MAX];
    bool missing = false;
    DIR* directory = openClassDirectory(root, classDir, sizeof(classDir), &missing);
    if (NULL == directory) {
        if (missing) {
            return list; // no printer driver, so no printers
        }
        *errorCode = (unsigned long)errno;
        freeList(list);
        return NULL;
    }
    size_t capacity = 0;
    int failure = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(directory);
        if (NULL == entry) {
            failure = errno;
            break;
        }
        long number = lpNumber(entry->d_name);
        if (number >= 0 && !addInterface(list, &capacity, classDir, entry->d_name, number)) {
            failure = ENOMEM;
            break;
        }
    }
    closedir(directory);
    if (0 != failure) {
        *errorCode = (unsigned long)failure;
        freeList(list);
        return NULL;
    }
    if (list->count > 1) {
        qsort(list->interfaces, list->count, sizeof(Interface), compareInterfaces);
    }
    return list;
}

UsbPrinterList* usbPlatformSnapshot(unsigned long* errorCode) {
    return snapshotUnder(sysfsRoot, devRoot, errorCode);
}

void usbPlatformRelease(UsbPrinterList* list) {
    freeList(list);
}

// Reads a sysfs attribute as one line of text: surrounding white space
// removed and control characters, which a device could use to garble the
// listing, turned into spaces. Empty when it cannot be read.
static void readAttribute(const char* dir, const char* name, char* value, size_t capacity) {
    value[0] = '\0';
    char path[PATH_MAX];
    snprintf(path, sizeof(path), "%s/%s", dir, name);
    FILE* file = fopen(path, "re");
    if (NULL == file) {
        return;
    }
    size_t length = fread(value, 1, capacity - 1, file);
    fclose(file);
    value[length] = '\0';
    while (length > 0 && isspace((unsigned char)value[length - 1])) {
        value[--length] = '\0';
    }
    size_t start = 0;
    while (start < length && isspace((unsigned char)value[start])) {
        start++;
    }
    memmove(value, value + start, length - start + 1);
    for (char* c = value; *c != '\0'; c++) {
        if ((unsigned char)*c < 0x20 || (unsigned char)*c == 0x7F) {
            *c = ' ';
        }
    }
}

// Reads idVendor or idProduct in lower case; false unless it is hex digits.
static bool readId(const char* deviceDir, const char* name, char* id, size_t capacity) {
    readAttribute(deviceDir, name, id, capacity);
    if (id[0] == '\0') {
        return false;
    }
    for (char* c = id; *c != '\0'; c++) {
        if (!isxdigit((unsigned char)*c)) {
            return false;
        }
        *c = asciiLower(*c);
    }
    return true;
}

// The value of `key` (or `longKey`) in an IEEE 1284 device id such as
// "MFG:ACME;MDL:T-100;CMD:ESC/POS;", trimmed; empty when absent.
static void deviceIdField(const char* deviceId, const char* key, const char* longKey, char* value, size_t capacity) {
    value[0] = '\0';
    const char* field = deviceId;
    while (*field != '\0') {
        const char* end = strchr(field, ';');
        size_t fieldLength = NULL != end ? (size_t)(end - field) : strlen(field);
        const char* colon = (const char*)memchr(field, ':', fieldLength);
        if (NULL != colon) {
            const char* keyStart = field;
            while (keyStart < colon && *keyStart == ' ') {
                keyStart++;
            }
            size_t keyLength = (size_t)(colon - keyStart);
            bool matches = sameIgnoringASCIICase(keyStart, keyLength, key, strlen(key)) ||
                           sameIgnoringASCIICase(keyStart, keyLength, longKey, strlen(longKey));
            if (matches) {
                const char* valueStart = colon + 1;
                const char* valueEnd = field + fieldLength;
                while (valueStart < valueEnd && *valueStart == ' ') {
                    valueStart++;
                }
                while (valueEnd > valueStart && valueEnd[-1] == ' ') {
                    valueEnd--;
                }
                snprintf(value, capacity, "%.*s", (int)(valueEnd - valueStart), valueStart);
                return;
            }
        }
        if (NULL == end) {
            break;
        }
        field = end + 1;
    }
}

// "Manufacturer Model", or the one that is known; a model that already starts
// with the manufacturer's name stands alone.
static void joinName(const char* manufacturer, const char* model, char* name, size_t capacity) {
    size_t manufacturerLength = strlen(manufacturer);
    if (manufacturer[0] == '\0') {
        snprintf(name, capacity, "%s", model);
    } else if (model[0] == '\0') {
        snprintf(name, capacity, "%s", manufacturer);
    } else if (strlen(model) >= manufacturerLength &&
               sameIgnoringASCIICase(model, manufacturerLength, manufacturer, manufacturerLength) &&
               (model[manufacturerLength] == ' ' || model[manufacturerLength] == '\0')) {
        snprintf(name, capacity, "%s", model);
    } else {
        snprintf(name, capacity, "%s %s", manufacturer, model);
    }
}

// The friendly name from the device's strings, else from the interface's
// IEEE 1284 id; stays empty when neither gives one or it is too long.
static void readFriendlyName(const char* interfaceDir, const char* deviceDir, char* name) {
    char manufacturer[ATTRIBUTE_CAPACITY];
    char model[ATTRIBUTE_CAPACITY];
    char joined[2 * ATTRIBUTE_CAPACITY];
    readAttribute(deviceDir, "manufacturer", manufacturer, sizeof(manufacturer));
    readAttribute(deviceDir, "product", model, sizeof(model));
    if (manufacturer[0] == '\0' && model[0] == '\0') {
        char deviceId[ATTRIBUTE_CAPACITY];
        readAttribute(interfaceDir, "ieee1284_id", deviceId, sizeof(deviceId));
        deviceIdField(deviceId, "MFG", "MANUFACTURER", manufacturer, sizeof(manufacturer));
        deviceIdField(deviceId, "MDL", "MODEL", model, sizeof(model));
    }
    joinName(manufacturer, model, joined, sizeof(joined));
    if (strlen(joined) <= FRIENDLY_NAME_LIMIT) {
        memcpy(name, joined, strlen(joined) + 1);
    }
}

int get_printer_info(UsbPrinterList* list, uint32_t index, UsbPrinterInfo* info) {
    if (index >= list->count) {
        return 0;
    }
    const Interface& interface = list->interfaces[index];
    // The interface's parent directory is the USB device.
    char deviceDir[PATH_MAX];
    snprintf(deviceDir, sizeof(deviceDir), "%s", interface.interfaceDir);
    char* slash = strrchr(deviceDir, '/');
    if (NULL != slash && slash != deviceDir) {
        *slash = '\0';
    }
    const char* busPort = strrchr(deviceDir, '/');
    busPort = NULL != busPort ? busPort + 1 : deviceDir;

    char serial[ATTRIBUTE_CAPACITY];
    readAttribute(deviceDir, "serial", serial, sizeof(serial));
    const char* instance = serial[0] != '\0' ? serial : busPort;
    char node[PATH_MAX];
    if (snprintf(node, sizeof(node), "%s/usb/lp%lu", list->devRoot, interface.number) >= (int)sizeof(node)) {
        return 0;
    }

    char vendor[ID_CAPACITY];
    char product[ID_CAPACITY];
    bool known = readId(deviceDir, "idVendor", vendor, sizeof(vendor)) &&
                 readId(deviceDir, "idProduct", product, sizeof(product));
    int length = known ? snprintf(NULL, 0, "usb#vid_%s&pid_%s#%s#%s", vendor, product, instance, node)
                       : snprintf(NULL, 0, "usb#%s#%s", instance, node);
    char* path = (char*)malloc((size_t)length + 1);
    if (NULL == path) {
        return 0;
    }
    if (known) {
        snprintf(path, (size_t)length + 1, "usb#vid_%s&pid_%s#%s#%s", vendor, product, instance, node);
    } else {
        snprintf(path, (size_t)length + 1, "usb#%s#%s", instance, node);
    }
    info->path = path;
    info->name[0] = '\0';
    readFriendlyName(interface.interfaceDir, deviceDir, info->name);
    return 1;
}

DeviceHandle usbPlatformOpen(const char* path, unsigned long* errorCode) {
    const char* separator = strrchr(path, '#');
    const char* node = NULL != separator ? separator + 1 : path;
    return deviceOpenShared(node, errorCode);
}
