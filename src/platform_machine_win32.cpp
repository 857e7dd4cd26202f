// platform_machine_win32.cpp: the machine's names, addresses and state
// folder on Windows, and files written as a whole or not at all. The state
// folder's own access list (the system, administrators and its creator)
// keeps the keys in it from other accounts.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform_machine.h"
#include "webserver.h"

static int errnoFromWindowsError(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    default:
        return EIO;
    }
}

bool machineHostName(char* name, size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    DWORD size = (DWORD)capacity;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) {
        name[0] = '\0';
    }
    return name[0] != '\0';
}

size_t machineAddresses(MachineAddress* addresses, size_t capacity) {
    ULONG size = 16384;
    IP_ADAPTER_ADDRESSES* adapters = NULL;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; attempt++) {
        free(adapters);
        adapters = (IP_ADAPTER_ADDRESSES*)malloc(size);
        if (NULL == adapters) {
            return 0;
        }
        result =
            GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, NULL, adapters, &size);
    }
    size_t count = 0;
    for (IP_ADAPTER_ADDRESSES* adapter = result == NO_ERROR ? adapters : NULL; NULL != adapter;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (IP_ADAPTER_UNICAST_ADDRESS* at = adapter->FirstUnicastAddress; NULL != at && count < capacity;
             at = at->Next) {
            const struct sockaddr* socketAddress = at->Address.lpSockaddr;
            MachineAddress address = {};
            if (socketAddress->sa_family == AF_INET) {
                address.length = 4;
                memcpy(address.bytes, &((const struct sockaddr_in*)socketAddress)->sin_addr, 4);
            } else if (socketAddress->sa_family == AF_INET6) {
                address.length = 16;
                memcpy(address.bytes, &((const struct sockaddr_in6*)socketAddress)->sin6_addr, 16);
            } else {
                continue;
            }
            bool known = false;
            for (size_t i = 0; i < count && !known; i++) {
                known = addresses[i].length == address.length && 0 == memcmp(addresses[i].bytes, address.bytes, 16);
            }
            if (!known) {
                addresses[count++] = address;
            }
        }
    }
    free(adapters);
    return count;
}

bool machineDefaultStateFolder(char* path, size_t capacity) {
    // The folder the service's log is in (%ProgramData%), found the same way.
    wchar_t folder[MAX_PATH];
    if (S_OK != SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, folder)) {
        return false;
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, folder, -1, path, (int)capacity, NULL, NULL);
    if (length <= 0) {
        return false;
    }
    int written = snprintf(path + length - 1, capacity - (size_t)length + 1, "\\quorvel2");
    return written > 0 && (size_t)written < capacity - (size_t)length + 1;
}

// An access list of its own, not inherited: the system, administrators and
// the creator. The service's log folder is the same folder and may have been
// made with inherited permissions first, so each key file carries it too.
static bool ownerOnlyAttributes(SECURITY_ATTRIBUTES* attributes, bool inherited) {
    memset(attributes, 0, sizeof(*attributes));
    attributes->nLength = sizeof(*attributes);
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(
        inherited ? L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)" : L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)",
        SDDL_REVISION_1, &attributes->lpSecurityDescriptor, NULL);
}

int machineMakeOwnerOnlyFolder(const char* path) {
    size_t length = strlen(path);
    char partial[MACHINE_PATH_CAPACITY];
    if (length == 0 || length >= sizeof(partial)) {
        return ENAMETOOLONG;
    }
    memcpy(partial, path, length + 1);
    // The parents as they would be made by hand; the folder itself with an
    // access list of its own, not inherited from them.
    for (size_t at = 1; at < length; at++) {
        if ((partial[at] == '\\' || partial[at] == '/') && partial[at - 1] != ':') {
            partial[at] = '\0';
            wchar_t* parent = strdupWideFromUTF8(partial, 0);
            CreateDirectoryW(parent, NULL);
            free(parent);
            partial[at] = path[at];
        }
    }
    SECURITY_ATTRIBUTES attributes;
    if (!ownerOnlyAttributes(&attributes, true)) {
        return errnoFromWindowsError(GetLastError());
    }
    wchar_t* wide = strdupWideFromUTF8(path, 0);
    int error = 0;
    if (!CreateDirectoryW(wide, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
        error = errnoFromWindowsError(GetLastError());
    }
    LocalFree(attributes.lpSecurityDescriptor);
    if (error == 0) {
        DWORD found = GetFileAttributesW(wide);
        if (found == INVALID_FILE_ATTRIBUTES) {
            error = errnoFromWindowsError(GetLastError());
        } else if (0 == (found & FILE_ATTRIBUTE_DIRECTORY)) {
            error = ENOTDIR;
        }
    }
    free(wide);
    return error;
}

int machineFolderIsReadable(const char* path) {
    char pattern[MACHINE_PATH_CAPACITY + 2];
    int written = snprintf(pattern, sizeof(pattern), "%s\\*", path);
    if (written < 0 || (size_t)written >= sizeof(pattern)) {
        return ENAMETOOLONG;
    }
    wchar_t* wide = strdupWideFromUTF8(pattern, 0);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide, &found);
    int error = 0;
    if (INVALID_HANDLE_VALUE == search) {
        DWORD last = GetLastError();
        error = last == ERROR_FILE_NOT_FOUND ? 0 : errnoFromWindowsError(last);
    } else {
        FindClose(search);
    }
    free(wide);
    return error;
}

int machineWriteFileAtomically(const char* path, const void* data, size_t length, bool ownerOnly, bool keepExisting) {
    char temporary[MACHINE_PATH_CAPACITY];
    int written = snprintf(temporary, sizeof(temporary), "%s.new-%lu", path, (unsigned long)GetCurrentProcessId());
    if (written < 0 || (size_t)written >= sizeof(temporary) || length > 0x7fffffff) {
        return ENAMETOOLONG;
    }
    wchar_t* wideTemporary = strdupWideFromUTF8(temporary, 0);
    wchar_t* widePath = strdupWideFromUTF8(path, 0);
    int error = 0;
    SECURITY_ATTRIBUTES attributes;
    bool restricted = ownerOnly && ownerOnlyAttributes(&attributes, false);
    // A rename keeps the file's own access list.
    HANDLE file = ownerOnly && !restricted
                      ? INVALID_HANDLE_VALUE
                      : CreateFileW(wideTemporary, GENERIC_WRITE, 0, restricted ? &attributes : NULL, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
    if (restricted) {
        LocalFree(attributes.lpSecurityDescriptor);
    }
    if (INVALID_HANDLE_VALUE == file) {
        error = errnoFromWindowsError(GetLastError());
    } else {
        DWORD done = 0;
        if (!WriteFile(file, data, (DWORD)length, &done, NULL) || done != (DWORD)length || !FlushFileBuffers(file)) {
            error = errnoFromWindowsError(GetLastError());
        }
        CloseHandle(file);
        DWORD flags = MOVEFILE_WRITE_THROUGH | (keepExisting ? 0 : MOVEFILE_REPLACE_EXISTING);
        if (error == 0 && !MoveFileExW(wideTemporary, widePath, flags)) {
            error = errnoFromWindowsError(GetLastError());
        }
        if (error != 0) {
            DeleteFileW(wideTemporary);
        }
    }
    free(wideTemporary);
    free(widePath);
    return error;
}

int machineRenameFile(const char* path, const char* newPath) {
    wchar_t* wideFrom = strdupWideFromUTF8(path, 0);
    wchar_t* wideTo = strdupWideFromUTF8(newPath, 0);
    int error = MoveFileExW(wideFrom, wideTo, MOVEFILE_REPLACE_EXISTING) ? 0 : errnoFromWindowsError(GetLastError());
    free(wideFrom);
    free(wideTo);
    return error;
}

int machineFlushToDisk(FILE* file) {
    return 0 == fflush(file) && 0 == _commit(_fileno(file)) ? 0 : errno;
}

uint64_t machineFileChangeStamp(const char* path) {
    wchar_t* wide = strdupWideFromUTF8(path, 0);
    WIN32_FILE_ATTRIBUTE_DATA data;
    bool found = GetFileAttributesExW(wide, GetFileExInfoStandard, &data);
    free(wide);
    if (!found) {
        return 0;
    }
    uint64_t written = ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
    return written ^ ((uint64_t)data.nFileSizeLow << 40) ^ data.nFileSizeHigh;
}

char machinePathSeparator(void) {
    return '\\';
}
