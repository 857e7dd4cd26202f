// setupapi_standin.cpp: setupapi.dll for the black-box tests under Wine. It
// exports the five device-interface calls of the USB printer lookup and
// answers them from a description file that the test writes, so that the
// listing, the vid/pid match and the open of the found path run through the
// real program with as many printers as a test wants. The device paths it
// hands out are whatever the test wrote, normally named pipes it serves.
//
// Environment (read at every snapshot, so a test can unplug and replug):
//   Q2_USB_DESCRIPTION  the description file; missing or unreadable makes
//                       the snapshot fail with the error of opening it
//   Q2_USB_JOURNAL      optional: a file to which each snapshot, each
//                       release and every call the program made wrongly
//                       (bad handle, wrong cbSize) is appended, one a line
//
// The description holds one interface a line, in enumeration order:
//   DEVICE-PATH <tab> name=FRIENDLY NAME
//   DEVICE-PATH <tab> no name        the property is absent
//   DEVICE-PATH <tab> name fails     the device is gone when its name is read
//   DEVICE-PATH <tab> detail fails   the device is gone when its path is read
// Blank lines and lines beginning with '#' are ignored; an empty file is a
// machine without USB printers.
//
// The record checks are the ones callers get wrong: every cbSize must be the
// size of its record (ERROR_INVALID_USER_BUFFER otherwise), and the detail
// call follows the two-call protocol (ERROR_INSUFFICIENT_BUFFER with the
// required size until the buffer holds the whole path).
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// This file defines the calls instead of importing them.
#define _SETUPAPI_
#include <setupapi.h>

namespace {

const GUID USB_PRINTER_INTERFACE_CLASS = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
const GUID PRINTER_SETUP_CLASS = {0x4d36e979, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

const DWORD LIST_MAGIC = 0x51325553;       // marks a live list; cleared on release
const DWORD DESCRIPTION_MAX_BYTES = 65536; // far more than any test writes

enum Answer { AnswerName, AnswerNoName, AnswerNameFails, AnswerDetailFails };

struct Interface {
    char* path;
    char* name; // empty unless AnswerName
    Answer answer;
};

struct DeviceList {
    DWORD magic;
    DWORD count;
    Interface* interfaces;
};

bool sameGuid(const GUID* a, const GUID* b) {
    return 0 == memcmp(a, b, sizeof(GUID));
}

void journal(const char* line) {
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("Q2_USB_JOURNAL", path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        return;
    }
    // FILE_APPEND_DATA alone: each line lands whole at the end even when
    // several threads of the program enumerate at once.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (INVALID_HANDLE_VALUE == file) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
    CloseHandle(file);
}

// Fails the call with `error`; a misuse is also journalled, so that the test
// sees a call the real SetupAPI would have refused as well.
BOOL fail(DWORD error, const char* call, bool misuse) {
    if (misuse) {
        char line[128];
        snprintf(line, sizeof(line), "misuse %s error %lu\n", call, (unsigned long)error);
        journal(line);
    }
    SetLastError(error);
    return FALSE;
}

DeviceList* liveList(HDEVINFO set) {
    DeviceList* list = (DeviceList*)set;
    if (NULL == list || INVALID_HANDLE_VALUE == set || list->magic != LIST_MAGIC) {
        return NULL;
    }
    return list;
}

void freeList(DeviceList* list) {
    for (DWORD i = 0; i < list->count; i++) {
        free(list->interfaces[i].path);
        free(list->interfaces[i].name);
    }
    free(list->interfaces);
    list->magic = 0;
    free(list);
}

// Parses one line into `entry`; false for a line that describes nothing.
bool parseLine(char* line, Interface* entry) {
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) {
        line[--length] = '\0';
    }
    if (length == 0 || line[0] == '#') {
        return false;
    }
    char* tab = strchr(line, '\t');
    const char* answer = "no name";
    if (NULL != tab) {
        *tab = '\0';
        answer = tab + 1;
    }
    entry->answer = AnswerNoName;
    const char* name = "";
    if (0 == strncmp(answer, "name=", 5)) {
        entry->answer = AnswerName;
        name = answer + 5;
    } else if (0 == strcmp(answer, "name fails")) {
        entry->answer = AnswerNameFails;
    } else if (0 == strcmp(answer, "detail fails")) {
        entry->answer = AnswerDetailFails;
    }
    entry->path = strdup(line);
    entry->name = strdup(name);
    return NULL != entry->path && NULL != entry->name;
}

// Reads the description into a new list; null with the error set when the
// file cannot be read.
DeviceList* readDescription() {
    char path[MAX_PATH];
    DWORD pathLength = GetEnvironmentVariableA("Q2_USB_DESCRIPTION", path, sizeof(path));
    if (pathLength == 0 || pathLength >= sizeof(path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return NULL;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (INVALID_HANDLE_VALUE == file) {
        return NULL; // CreateFileA's error stays the last error
    }
    char* text = (char*)calloc(1, DESCRIPTION_MAX_BYTES + 1);
    DeviceList* list = (DeviceList*)calloc(1, sizeof(DeviceList));
    DWORD got = 0;
    if (NULL == text || NULL == list || !ReadFile(file, text, DESCRIPTION_MAX_BYTES, &got, NULL)) {
        CloseHandle(file);
        free(text);
        free(list);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    CloseHandle(file);
    list->magic = LIST_MAGIC;
    DWORD lines = 1;
    for (DWORD i = 0; i < got; i++) {
        lines += text[i] == '\n' ? 1 : 0;
    }
    list->interfaces = (Interface*)calloc(lines, sizeof(Interface));
    for (char* line = text; NULL != list->interfaces && NULL != line && *line != '\0';) {
        char* next = strchr(line, '\n');
        if (NULL != next) {
            *next++ = '\0';
        }
        if (parseLine(line, &list->interfaces[list->count])) {
            list->count++;
        } else {
            free(list->interfaces[list->count].path);
            free(list->interfaces[list->count].name);
            memset(&list->interfaces[list->count], 0, sizeof(Interface));
        }
        line = next;
    }
    free(text);
    if (NULL == list->interfaces) {
        freeList(list);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    return list;
}

// The interface a record from SetupDiEnumDeviceInterfaces stands for: its
// Reserved field holds the index + 1.
const Interface* interfaceOf(const DeviceList* list, ULONG_PTR reserved) {
    if (reserved == 0 || reserved > list->count) {
        return NULL;
    }
    return &list->interfaces[reserved - 1];
}

} // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    (void)hwndParent;
    if (NULL == ClassGuid && 0 == (Flags & DIGCF_ALLCLASSES)) {
        fail(ERROR_INVALID_PARAMETER, "SetupDiGetClassDevsA", true);
        return INVALID_HANDLE_VALUE;
    }
    DeviceList* list = NULL;
    if ((Flags & DIGCF_DEVICEINTERFACE) && NULL != ClassGuid && NULL == Enumerator &&
        sameGuid(ClassGuid, &USB_PRINTER_INTERFACE_CLASS)) {
        list = readDescription();
        if (NULL == list) {
            return INVALID_HANDLE_VALUE;
        }
    } else {
        // Any other question finds nothing here: a wrong class or flag shows
        // as a machine without printers.
        list = (DeviceList*)calloc(1, sizeof(DeviceList));
        if (NULL == list) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        list->magic = LIST_MAGIC;
    }
    journal("snapshot\n");
    return (HDEVINFO)list;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    static const char CALL[] = "SetupDiEnumDeviceInterfaces";
    DeviceList* list = liveList(DeviceInfoSet);
    if (NULL == list) {
        return fail(ERROR_INVALID_HANDLE, CALL, true);
    }
    if (NULL == DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
    }
    if (NULL != DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
    }
    if (NULL == InterfaceClassGuid) {
        return fail(ERROR_INVALID_PARAMETER, CALL, true);
    }
    DWORD index = MemberIndex;
    if (NULL != DeviceInfoData) {
        // Each device here has exactly one interface.
        if (MemberIndex != 0 || NULL == interfaceOf(list, DeviceInfoData->DevInst)) {
            return fail(ERROR_NO_MORE_ITEMS, CALL, false);
        }
        index = DeviceInfoData->DevInst - 1;
    }
    if (!sameGuid(InterfaceClassGuid, &USB_PRINTER_INTERFACE_CLASS) || index >= list->count) {
        return fail(ERROR_NO_MORE_ITEMS, CALL, false);
    }
    DeviceInterfaceData->InterfaceClassGuid = USB_PRINTER_INTERFACE_CLASS;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = (ULONG_PTR)index + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    static const char CALL[] = "SetupDiGetDeviceInterfaceDetailA";
    DeviceList* list = liveList(DeviceInfoSet);
    if (NULL == list) {
        return fail(ERROR_INVALID_HANDLE, CALL, true);
    }
    if (NULL == DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
    }
    const Interface* entry = interfaceOf(list, DeviceInterfaceData->Reserved);
    if (NULL == entry) {
        return fail(ERROR_INVALID_PARAMETER, CALL, true);
    }
    const DWORD pathOffset = (DWORD)offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (NULL == DeviceInterfaceDetailData) {
        if (DeviceInterfaceDetailDataSize != 0) {
            return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
        }
    } else if (DeviceInterfaceDetailDataSize < pathOffset + sizeof(CHAR) ||
               DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
    }
    if (NULL != DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
    }
    DWORD required = pathOffset + (DWORD)strlen(entry->path) + 1;
    if (NULL != RequiredSize) {
        *RequiredSize = required;
    }
    if (NULL == DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < required) {
        return fail(ERROR_INSUFFICIENT_BUFFER, CALL, false);
    }
    if (AnswerDetailFails == entry->answer) {
        return fail(ERROR_NO_SUCH_DEVINST, CALL, false);
    }
    memcpy(DeviceInterfaceDetailData->DevicePath, entry->path, strlen(entry->path) + 1);
    if (NULL != DeviceInfoData) {
        DeviceInfoData->ClassGuid = PRINTER_SETUP_CLASS;
        DeviceInfoData->DevInst = (DWORD)(entry - list->interfaces) + 1;
        DeviceInfoData->Reserved = (ULONG_PTR)list;
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    static const char CALL[] = "SetupDiGetDeviceRegistryPropertyA";
    DeviceList* list = liveList(DeviceInfoSet);
    if (NULL == list) {
        return fail(ERROR_INVALID_HANDLE, CALL, true);
    }
    if (NULL == DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
    }
    // A device record of this list is one that the detail call filled.
    const Interface* entry = interfaceOf(list, DeviceInfoData->DevInst);
    if (DeviceInfoData->Reserved != (ULONG_PTR)list || NULL == entry) {
        return fail(ERROR_INVALID_PARAMETER, CALL, true);
    }
    if (NULL == PropertyBuffer && PropertyBufferSize != 0) {
        return fail(ERROR_INVALID_USER_BUFFER, CALL, true);
    }
    if (AnswerNameFails == entry->answer) {
        return fail(ERROR_NO_SUCH_DEVINST, CALL, false);
    }
    if (Property != SPDRP_FRIENDLYNAME || AnswerName != entry->answer) {
        return fail(ERROR_INVALID_DATA, CALL, false); // the property is not set
    }
    DWORD required = (DWORD)strlen(entry->name) + 1;
    if (NULL != RequiredSize) {
        *RequiredSize = required;
    }
    if (NULL != PropertyRegDataType) {
        *PropertyRegDataType = REG_SZ;
    }
    if (PropertyBufferSize < required) {
        return fail(ERROR_INSUFFICIENT_BUFFER, CALL, false);
    }
    memcpy(PropertyBuffer, entry->name, required);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    DeviceList* list = liveList(DeviceInfoSet);
    if (NULL == list) {
        return fail(ERROR_INVALID_HANDLE, "SetupDiDestroyDeviceInfoList", true);
    }
    freeList(list);
    journal("release\n");
    return TRUE;
}

} // extern "C"
