// platform_win32.h: the types of the platform layer on Windows. Windows has
// neither POSIX threads nor directory functions, so this header declares
// them under their POSIX names and platform_win32.cpp supplies them on top
// of the system's threads, critical sections, condition variables and
// wide-character find functions.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>
#include <wchar.h>

typedef SOCKET sockettype;

// Errors of a pending connection that Linux names and Windows does not:
// socketLastError passes WSAEHOSTDOWN on as itself, and Windows reports a
// machine off the network as WSAENETDOWN (ENETDOWN).
#ifndef EHOSTDOWN
#define EHOSTDOWN WSAEHOSTDOWN
#endif
#ifndef ENONET
#define ENONET WSAENETDOWN
#endif

// The value of a socket that is not open.
static const sockettype SOCKET_INVALID = INVALID_SOCKET;

// Windows does not promise that shutting a socket down ends a wait for it
// (select, recv) in another thread.
static const bool SOCKET_SHUTDOWN_ENDS_WAITS = false;

// ---- Threads, mutexes and condition variables ---------------------------------

typedef HANDLE pthread_t;
struct pthread_attr_t {
    size_t stackSize; // 0: the system's default
};
// A critical section that sets itself up on first use, so that a mutex in
// zero-filled memory works before (or without) pthread_mutex_init, as it
// does with POSIX threads.
struct pthread_mutex_t {
    INIT_ONCE once;
    CRITICAL_SECTION section;
};
typedef CONDITION_VARIABLE pthread_cond_t; // usable zero-filled as well
struct pthread_mutexattr_t {
    int unused;
};
struct pthread_condattr_t {
    int unused;
};

// 0 when the thread runs; 1 (after a message on standard output) when it
// cannot be created. The routine's result is dropped.
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument);
// Gives up the handle; the thread goes on running. 0.
int pthread_detach(pthread_t thread);
// Waits for the thread to end and gives up the handle; the routine's result
// is not kept (*result becomes null). 0, or 1 when the wait fails.
int pthread_join(pthread_t thread, void** result);
int pthread_attr_init(pthread_attr_t* attributes);
int pthread_attr_setstacksize(pthread_attr_t* attributes, size_t stackSize);
int pthread_attr_destroy(pthread_attr_t* attributes);

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes);
int pthread_mutex_lock(pthread_mutex_t* mutex);
int pthread_mutex_unlock(pthread_mutex_t* mutex);
int pthread_mutex_destroy(pthread_mutex_t* mutex);

int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attributes);
// 0 after a wake-up (spurious ones included) with the mutex held again; 1
// when the wait fails. No time limit.
int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex);
int pthread_cond_signal(pthread_cond_t* cond);
int pthread_cond_broadcast(pthread_cond_t* cond);
int pthread_cond_destroy(pthread_cond_t* cond);

// A thread's wake-up.
struct ThreadWake {
    pthread_mutex_t lock;
    pthread_cond_t posted;
    bool isPosted;
};

// ---- Directories ----------------------------------------------------------------

struct dirent {
    char d_name[1024]; // UTF-8, NUL-terminated
};

struct DIRStruct {
    HANDLE findFiles;           // the search, or INVALID_HANDLE_VALUE
    WIN32_FIND_DATAW findData;  // the entry found last
    bool onFirstFile;           // the first entry is in findData, not yet returned
    struct dirent currentEntry; // what the last readdir returned
};
typedef DIRStruct DIR;

// A listing of every entry of the directory at the UTF-8 path (with "." and
// ".."), or null after a message on standard output. closedir releases it.
DIR* opendir(const char* path);
// The next entry, valid until the next readdir or closedir; null at the end.
struct dirent* readdir(DIR* dir);
// Ends the listing and releases it. 0.
int closedir(DIR* dir);

// A new zero-filled wide-character copy of the UTF-8 string with room for
// extraBytes further wide characters behind the terminator; the caller frees it.
wchar_t* strdupWideFromUTF8(const char* utf8String, size_t extraBytes);
