// platform_machine_posix.cpp: the machine's names, addresses and state
// folder on Linux, and files written as a whole or not at all.
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform_machine.h"

bool machineHostName(char* name, size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    memset(name, 0, capacity);
    if (0 != gethostname(name, capacity - 1)) {
        name[0] = '\0';
    }
    return name[0] != '\0';
}

size_t machineAddresses(MachineAddress* addresses, size_t capacity) {
    struct ifaddrs* interfaces = NULL;
    if (0 != getifaddrs(&interfaces)) {
        return 0;
    }
    size_t count = 0;
    for (struct ifaddrs* at = interfaces; NULL != at && count < capacity; at = at->ifa_next) {
        if (NULL == at->ifa_addr || 0 == (at->ifa_flags & IFF_UP)) {
            continue;
        }
        MachineAddress address = {};
        if (at->ifa_addr->sa_family == AF_INET) {
            address.length = 4;
            memcpy(address.bytes, &((const struct sockaddr_in*)at->ifa_addr)->sin_addr, 4);
        } else if (at->ifa_addr->sa_family == AF_INET6) {
            address.length = 16;
            memcpy(address.bytes, &((const struct sockaddr_in6*)at->ifa_addr)->sin6_addr, 16);
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
    freeifaddrs(interfaces);
    return count;
}

bool machineDefaultStateFolder(char* path, size_t capacity) {
    const char* fromManager = getenv("STATE_DIRECTORY");
    int written = -1;
    if (NULL != fromManager && fromManager[0] != '\0') {
        // systemd lists one path per StateDirectory= entry, separated by colons.
        written = snprintf(path, capacity, "%.*s", (int)strcspn(fromManager, ":"), fromManager);
    } else if (geteuid() == 0) {
        written = snprintf(path, capacity, "/var/lib/quorvel2");
    } else {
        const char* stateHome = getenv("XDG_STATE_HOME");
        const char* home = getenv("HOME");
        if (NULL != stateHome && stateHome[0] == '/') {
            written = snprintf(path, capacity, "%s/quorvel2", stateHome);
        } else if (NULL != home && home[0] != '\0') {
            written = snprintf(path, capacity, "%s/.local/state/quorvel2", home);
        }
    }
    return written > 0 && (size_t)written < capacity;
}

int machineMakeOwnerOnlyFolder(const char* path) {
    char partial[MACHINE_PATH_CAPACITY];
    size_t length = strlen(path);
    if (length == 0 || length >= sizeof(partial)) {
        return ENAMETOOLONG;
    }
    memcpy(partial, path, length + 1);
    // Each missing parent first, as mkdir -p does.
    for (size_t at = 1; at <= length; at++) {
        if (partial[at] != '/' && partial[at] != '\0') {
            continue;
        }
        char kept = partial[at];
        partial[at] = '\0';
        if (0 != mkdir(partial, 0700) && errno != EEXIST) {
            return errno;
        }
        partial[at] = kept;
    }
    struct stat info;
    if (0 != stat(path, &info)) {
        return errno;
    }
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

int machineFolderIsReadable(const char* path) {
    return 0 == access(path, R_OK | X_OK) ? 0 : errno;
}

int machineWriteFileAtomically(const char* path, const void* data, size_t length, bool ownerOnly, bool keepExisting) {
    char temporary[MACHINE_PATH_CAPACITY];
    int written = snprintf(temporary, sizeof(temporary), "%s.new-%ld", path, (long)getpid());
    if (written < 0 || (size_t)written >= sizeof(temporary)) {
        return ENAMETOOLONG;
    }
    int file = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, ownerOnly ? 0600 : 0644);
    if (file < 0) {
        return errno;
    }
    int error = 0;
    const char* at = (const char*)data;
    for (size_t left = length; left > 0 && error == 0;) {
        ssize_t n = write(file, at, left);
        if (n < 0 && errno != EINTR) {
            error = errno;
        } else if (n > 0) {
            at += n;
            left -= (size_t)n;
        }
    }
    // The umask may have taken bits away from a public file; never adds any.
    if (error == 0 && (0 != fchmod(file, ownerOnly ? 0600 : 0644) || 0 != fsync(file))) {
        error = errno;
    }
    if (0 != close(file) && error == 0) {
        error = errno;
    }
    if (error == 0) {
        // link() fails where the name exists: the first writer's file stays.
        if (keepExisting ? 0 != link(temporary, path) : 0 != rename(temporary, path)) {
            error = errno;
        }
    }
    if (error != 0 || keepExisting) {
        unlink(temporary);
    }
    return error;
}

int machineRenameFile(const char* path, const char* newPath) {
    return 0 == rename(path, newPath) ? 0 : errno;
}

int machineFlushToDisk(FILE* file) {
    return 0 == fflush(file) && 0 == fsync(fileno(file)) ? 0 : errno;
}

uint64_t machineFileChangeStamp(const char* path) {
    struct stat info;
    if (0 != stat(path, &info)) {
        return 0;
    }
    return ((uint64_t)info.st_mtim.tv_sec * 1000000000u + (uint64_t)info.st_mtim.tv_nsec) ^
           ((uint64_t)info.st_size << 40) ^ (uint64_t)info.st_ino;
}

char machinePathSeparator(void) {
    return '/';
}
