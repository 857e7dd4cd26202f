// platform_win32.cpp: the platform layer for Windows. POSIX threads, mutexes
// and condition variables over the system's threads, critical sections and
// condition variables; directories, path information and file opening over
// the wide-character file functions with UTF-8 conversion; the socket helpers
// over Windows Sockets, whose error codes are mapped to errno values.
#include "platform.h"
#include "internal.h"

#include <limits.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>

#include <mbedtls/threading.h>

// ---- Threads ------------------------------------------------------------------

namespace {

// What a new thread needs to call a POSIX-style routine; the thread frees it.
struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

unsigned __stdcall threadTrampoline(void* startPointer) {
    ThreadStart start = *(ThreadStart*)startPointer;
    free(startPointer);
    start.routine(start.argument);
    return 0;
}

} // namespace

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument) {
    ThreadStart* start = (ThreadStart*)malloc(sizeof(ThreadStart));
    if (NULL == start) {
        printf("Whoa! Failed to create a thread for routine %p\n", (void*)routine);
        return 1;
    }
    start->routine = routine;
    start->argument = argument;
    unsigned stackSize = 0;
    unsigned flags = 0;
    if (NULL != attributes && attributes->stackSize > 0) {
        // Reserve only this much, so that many connection threads stay cheap.
        stackSize = (unsigned)attributes->stackSize;
        flags = STACK_SIZE_PARAM_IS_A_RESERVATION;
    }
    uintptr_t handle = _beginthreadex(NULL, stackSize, threadTrampoline, start, flags, NULL);
    if (0 == handle) {
        free(start);
        printf("Whoa! Failed to create a thread for routine %p\n", (void*)routine);
        return 1;
    }
    *thread = (HANDLE)handle;
    return 0;
}

int pthread_detach(pthread_t thread) {
    CloseHandle(thread);
    return 0;
}

int pthread_join(pthread_t thread, void** result) {
    if (NULL != result) {
        *result = NULL;
    }
    DWORD waited = WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}

int pthread_attr_init(pthread_attr_t* attributes) {
    attributes->stackSize = 0;
    return 0;
}

int pthread_attr_setstacksize(pthread_attr_t* attributes, size_t stackSize) {
    attributes->stackSize = stackSize;
    return 0;
}

int pthread_attr_destroy(pthread_attr_t* attributes) {
    (void)attributes;
    return 0;
}

// ---- Mutexes and condition variables --------------------------------------------

static BOOL CALLBACK initializeSection(PINIT_ONCE once, void* mutexPointer, void** context) {
    (void)once;
    (void)context;
    InitializeCriticalSection(&((pthread_mutex_t*)mutexPointer)->section);
    return TRUE;
}

// The mutex's critical section, set up on first use.
static CRITICAL_SECTION* sectionOf(pthread_mutex_t* mutex) {
    InitOnceExecuteOnce(&mutex->once, initializeSection, mutex, NULL);
    return &mutex->section;
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes) {
    (void)attributes;
    memset(mutex, 0, sizeof(*mutex));
    sectionOf(mutex);
    return 0;
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
    EnterCriticalSection(sectionOf(mutex));
    return 0;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) {
    LeaveCriticalSection(sectionOf(mutex));
    return 0;
}

int pthread_mutex_destroy(pthread_mutex_t* mutex) {
    BOOL pending = FALSE;
    BOOL initialized = FALSE;
    if (InitOnceBeginInitialize(&mutex->once, INIT_ONCE_CHECK_ONLY, &pending, NULL)) {
        initialized = !pending;
    }
    if (initialized) {
        DeleteCriticalSection(&mutex->section);
    }
    memset(mutex, 0, sizeof(*mutex)); // back to the never-used state
    return 0;
}

int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attributes) {
    (void)attributes;
    InitializeConditionVariable(cond);
    return 0;
}

int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
    return SleepConditionVariableCS(cond, sectionOf(mutex), INFINITE) ? 0 : 1;
}

int64_t monotonicMilliseconds(void) {
    return (int64_t)GetTickCount64();
}

// The system's waits take a relative time, counted on no wall clock.
bool condWaitMilliseconds(pthread_cond_t* cond, pthread_mutex_t* mutex, int milliseconds) {
    if (SleepConditionVariableCS(cond, sectionOf(mutex), (DWORD)milliseconds)) {
        return false;
    }
    return GetLastError() == ERROR_TIMEOUT;
}

void threadWakeInit(ThreadWake* wake) {
    pthread_mutex_init(&wake->lock, NULL);
    pthread_cond_init(&wake->posted, NULL);
    wake->isPosted = false;
}

void threadWakeDestroy(ThreadWake* wake) {
    pthread_cond_destroy(&wake->posted);
    pthread_mutex_destroy(&wake->lock);
}

void threadWakeReset(ThreadWake* wake) {
    wake->isPosted = false;
}

void threadWakePost(ThreadWake* wake) {
    pthread_mutex_lock(&wake->lock);
    wake->isPosted = true;
    pthread_cond_signal(&wake->posted);
    pthread_mutex_unlock(&wake->lock);
}

// The lock is the wake-up's own, so a woken thread contends with nobody for it.
bool threadWakeWait(ThreadWake* wake, int milliseconds) {
    int64_t deadline = monotonicMilliseconds() + milliseconds;
    pthread_mutex_lock(&wake->lock);
    for (int64_t left = milliseconds; !wake->isPosted && left > 0; left = deadline - monotonicMilliseconds()) {
        condWaitMilliseconds(&wake->posted, &wake->lock, (int)left);
    }
    bool posted = wake->isPosted;
    pthread_mutex_unlock(&wake->lock);
    return posted;
}

int pthread_cond_signal(pthread_cond_t* cond) {
    WakeConditionVariable(cond);
    return 0;
}

int pthread_cond_broadcast(pthread_cond_t* cond) {
    WakeAllConditionVariable(cond);
    return 0;
}

int pthread_cond_destroy(pthread_cond_t* cond) {
    (void)cond; // a condition variable holds nothing to release
    return 0;
}

// ---- Locks for the TLS library ---------------------------------------------------

// Mbed TLS is built with its locks left to the program (deps/mbedtls/threading_alt.h):
// slim reader/writer locks, which need no release. They are installed before
// main, so that every use of the library, from any thread, finds them.

static void tlsMutexInit(mbedtls_threading_mutex_t* mutex) {
    InitializeSRWLock((PSRWLOCK)&mutex->lock);
    mutex->valid = 1;
}

static void tlsMutexFree(mbedtls_threading_mutex_t* mutex) {
    mutex->valid = 0;
}

static int tlsMutexLock(mbedtls_threading_mutex_t* mutex) {
    if (!mutex->valid) {
        return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
    }
    AcquireSRWLockExclusive((PSRWLOCK)&mutex->lock);
    return 0;
}

static int tlsMutexUnlock(mbedtls_threading_mutex_t* mutex) {
    if (!mutex->valid) {
        return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
    }
    ReleaseSRWLockExclusive((PSRWLOCK)&mutex->lock);
    return 0;
}

namespace {

struct TLSLocksInstaller {
    TLSLocksInstaller() {
        static_assert(sizeof(((mbedtls_threading_mutex_t*)NULL)->lock) == sizeof(SRWLOCK), "an SRWLOCK is one pointer");
        mbedtls_threading_set_alt(tlsMutexInit, tlsMutexFree, tlsMutexLock, tlsMutexUnlock);
    }
};

TLSLocksInstaller tlsLocksInstaller;

} // namespace

// ---- Strings --------------------------------------------------------------------

wchar_t* strdupWideFromUTF8(const char* utf8String, size_t extraBytes) {
    size_t utf8StringLength = strlen(utf8String);
    WEBSERVER_ASSERT(utf8StringLength < INT_MAX &&
                     "No strings over 2GB please because MultiByteToWideChar does not allow that");
    int wideLength = 0;
    if (utf8StringLength > 0) {
        wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8String, (int)utf8StringLength, NULL, 0);
    }
    wchar_t* wide = (wchar_t*)calloc((size_t)wideLength + 1 + extraBytes, sizeof(wchar_t));
    if (NULL == wide) {
        printf("Out of memory while converting '%s' to wide characters\n", utf8String);
        abort();
    }
    if (wideLength > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8String, (int)utf8StringLength, wide, wideLength);
    }
    return wide;
}

// ---- Directories ------------------------------------------------------------------

DIR* opendir(const char* path) {
    DIR* dir = (DIR*)calloc(1, sizeof(DIR));
    if (NULL == dir) {
        printf("Out of memory while opening directory '%s'\n", path);
        return NULL;
    }
    wchar_t* pattern = strdupWideFromUTF8(path, 6);
    wcscat(pattern, L"\\*");
    dir->findFiles = FindFirstFileW(pattern, &dir->findData);
    if (INVALID_HANDLE_VALUE == dir->findFiles) {
        printf("Could not open path '%s' (wide path '%ls'). GetLastError is %d\n", path, pattern, (int)GetLastError());
        free(pattern);
        free(dir);
        return NULL;
    }
    free(pattern);
    dir->onFirstFile = true;
    return dir;
}

struct dirent* readdir(DIR* dir) {
    memset(&dir->currentEntry, 0, sizeof(dir->currentEntry));
    if (dir->onFirstFile) {
        dir->onFirstFile = false;
    } else if (!FindNextFileW(dir->findFiles, &dir->findData)) {
        return NULL;
    }
    WideCharToMultiByte(CP_UTF8, 0, dir->findData.cFileName, -1, dir->currentEntry.d_name,
                        (int)sizeof(dir->currentEntry.d_name) - 1, NULL, NULL);
    return &dir->currentEntry;
}

int closedir(DIR* dir) {
    if (INVALID_HANDLE_VALUE != dir->findFiles) {
        FindClose(dir->findFiles);
    }
    free(dir);
    return 0;
}

// ---- Paths and files ----------------------------------------------------------------

int pathInformationGet(const char* path, PathInformation* info) {
    wchar_t* widePath = strdupWideFromUTF8(path, 0);
    DWORD attributes = GetFileAttributesW(widePath);
    if (INVALID_FILE_ATTRIBUTES == attributes) {
        DWORD error = GetLastError();
        // A name that Windows cannot have (one with '<', '>', '"', '|', '?'
        // or '*', say) names nothing either.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) {
            info->exists = false;
            info->isDirectory = false;
            free(widePath);
            return 0;
        }
        printf("We were unable to get information about path '%s'. GetFileAttributesW('%ls') last error is %ld\n", path,
               widePath, (long)error);
        free(widePath);
        return 1;
    }
    free(widePath);
    bool hiddenOrSystem = 0 != (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    info->exists = !hiddenOrSystem;
    info->isDirectory = 0 != (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return 0;
}

char* strdupPathLongForm(const char* path) {
    wchar_t* widePath = strdupWideFromUTF8(path, 0);
    DWORD needed = GetLongPathNameW(widePath, NULL, 0);
    char* longForm = NULL;
    if (needed > 0) {
        wchar_t* wideLong = (wchar_t*)calloc(needed, sizeof(wchar_t));
        DWORD written = NULL == wideLong ? 0 : GetLongPathNameW(widePath, wideLong, needed);
        if (written > 0 && written < needed) {
            int bytes = WideCharToMultiByte(CP_UTF8, 0, wideLong, -1, NULL, 0, NULL, NULL);
            longForm = bytes > 0 ? (char*)calloc((size_t)bytes, 1) : NULL;
            if (NULL != longForm && 0 == WideCharToMultiByte(CP_UTF8, 0, wideLong, -1, longForm, bytes, NULL, NULL)) {
                free(longForm);
                longForm = NULL;
            }
        }
        free(wideLong);
    }
    free(widePath);
    return NULL != longForm ? longForm : strdup(path);
}

FILE* fopen_utf8_path(const char* utf8Path, const char* mode) {
    wchar_t* widePath = strdupWideFromUTF8(utf8Path, 0);
    wchar_t* wideMode = strdupWideFromUTF8(mode, 0);
    FILE* file = _wfopen(widePath, wideMode);
    free(widePath);
    free(wideMode);
    return file;
}

int fileSeek64(FILE* file, int64_t offset, int whence) {
    return _fseeki64(file, offset, whence);
}

int64_t fileTell64(FILE* file) {
    return _ftelli64(file);
}

// ---- Sockets -----------------------------------------------------------------------

void callWSAStartupIfNecessary(void) {
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (INVALID_SOCKET == probe && WSAGetLastError() == WSANOTINITIALISED) {
        WSADATA startupData;
        memset(&startupData, 0, sizeof(startupData));
        int result = WSAStartup(MAKEWORD(2, 2), &startupData);
        if (0 != result) {
            printf("Calling WSAStartup failed! It returned %d with GetLastError() = %d\n", result, (int)GetLastError());
            fflush(stdout);
            abort();
        }
        return;
    }
    if (INVALID_SOCKET != probe) {
        closesocket(probe);
    }
}

void ignoreSIGPIPE(void) {
    // Sends on Windows never raise a signal: nothing to switch off.
}

void printIPv4Addresses(uint16_t port) {
    printf("(Printing the bound interfaces is not supported on Windows; if the server is bound to all addresses "
           "or to the loopback interface, try http://127.0.0.1:%u/)\n",
           (unsigned)port);
}

int socketLastError(void) {
    int error = WSAGetLastError();
    switch (error) {
    case WSAEINTR:
    case WSA_OPERATION_ABORTED: // what a blocked accept reports under Wine when its listener is closed
        return EINTR;
    case WSAEBADF:
    case WSAENOTSOCK:
        return EBADF;
    case WSAEACCES:
        return EACCES;
    case WSAEFAULT:
        return EFAULT;
    case WSAEINVAL:
        return EINVAL;
    case WSAEMFILE:
        return EMFILE;
    case WSAEWOULDBLOCK:
        return EWOULDBLOCK;
    case WSAEINPROGRESS:
        return EINPROGRESS;
    case WSAEALREADY:
        return EALREADY;
    case WSAEDESTADDRREQ:
        return EDESTADDRREQ;
    case WSAEMSGSIZE:
        return EMSGSIZE;
    case WSAEPROTOTYPE:
        return EPROTOTYPE;
    case WSAENOPROTOOPT:
        return ENOPROTOOPT;
    case WSAEPROTONOSUPPORT:
        return EPROTONOSUPPORT;
    case WSAEOPNOTSUPP:
        return EOPNOTSUPP;
    case WSAEAFNOSUPPORT:
        return EAFNOSUPPORT;
    case WSAEADDRINUSE:
        return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
        return EADDRNOTAVAIL;
    case WSAENETDOWN:
        return ENETDOWN;
    case WSAENETUNREACH:
        return ENETUNREACH;
    case WSAENETRESET:
        return ENETRESET;
    case WSAECONNABORTED:
        return ECONNABORTED;
    case WSAECONNRESET:
        return ECONNRESET;
    case WSAENOBUFS:
        return ENOBUFS;
    case WSAEISCONN:
        return EISCONN;
    case WSAENOTCONN:
        return ENOTCONN;
    case WSAESHUTDOWN:
        return EPIPE;
    case WSAETIMEDOUT:
        return ETIMEDOUT;
    case WSAECONNREFUSED:
        return ECONNREFUSED;
    case WSAELOOP:
        return ELOOP;
    case WSAENAMETOOLONG:
        return ENAMETOOLONG;
    case WSAEHOSTUNREACH:
        return EHOSTUNREACH;
    case WSANOTINITIALISED:
        return EINVAL;
    default:
        return error; // no errno counterpart: the Windows Sockets code itself
    }
}

int socketClose(sockettype socket) {
    return closesocket(socket);
}

int socketShutdownSending(sockettype socket) {
    return shutdown(socket, SD_SEND);
}

int socketShutdownBoth(sockettype socket) {
    return shutdown(socket, SD_BOTH);
}

int socketAllowPortReuse(sockettype listener) {
    // Windows binds a port again at once anyway; its SO_REUSEADDR would let a
    // second server take a port that is in use, so ask for the opposite.
    BOOL exclusive = TRUE;
    return setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&exclusive, sizeof(exclusive));
}

void socketSetIOTimeouts(sockettype socket, int milliseconds) {
    DWORD timeout = (DWORD)milliseconds;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof(timeout));
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, (const char*)&timeout, sizeof(timeout));
}

int socketWaitReadable(sockettype socket, int milliseconds) {
    // One socket: select's fixed-size set is no limit here.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    struct timeval timeout;
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
    int result = select(0, &readable, NULL, NULL, &timeout);
    if (result == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEINTR ? 0 : -1;
    }
    return result > 0 ? 1 : 0;
}

bool socketReceiveNow(sockettype socket, char* into, size_t capacity, ssize_t* received) {
    // The socket blocks, and no flag makes one receive not wait: a receive
    // is made only when bytes are there to be taken. Nothing there may also
    // be the peer's end, which the caller's wait then finds.
    u_long waiting = 0;
    if (0 != ioctlsocket(socket, FIONREAD, &waiting) || waiting == 0) {
        return false;
    }
    *received = recv(socket, into, (int)(capacity < INT_MAX ? capacity : INT_MAX), 0);
    return true;
}

ssize_t socketSendNow(sockettype socket, const char* data, size_t length) {
    // The connection's socket blocks (its receive waits in another thread),
    // so room is looked for first; a send of a little into a writable socket
    // is taken at once.
    static const size_t AT_ONCE_BYTES = 4096;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    struct timeval noWait = {0, 0};
    int ready = select(0, NULL, &writable, NULL, &noWait);
    if (ready <= 0) {
        return ready == 0 ? 0 : -1;
    }
    int sent = send(socket, data, (int)(length < AT_ONCE_BYTES ? length : AT_ONCE_BYTES), 0);
    return sent < 0 ? -1 : sent;
}

long descriptorLimitRaise(void) {
    // Windows sockets are kernel handles without a per-process count limit.
    return 0;
}

bool socketInterruptAccept(sockettype listener) {
    // On Windows closing the listener wakes a thread blocked in accept.
    closesocket(listener);
    return true;
}
