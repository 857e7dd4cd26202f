// posix_compat.h: the one POSIX call that the shared file-serving tests use
// and Windows lacks, for building those tests unchanged on Windows (the
// build includes this header before each of their sources).
#pragma once

#include <direct.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Replaces the trailing XXXXXX of `pattern` and creates that directory;
// returns pattern, or null with errno set.
static inline char* mkdtemp(char* pattern) {
    size_t length = strlen(pattern);
    if (length < 6 || 0 != strcmp(pattern + length - 6, "XXXXXX")) {
        errno = EINVAL;
        return NULL;
    }
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned seed = (unsigned)GetTickCount() ^ ((unsigned)GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100; attempt++) {
        for (size_t i = length - 6; i < length; i++) {
            seed = seed * 1103515245u + 12345u;
            pattern[i] = letters[(seed >> 16) % (sizeof(letters) - 1)];
        }
        if (0 == _mkdir(pattern)) {
            return pattern;
        }
        if (errno != EEXIST) {
            return NULL;
        }
    }
    return NULL;
}
