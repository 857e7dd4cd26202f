// service_posix.cpp: on Linux the service manager (systemd) runs the console
// program itself and stops it with SIGTERM, so the program is never a
// service of its own making. SIGTERM and SIGINT begin the graceful stop; a
// thread of their own waits for them, so that the stop runs outside a
// signal handler.
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "printservice.h"
#include "service.h"

static void stopSignals(sigset_t* signals) {
    sigemptyset(signals);
    sigaddset(signals, SIGTERM);
    sigaddset(signals, SIGINT);
}

static void* stopOnSignals(void* serverPointer) {
    sigset_t signals;
    stopSignals(&signals);
    int received = 0;
    if (0 != sigwait(&signals, &received)) {
        return NULL;
    }
    fputs(received == SIGTERM ? "SIGTERM: stopping; a second stop request ends the process at once\n"
                              : "SIGINT: stopping; a second stop request ends the process at once\n",
          stdout);
    fflush(stdout);
    printServiceBeginStop((Server*)serverPointer);
    if (0 == sigwait(&signals, &received)) {
        printf("A second stop request: ending at once\n");
        fflush(stdout);
        _exit(1);
    }
    return NULL;
}

int serviceRun(Server* server, int (*)(Server*, void*), void*) {
    // Blocked before any other thread exists, so that only the watcher takes them.
    sigset_t signals;
    stopSignals(&signals);
    pthread_sigmask(SIG_BLOCK, &signals, NULL);
    pthread_t watcher;
    if (0 == pthread_create(&watcher, NULL, stopOnSignals, server)) {
        pthread_detach(watcher);
    } else {
        pthread_sigmask(SIG_UNBLOCK, &signals, NULL); // they end the process, as without a stop
    }
    return SERVICE_NOT_STARTED_BY_MANAGER;
}
