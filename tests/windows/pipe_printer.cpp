// pipe_printer.cpp: a stand-in printer for the Windows tests. Creates the
// named pipe \\.\pipe\NAME and appends every byte that its clients write to
// OUTPUT, one client after another, so that a test sees exactly what reached
// the "printer". Further NAME OUTPUT pairs are served alike, each pipe by its
// own thread, so that one process stands for several printers. The pipes are
// duplex, as a printer's device is. In stall mode it takes clients but never
// reads, like a printer that stops taking data. It ends by itself after
// LIFETIME seconds.
//   pipe_printer NAME OUTPUT READY read|stall LIFETIME [NAME OUTPUT]...
// READY is created once every pipe exists.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

static const DWORD PIPE_BUFFER_BYTES = 4096; // small, so that a stalled reader stalls the writer soon

static const int MAX_PRINTERS = 8;

// One pipe and the file that receives what reaches it.
struct Printer {
    char pipeName[256];
    HANDLE output;
};

static Printer printers[MAX_PRINTERS];
static CRITICAL_SECTION outputLock;
static bool stallMode = false;

struct Client {
    HANDLE pipe;
    HANDLE output;
};

static DWORD WINAPI serveClient(void* clientPointer) {
    Client* client = (Client*)clientPointer;
    HANDLE pipe = client->pipe;
    HANDLE output = client->output;
    free(client);
    if (stallMode) {
        Sleep(INFINITE); // never reads; the watchdog ends the process
    }
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof(buffer), &got, NULL) || got == 0) {
            break; // the client closed its end
        }
        EnterCriticalSection(&outputLock);
        DWORD written = 0;
        WriteFile(output, buffer, got, &written, NULL);
        LeaveCriticalSection(&outputLock);
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

static DWORD WINAPI watchdog(void* secondsPointer) {
    Sleep((DWORD)(uintptr_t)secondsPointer * 1000);
    ExitProcess(0);
    return 0;
}

// Makes one pipe instance; false after a message when it cannot.
static bool makeInstance(const Printer* printer, HANDLE* pipe) {
    *pipe = CreateNamedPipeA(printer->pipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                             PIPE_UNLIMITED_INSTANCES, 0, PIPE_BUFFER_BYTES, 0, NULL);
    if (INVALID_HANDLE_VALUE == *pipe) {
        fprintf(stderr, "pipe_printer: cannot create %s (error %lu)\n", printer->pipeName, GetLastError());
        return false;
    }
    return true;
}

// Takes the clients of one printer, one thread each; `first` is the
// instance made before READY was announced.
struct Listener {
    const Printer* printer;
    HANDLE first;
};

static DWORD WINAPI acceptClients(void* listenerPointer) {
    Listener* listener = (Listener*)listenerPointer;
    HANDLE pipe = listener->first;
    for (;;) {
        if (INVALID_HANDLE_VALUE == pipe && !makeInstance(listener->printer, &pipe)) {
            ExitProcess(1);
        }
        if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
            continue;
        }
        Client* client = (Client*)malloc(sizeof(Client));
        HANDLE thread = NULL;
        if (NULL != client) {
            client->pipe = pipe;
            client->output = listener->printer->output;
            thread = CreateThread(NULL, 0, serveClient, client, 0, NULL);
        }
        if (NULL == thread) {
            free(client);
            CloseHandle(pipe);
        } else {
            CloseHandle(thread);
        }
        pipe = INVALID_HANDLE_VALUE;
    }
}

int main(int argc, char** argv) {
    int count = (argc - 4) / 2;
    if (argc < 6 || argc % 2 != 0 || count > MAX_PRINTERS) {
        fprintf(stderr, "usage: pipe_printer NAME OUTPUT READY read|stall LIFETIME [NAME OUTPUT]...\n");
        return 2;
    }
    stallMode = 0 == strcmp(argv[4], "stall");
    uintptr_t lifetime = (uintptr_t)atoi(argv[5]);
    InitializeCriticalSection(&outputLock);
    Listener listeners[MAX_PRINTERS];
    for (int i = 0; i < count; i++) {
        const char* name = i == 0 ? argv[1] : argv[6 + 2 * (i - 1)];
        const char* outputPath = i == 0 ? argv[2] : argv[7 + 2 * (i - 1)];
        Printer* printer = &printers[i];
        snprintf(printer->pipeName, sizeof(printer->pipeName), "\\\\.\\pipe\\%s", name);
        printer->output = CreateFileA(outputPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (INVALID_HANDLE_VALUE == printer->output) {
            fprintf(stderr, "pipe_printer: cannot create %s (error %lu)\n", outputPath, GetLastError());
            return 1;
        }
        listeners[i].printer = printer;
        if (!makeInstance(printer, &listeners[i].first)) {
            return 1;
        }
    }
    CloseHandle(CreateThread(NULL, 0, watchdog, (void*)lifetime, 0, NULL));
    HANDLE ready = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(ready);
    for (int i = 1; i < count; i++) {
        CloseHandle(CreateThread(NULL, 0, acceptClients, &listeners[i], 0, NULL));
    }
    acceptClients(&listeners[0]);
    return 0;
}
