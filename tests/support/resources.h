// resources.h: what this test process holds right now, for checks that a
// piece of code gives back everything it took. Each gauge answers -1 where
// the system cannot tell, and the caller then skips its check.
#pragma once

#include <stdlib.h>

#include "platform.h" // directories: the system's own, or the platform layer's

#if defined(__SANITIZE_ADDRESS__)
// From the AddressSanitizer runtime, whose header not every compiler ships.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace q2test {

// Bytes currently allocated on the heap by this process. Only meaningful
// between two calls on one thread with nothing else allocating meanwhile.
inline long long heapBytesInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return (long long)__sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    struct mallinfo2 info = mallinfo2();
    return (long long)(info.uordblks + info.hblkhd);
#else
    return -1;
#endif
}

// Whether heapBytesInUse drops when a block is freed. The C library may keep
// freed blocks in a per-thread cache that still counts as in use; the core
// tests turn that cache off (GLIBC_TUNABLES, in their CMakeLists.txt).
inline bool heapGaugeSeesFrees() {
    void* volatile block = malloc(48);
    long long holding = heapBytesInUse();
    free(block);
    return holding >= 0 && heapBytesInUse() < holding;
}

// Entries of a directory other than "." and "..", or -1 when it cannot be read.
inline int directoryEntryCount(const char* path) {
    DIR* directory = opendir(path);
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (struct dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') {
            count++;
        }
    }
    closedir(directory);
    return count;
}

// File descriptors this process has open (the listing's own one excluded).
inline int openDescriptorCount() {
    int count = directoryEntryCount("/proc/self/fd");
    return count < 0 ? -1 : count - 1;
}

} // namespace q2test
