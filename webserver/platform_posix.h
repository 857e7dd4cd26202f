// platform_posix.h: the types of the platform layer on POSIX systems, where
// threads, mutexes, condition variables and directories are the system's own.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

typedef int sockettype;

// A thread's wake-up: a word the sleeper waits on with the kernel (futex).
struct ThreadWake {
    std::atomic<int> state; // nobody sleeps, posted, or the sleeper sleeps
};

// The value of a socket that is not open.
static const sockettype SOCKET_INVALID = -1;

// Shutting a socket down ends a wait for it (poll, recv) in another thread.
static const bool SOCKET_SHUTDOWN_ENDS_WAITS = true;
