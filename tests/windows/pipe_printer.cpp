// pipe_printer.cpp: a stand-in printer for the Windows tests. Creates the
// named pipe \\.\pipe\NAME and appends every byte that its clients write to
// OUTPUT, one client after another, so that a test sees exactly what reached
// the "printer". In stall mode it takes clients but never reads, like a
// printer that stops taking data. In the answering modes the pipe is duplex
// and each DLE EOT n gets its reply byte back, from a ready printer or from
// one whose cover is open. It ends by itself after LIFETIME seconds.
//   pipe_printer NAME OUTPUT READY read|stall|ready|cover-open LIFETIME
// READY is created once the pipe exists.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

static const DWORD PIPE_BUFFER_BYTES = 4096; // small, so that a stalled reader stalls the writer soon

static HANDLE output = INVALID_HANDLE_VALUE;
static CRITICAL_SECTION outputLock;
static bool stallMode = false;
static bool answers = false;
// Replies to DLE EOT 1..4; bits 1 and 4 are set in every reply.
static unsigned char replies[4] = {0x12, 0x12, 0x12, 0x12};

// Answers every complete DLE EOT n in what arrived; *matched carries a
// request split across reads.
static void answerStatusRequests(HANDLE pipe, const char* data, DWORD length, int* matched) {
    for (DWORD i = 0; i < length; i++) {
        unsigned char byte = (unsigned char)data[i];
        if (*matched == 2 && byte >= 1 && byte <= 4) {
            DWORD written = 0;
            WriteFile(pipe, &replies[byte - 1], 1, &written, NULL);
            *matched = 0;
        } else if (byte == 0x10) {
            *matched = 1;
        } else {
            *matched = (*matched == 1 && byte == 0x04) ? 2 : 0;
        }
    }
}

static DWORD WINAPI serveClient(void* pipePointer) {
    HANDLE pipe = (HANDLE)pipePointer;
    if (stallMode) {
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
        WriteFile(output, buffer, got, &written, NULL);
        LeaveCriticalSection(&outputLock);
        if (answers) {
            answerStatusRequests(pipe, buffer, got, &matched);
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

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: pipe_printer NAME OUTPUT READY read|stall|ready|cover-open LIFETIME\n");
        return 2;
    }
    char pipeName[256];
    snprintf(pipeName, sizeof(pipeName), "\\\\.\\pipe\\%s", argv[1]);
    stallMode = 0 == strcmp(argv[4], "stall");
    answers = 0 == strcmp(argv[4], "ready") || 0 == strcmp(argv[4], "cover-open");
    if (0 == strcmp(argv[4], "cover-open")) {
        replies[0] = 0x1A; // offline
        replies[1] = 0x16; // because the cover is open
    }
    uintptr_t lifetime = (uintptr_t)atoi(argv[5]);
    InitializeCriticalSection(&outputLock);
    output = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (INVALID_HANDLE_VALUE == output) {
        fprintf(stderr, "pipe_printer: cannot create %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    CloseHandle(CreateThread(NULL, 0, watchdog, (void*)lifetime, 0, NULL));

    bool first = true;
    for (;;) {
        DWORD direction = answers ? PIPE_ACCESS_DUPLEX : PIPE_ACCESS_INBOUND;
        HANDLE pipe =
            CreateNamedPipeA(pipeName, direction, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                             PIPE_UNLIMITED_INSTANCES, answers ? PIPE_BUFFER_BYTES : 0, PIPE_BUFFER_BYTES, 0, NULL);
        if (INVALID_HANDLE_VALUE == pipe) {
            fprintf(stderr, "pipe_printer: cannot create %s (error %lu)\n", pipeName, GetLastError());
            return 1;
        }
        if (first) {
            HANDLE ready = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            CloseHandle(ready);
            first = false;
        }
        if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            continue;
        }
        HANDLE thread = CreateThread(NULL, 0, serveClient, pipe, 0, NULL);
        if (NULL == thread) {
            CloseHandle(pipe);
            continue;
        }
        CloseHandle(thread);
    }
}
