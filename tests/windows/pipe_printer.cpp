// pipe_printer.cpp: a stand-in printer for the Windows tests. Creates the
// named pipe \\.\pipe\NAME and appends every byte that its clients write to
// OUTPUT, one client after another, so that a test sees exactly what reached
// the "printer". Each NAME OUTPUT MODE triple is one printer, its pipe
// served by its own thread, so that one process stands for several printers
// of different kinds. In read mode the pipe only takes bytes, like a printer
// that cannot answer; in stall mode it takes clients but never reads, like a
// printer that stops taking data. In the answering modes the pipe is duplex
// and each DLE EOT n gets its reply byte back, from a ready printer or from
// one whose cover is open. It ends by itself after LIFETIME seconds.
//   pipe_printer READY LIFETIME NAME OUTPUT MODE [NAME OUTPUT MODE]...
//   MODE: read|stall|ready|cover-open
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

// One pipe, how it behaves and the file that receives what reaches it.
struct Printer {
    char pipeName[256];
    HANDLE output;
    bool stalls;
    bool answers;
    // Replies to DLE EOT 1..4; bits 1 and 4 are set in every reply.
    unsigned char replies[4];
};

static Printer printers[MAX_PRINTERS];
static CRITICAL_SECTION outputLock;

// Sets up a printer for MODE; false when the mode is unknown.
static bool setMode(Printer* printer, const char* mode) {
    memset(printer->replies, 0x12, sizeof(printer->replies));
    printer->stalls = 0 == strcmp(mode, "stall");
    printer->answers = 0 == strcmp(mode, "ready") || 0 == strcmp(mode, "cover-open");
    if (0 == strcmp(mode, "cover-open")) {
        printer->replies[0] = 0x1A; // offline
        printer->replies[1] = 0x16; // because the cover is open
    }
    return printer->stalls || printer->answers || 0 == strcmp(mode, "read");
}

// Answers every complete DLE EOT n in what arrived; *matched carries a
// request split across reads.
static void answerStatusRequests(const Printer* printer, HANDLE pipe, const char* data, DWORD length, int* matched) {
    for (DWORD i = 0; i < length; i++) {
        unsigned char byte = (unsigned char)data[i];
        if (*matched == 2 && byte >= 1 && byte <= 4) {
            DWORD written = 0;
            WriteFile(pipe, &printer->replies[byte - 1], 1, &written, NULL);
            *matched = 0;
        } else if (byte == 0x10) {
            *matched = 1;
        } else {
            *matched = (*matched == 1 && byte == 0x04) ? 2 : 0;
        }
    }
}

struct Client {
    HANDLE pipe;
    const Printer* printer;
};

static DWORD WINAPI serveClient(void* clientPointer) {
    Client* client = (Client*)clientPointer;
    HANDLE pipe = client->pipe;
    const Printer* printer = client->printer;
    free(client);
    if (printer->stalls) {
        Sleep(INFINITE); // never reads; the watchdog ends the process
    }
    char buffer[4096];
    int matched = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof(buffer), &got, NULL) || got == 0) {
            break; // the client closed its end
        }
        EnterCriticalSection(&outputLock);
        DWORD written = 0;
        WriteFile(printer->output, buffer, got, &written, NULL);
        LeaveCriticalSection(&outputLock);
        if (printer->answers) {
            answerStatusRequests(printer, pipe, buffer, got, &matched);
        }
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

// Makes one pipe instance; false after a message when it cannot. Only an
// answering printer's pipe can be read by its client, so that the server
// opens the others write-only and never asks them.
static bool makeInstance(const Printer* printer, HANDLE* pipe) {
    DWORD direction = printer->answers ? PIPE_ACCESS_DUPLEX : PIPE_ACCESS_INBOUND;
    DWORD outBufferBytes = printer->answers ? PIPE_BUFFER_BYTES : 0;
    *pipe = CreateNamedPipeA(printer->pipeName, direction, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                             PIPE_UNLIMITED_INSTANCES, outBufferBytes, PIPE_BUFFER_BYTES, 0, NULL);
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
            client->printer = listener->printer;
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
    int count = (argc - 3) / 3;
    if (argc < 6 || (argc - 3) % 3 != 0 || count > MAX_PRINTERS) {
        fprintf(stderr, "usage: pipe_printer READY LIFETIME NAME OUTPUT read|stall|ready|cover-open "
                        "[NAME OUTPUT MODE]...\n");
        return 2;
    }
    uintptr_t lifetime = (uintptr_t)atoi(argv[2]);
    InitializeCriticalSection(&outputLock);
    Listener listeners[MAX_PRINTERS];
    for (int i = 0; i < count; i++) {
        const char* name = argv[3 + 3 * i];
        const char* outputPath = argv[4 + 3 * i];
        const char* mode = argv[5 + 3 * i];
        Printer* printer = &printers[i];
        if (!setMode(printer, mode)) {
            fprintf(stderr, "pipe_printer: unknown mode %s\n", mode);
            return 2;
        }
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
    HANDLE ready = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(ready);
    for (int i = 1; i < count; i++) {
        CloseHandle(CreateThread(NULL, 0, acceptClients, &listeners[i], 0, NULL));
    }
    acceptClients(&listeners[0]);
    return 0;
}
