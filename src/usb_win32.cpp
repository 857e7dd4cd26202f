// usb_win32.cpp: the enumeration of USB printers on Windows, through SetupAPI
// and the device interface class of USB printers. An interface's device path
// ("\\?\usb#vid_04b8&pid_0202#...#{28d78fad-...}") is both the identifier
// that holds the vid/pid text and the name under which the printer is opened.
#include <stdlib.h>
#include <string.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <setupapi.h>

#include "usb.h"
#include "usb_platform.h"

// The device interface class of USB printers.
static const GUID USB_PRINTER_INTERFACE_CLASS = {
    0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

// The friendly name is asked for with one byte less than the field holds, so
// that the zeroed last byte always terminates it.
static const DWORD FRIENDLY_NAME_BYTES = 255;

void usbSetRootsForTesting(const char* sysfsRoot, const char* devRoot) {
    // Windows enumerates through SetupAPI: there are no roots to move.
    (void)sysfsRoot;
    (void)devRoot;
}

struct UsbPrinterList {
    HDEVINFO devices;
};

UsbPrinterList* usbPlatformSnapshot(unsigned long* errorCode) {
    HDEVINFO devices =
        SetupDiGetClassDevsA(&USB_PRINTER_INTERFACE_CLASS, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (INVALID_HANDLE_VALUE == devices) {
        *errorCode = GetLastError();
        return NULL;
    }
    UsbPrinterList* list = (UsbPrinterList*)calloc(1, sizeof(UsbPrinterList));
    if (NULL == list) {
        SetupDiDestroyDeviceInfoList(devices);
        *errorCode = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    list->devices = devices;
    return list;
}

int get_printer_info(UsbPrinterList* list, uint32_t index, UsbPrinterInfo* info) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(list->devices, NULL, &USB_PRINTER_INTERFACE_CLASS, index, &interfaceData)) {
        return 0;
    }
    DWORD detailSize = 0;
    SetupDiGetDeviceInterfaceDetailA(list->devices, &interfaceData, NULL, 0, &detailSize, NULL);
    if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return 0;
    }
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)calloc(1, detailSize);
    if (NULL == detail) {
        return 0;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA deviceData;
    memset(&deviceData, 0, sizeof(deviceData));
    deviceData.cbSize = sizeof(deviceData);
    if (!SetupDiGetDeviceInterfaceDetailA(list->devices, &interfaceData, detail, detailSize, NULL, &deviceData)) {
        free(detail);
        return 0;
    }
    info->path = strdup(detail->DevicePath);
    free(detail);
    if (NULL == info->path) {
        return 0;
    }
    info->name[0] = '\0';
    SetupDiGetDeviceRegistryPropertyA(list->devices, &deviceData, SPDRP_FRIENDLYNAME, NULL, (PBYTE)info->name,
                                      FRIENDLY_NAME_BYTES, NULL);
    return 1;
}

void usbPlatformRelease(UsbPrinterList* list) {
    SetupDiDestroyDeviceInfoList(list->devices);
    free(list);
}

DeviceHandle usbPlatformOpen(const char* path, unsigned long* errorCode) {
    return deviceOpenShared(path, errorCode);
}
