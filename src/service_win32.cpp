// service_win32.cpp: quorvel2.exe as a Windows service. The process offers
// itself to the service dispatcher first when services.exe started it; a
// console start runs as the console program (the dispatcher would refuse it
// with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, but Wine's only after a ten
// second wait for a pipe, so the parent is looked at first).
// As a service the options are those of its command line, as on the console;
// the server runs on a thread of its own while the service's thread tells the
// Service Control Manager how it goes, and what the console would show is
// appended to %ProgramData%\quorvel2\<service name>.log through a pipe whose
// reader moves a full log aside. A stop, of the service or of the console
// program, is the print service's graceful stop.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

#ifdef _UCRT
#error "the service's log needs the msvcrt runtime's FILE record (see redirectStream)"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which they need.
#include <shlobj.h>
#include <tlhelp32.h>

#include "printservice.h"
#include "service.h"

// A log that would grow past this is moved to <name>.log.1 first.
static const LONGLONG LOG_LIMIT_BYTES = 1048576;

// How long the manager is told to wait between two signs of progress; a
// stop shows progress every STOP_PROGRESS_MS all through its grace period.
static const DWORD START_WAIT_HINT_MS = 10000;
static const DWORD STOP_WAIT_HINT_MS = 5000;
// Progress is shown this often while the server starts and while it drains
// its connections.
static const int START_PROGRESS_MS = 1000;
static const DWORD STOP_PROGRESS_MS = 1000;

// The one service of this process. Written before the dispatcher starts and
// by the service's thread; the control handler only sets the event.
struct Service {
    Server* server;
    int (*serve)(Server* server, void* context);
    void* context;
    int exitStatus;
    SERVICE_STATUS_HANDLE statusHandle;
    DWORD checkPoint;
    HANDLE stopRequested; // manual-reset event
};
static Service service;

// The log: the write end of the pipe is standard output and error.
struct ServiceLog {
    wchar_t path[MAX_PATH];
    HANDLE readEnd;
    HANDLE reader; // thread
};

// Tells the manager the state, and for a pending one how long until the next sign.
static void reportStatus(DWORD state, DWORD waitHint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (state == SERVICE_STOPPED && service.exitStatus != 0) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = (DWORD)service.exitStatus;
    }
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++service.checkPoint : 0;
    status.dwWaitHint = pending ? waitHint : 0;
    SetServiceStatus(service.statusHandle, &status);
}

static DWORD WINAPI controlHandler(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        SetEvent(service.stopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

static HANDLE openLogFile(const wchar_t* path) {
    return CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// Appends what comes through the pipe until its last write end is closed.
static DWORD WINAPI logReader(void* argument) {
    const ServiceLog* log = (const ServiceLog*)argument;
    wchar_t previous[MAX_PATH + 2];
    swprintf(previous, MAX_PATH + 2, L"%ls.1", log->path);
    HANDLE file = openLogFile(log->path);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(log->readEnd, buffer, sizeof(buffer), &got, NULL)) {
        if (INVALID_HANDLE_VALUE == file) {
            file = openLogFile(log->path); // a log that could not be opened is tried again
        }
        LARGE_INTEGER size = {};
        if (INVALID_HANDLE_VALUE != file && GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
            size.QuadPart + got > LOG_LIMIT_BYTES) {
            CloseHandle(file);
            DWORD moveError = MoveFileExW(log->path, previous, MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
            if (0 != moveError) {
                // Bounded all the same: emptied, with a line that says why.
                HANDLE emptied =
                    CreateFileW(log->path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
                if (INVALID_HANDLE_VALUE != emptied) {
                    CloseHandle(emptied);
                }
            }
            file = openLogFile(log->path);
            if (0 != moveError && INVALID_HANDLE_VALUE != file) {
                char line[160];
                int length = snprintf(line, sizeof(line),
                                      "The log could not be moved aside (error %lu), so it was emptied to stay within "
                                      "%lld bytes\r\n",
                                      moveError, (long long)LOG_LIMIT_BYTES);
                DWORD lineWritten = 0;
                WriteFile(file, line, (DWORD)length, &lineWritten, NULL);
            }
        }
        DWORD written = 0;
        if (INVALID_HANDLE_VALUE != file) {
            WriteFile(file, buffer, got, &written, NULL);
        }
    }
    if (INVALID_HANDLE_VALUE != file) {
        CloseHandle(file);
    }
    return 0;
}

// Makes the stream write to the descriptor. A service starts without
// standard handles, and the runtime then leaves its standard streams without
// a descriptor (-2), which freopen and _dup2 cannot mend; the stream is given
// its descriptor's number directly.
static bool redirectStream(FILE* stream, int stdFd, int fd) {
    if (0 != _dup2(fd, stdFd)) {
        return false;
    }
    if (_fileno(stream) < 0) {
        stream->_file = stdFd;
    }
    return _fileno(stream) == stdFd;
}

// Sends standard output and error into the log of the named service.
static bool startLog(const wchar_t* serviceName, ServiceLog* log) {
    wchar_t folder[MAX_PATH];
    if (S_OK != SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, folder) ||
        wcslen(folder) > MAX_PATH - 20) {
        return false;
    }
    wcscat(folder, L"\\quorvel2");
    CreateDirectoryW(folder, NULL);
    if (swprintf(log->path, MAX_PATH, L"%ls\\%ls.log", folder, serviceName) < 0) {
        return false;
    }
    HANDLE writeEnd = NULL;
    if (!CreatePipe(&log->readEnd, &writeEnd, NULL, 0)) {
        return false;
    }
    log->reader = CreateThread(NULL, 0, logReader, log, 0, NULL);
    int fd = NULL == log->reader ? -1 : _open_osfhandle((intptr_t)writeEnd, _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        CloseHandle(writeEnd); // the reader, if any, sees the end
        if (NULL != log->reader) {
            WaitForSingleObject(log->reader, INFINITE);
            CloseHandle(log->reader);
        }
        CloseHandle(log->readEnd);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    // Should either fail, the output is lost, as without the log; stopLog
    // closes whatever copy a stream holds.
    if (redirectStream(stdout, 1, fd) && redirectStream(stderr, 2, fd)) {
        setvbuf(stdout, NULL, _IONBF, 0); // a line reaches the log when it is printed
    }
    _close(fd); // the streams hold their own copies
    return true;
}

// Closes the streams' write ends, so the reader sees the end and finishes.
static void stopLog(ServiceLog* log) {
    fflush(stdout);
    fflush(stderr);
    freopen("NUL", "w", stdout);
    freopen("NUL", "w", stderr);
    WaitForSingleObject(log->reader, INFINITE);
    CloseHandle(log->reader);
    CloseHandle(log->readEnd);
}

static DWORD WINAPI serveThread(void*) {
    return (DWORD)service.serve(service.server, service.context);
}

static DWORD WINAPI stopThread(void*) {
    printServiceBeginStop(service.server);
    serverStop(service.server); // returns once every connection has ended
    return 0;
}

// Runs the server; returns once it has ended, by a stop or by itself.
static void serveUntilStopped(HANDLE serving) {
    // Running once it listens; stops are taken only from then on, so that
    // serverStop never waits for a server that could not listen.
    while (!serverWaitUntilListening(service.server, START_PROGRESS_MS)) {
        if (WAIT_TIMEOUT != WaitForSingleObject(serving, START_PROGRESS_MS / 10)) {
            return; // it ended without listening
        }
        reportStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS);
    }
    reportStatus(SERVICE_RUNNING, 0);
    HANDLE events[2] = {service.stopRequested, serving};
    if (WAIT_OBJECT_0 != WaitForMultipleObjects(2, events, FALSE, INFINITE)) {
        return;
    }
    // Jobs in progress finish or get their answer meanwhile.
    reportStatus(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
    HANDLE stopping = CreateThread(NULL, 0, stopThread, NULL, 0, NULL);
    if (NULL == stopping) {
        stopThread(NULL);
        return;
    }
    while (WAIT_TIMEOUT == WaitForSingleObject(stopping, STOP_PROGRESS_MS)) {
        reportStatus(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
    }
    CloseHandle(stopping);
}

static void WINAPI serviceMain(DWORD argc, wchar_t** argv) {
    const wchar_t* name = argc > 0 ? argv[0] : L"quorvel2";
    service.statusHandle = RegisterServiceCtrlHandlerExW(name, controlHandler, NULL);
    if (NULL == service.statusHandle) {
        service.exitStatus = 1;
        return;
    }
    reportStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS);
    ServiceLog log = {};
    bool logging = startLog(name, &log);
    HANDLE serving = CreateThread(NULL, 0, serveThread, NULL, 0, NULL);
    if (NULL == serving) {
        fprintf(stderr, "Error: cannot start the server's thread (error %lu)\n", GetLastError());
        service.exitStatus = 1;
    } else {
        serveUntilStopped(serving);
        WaitForSingleObject(serving, INFINITE);
        DWORD exitCode = 1;
        GetExitCodeThread(serving, &exitCode);
        service.exitStatus = (int)exitCode;
        CloseHandle(serving);
    }
    if (logging) {
        stopLog(&log);
    }
    reportStatus(SERVICE_STOPPED, 0);
}

// The executable name and parent of the process `id` in the snapshot; the
// name is "" when the process is not there.
static void processName(HANDLE snapshot, DWORD id, DWORD* parent, wchar_t* name, size_t capacity) {
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    name[0] = L'\0';
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == id) {
            *parent = entry.th32ParentProcessID;
            wcsncpy(name, entry.szExeFile, capacity - 1);
            name[capacity - 1] = L'\0';
            return;
        }
    }
}

// Whether the Service Control Manager (services.exe) started this process.
static bool startedByServiceManager(void) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (INVALID_HANDLE_VALUE == snapshot) {
        return true; // the dispatcher tells
    }
    DWORD parent = 0;
    DWORD grandparent = 0;
    wchar_t name[MAX_PATH];
    processName(snapshot, GetCurrentProcessId(), &parent, name, MAX_PATH);
    processName(snapshot, parent, &grandparent, name, MAX_PATH);
    CloseHandle(snapshot);
    return 0 == _wcsicmp(name, L"services.exe");
}

// The console program's server, and how many stop requests it has had.
static Server* consoleServer = NULL;
static volatile LONG consoleStopRequests = 0;

// Runs on a thread of its own for each console event.
static BOOL WINAPI consoleControl(DWORD control) {
    const char* what = control == CTRL_C_EVENT       ? "Ctrl+C"
                       : control == CTRL_BREAK_EVENT ? "Ctrl+Break"
                       : control == CTRL_CLOSE_EVENT ? "The console was closed"
                                                     : NULL;
    if (NULL == what) {
        return FALSE;
    }
    if (InterlockedIncrement(&consoleStopRequests) > 1) {
        printf("A second stop request: ending at once\n");
        fflush(stdout);
        ExitProcess(1);
    }
    char line[128]; // one write: the service's log is an unbuffered stream
    snprintf(line, sizeof(line), "%s: stopping; a second stop request ends the process at once\n", what);
    fputs(line, stdout);
    fflush(stdout);
    printServiceBeginStop(consoleServer);
    if (control == CTRL_CLOSE_EVENT) {
        // The process would end as soon as this returns; it ends when the
        // server has stopped (or when Windows' own time for it is up).
        Sleep(INFINITE);
    }
    return TRUE;
}

int serviceRun(Server* server, int (*serve)(Server* server, void* context), void* context) {
    if (!startedByServiceManager()) {
        consoleServer = server;
        SetConsoleCtrlHandler(consoleControl, TRUE);
        return SERVICE_NOT_STARTED_BY_MANAGER;
    }
    service.server = server;
    service.serve = serve;
    service.context = context;
    // The name is not read for a service in a process of its own.
    static wchar_t serviceName[] = L"quorvel2";
    SERVICE_TABLE_ENTRYW table[] = {{serviceName, serviceMain}, {NULL, NULL}};
    service.stopRequested = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (NULL == service.stopRequested) {
        fprintf(stderr, "Error: cannot make the service's stop event (error %lu)\n", GetLastError());
        return 1;
    }
    int status = SERVICE_NOT_STARTED_BY_MANAGER;
    if (StartServiceCtrlDispatcherW(table)) {
        status = service.exitStatus;
    } else if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        fprintf(stderr, "Error: the service dispatcher failed (error %lu)\n", GetLastError());
        status = 1;
    }
    CloseHandle(service.stopRequested);
    return status;
}
