// platform.h: the operating-system services the server module is written
// against. Everything the module needs from the system goes through the
// names declared here (or through the POSIX names that the platform's types
// header provides), so that one platform_*.cpp file per system implements
// the whole layer. The types header is chosen here, from the compiler's own
// definitions, so that an embedding program needs no setting of its own.
#pragma once

#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#include "platform_win32.h"
#else
#include "platform_posix.h"
#endif

struct PathInformation {
    bool exists;      // false also for what the system itself hides (hidden or system entries on Windows)
    bool isDirectory; // true for a directory, independent of exists
};

// Looks at what `path` is. Returns 0 when it could answer (also when the path
// does not exist: both flags false); 1 after printing a message when it cannot.
int pathInformationGet(const char* path, PathInformation* info);

// A copy of `path` with each existing name in the form the file system stores
// it (on Windows the long name behind an alias such as GIT~1), so that a rule
// about names sees the real ones. A plain copy where names have one form only
// or the path does not exist. The caller frees it.
char* strdupPathLongForm(const char* path);

// Opens a file by its UTF-8 path; the caller closes the stream. Null on failure.
FILE* fopen_utf8_path(const char* utf8Path, const char* mode);

// Moves a stream opened by fopen_utf8_path to `offset` from `whence`
// (SEEK_SET, SEEK_END) with 64-bit offsets, so files past 2 GiB keep their
// real length where `long` has 32 bits. 0 on success, -1 with errno set.
int fileSeek64(FILE* file, int64_t offset, int whence);
// The stream's position as a 64-bit offset; -1 with errno set on failure.
int64_t fileTell64(FILE* file);

// Milliseconds on the system's monotonic clock, from an arbitrary start: the
// one clock for every deadline, wait and age. Setting the wall clock (as a
// till does at boot) never moves it.
int64_t monotonicMilliseconds(void);

// One wake-up of one sleeping thread, which goes on without taking a lock:
// a thread woken through a condition variable takes its mutex again first
// (on Linux one more system call for every hand-over, and a wait when the
// waker still holds it). The waker sets what the sleeper reads before
// posting, and the sleeper reads it once woken. Reset before each use; post
// at most once per use.
void threadWakeInit(ThreadWake* wake);
void threadWakeDestroy(ThreadWake* wake);
void threadWakeReset(ThreadWake* wake);
void threadWakePost(ThreadWake* wake);
// Sleeps until the wake-up is posted or `milliseconds` of the monotonic clock
// have passed; true when it was posted (never for a spurious wake-up).
bool threadWakeWait(ThreadWake* wake, int milliseconds);

// Waits on cond (with mutex held) for at most `milliseconds` of the
// monotonic clock, however the condition variable was initialised; true
// when the time ran out, false after a wake-up (which may be spurious).
bool condWaitMilliseconds(pthread_cond_t* cond, pthread_mutex_t* mutex, int milliseconds);

// Makes the socket layer usable; does nothing where no start-up is needed.
void callWSAStartupIfNecessary(void);

// After this call a send to a peer that has gone away fails instead of ending
// the process.
void ignoreSIGPIPE(void);

// Prints, one line each, where a server bound to every IPv4 address on `port`
// can be reached.
void printIPv4Addresses(uint16_t port);

// The error number of the last failed socket call, as an errno value.
int socketLastError(void);

// Closes a socket; 0 on success.
int socketClose(sockettype socket);

// Ends the sending side of a connected socket (the peer reads end of
// stream); receiving goes on. 0 on success.
int socketShutdownSending(sockettype socket);
// Ends both sides, waking a thread blocked receiving on it. 0 on success.
int socketShutdownBoth(sockettype socket);

// Lets a listener bind its port again at once after a restart, while never
// letting two listeners share a port. 0 on success.
int socketAllowPortReuse(sockettype listener);

// Bounds every later receive and send on `socket` to `milliseconds` without
// progress; a receive that times out fails like a receive error.
void socketSetIOTimeouts(sockettype socket, int milliseconds);

// Waits at most `milliseconds` (0: only looks) until a receive on `socket`
// would not block: bytes, the peer's end or an error are there. 1 then, 0
// when the time ran out or a signal cut the wait short, -1 on failure.
int socketWaitReadable(sockettype socket, int milliseconds);

// Receives what has come on `socket` without waiting for more: false when
// nothing has come yet (or this system cannot tell without waiting), else
// true with *received the count, 0 at the peer's end or -1 on failure.
bool socketReceiveNow(sockettype socket, char* into, size_t capacity, ssize_t* received);

// Sends what `socket` takes now without waiting for room: the count, 0 when
// it takes nothing for now, -1 when the connection has failed.
ssize_t socketSendNow(sockettype socket, const char* data, size_t length);

// Raises the process's limit of open descriptors as far as it may go. The
// limit then in force, or 0 where the system sets none.
long descriptorLimitRaise(void);

// Makes an accept blocked on `listener` (and every later one) fail. Returns
// true when it had to close the socket to do so (the caller must then not
// close it again), false when the socket is still open.
bool socketInterruptAccept(sockettype listener);
