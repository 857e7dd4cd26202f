// platform_test.cpp: the Windows platform layer against the real system
// calls: threads, locks and condition variables under their POSIX names,
// directories and path attributes by UTF-8 path, 64-bit file positions, and
// the socket helpers (error mapping, time limits, waking a blocked accept).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "internal.h"
#include "platform.h"

namespace {

// A fresh folder under the system's temporary folder, removed with its files.
class TempFolder {
  public:
    TempFolder() {
        char base[MAX_PATH];
        GetTempPathA(sizeof(base), base);
        char name[64];
        snprintf(name, sizeof(name), "q2-platform-%lu-%lu", GetCurrentProcessId(), GetTickCount());
        path_ = std::string(base) + name;
        CreateDirectoryA(path_.c_str(), NULL);
    }
    ~TempFolder() {
        for (const std::string& file : files_) {
            std::wstring wide = widen(file);
            SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(wide.c_str());
        }
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            RemoveDirectoryW(widen(*folder).c_str());
        }
        RemoveDirectoryA(path_.c_str());
    }
    // Creates a folder (UTF-8 name, may lie in an earlier one); returns its path.
    std::string addFolder(const std::string& name) {
        std::string folder = path_ + "\\" + name;
        EXPECT_TRUE(CreateDirectoryW(widen(folder).c_str(), NULL)) << folder;
        folders_.push_back(folder);
        return folder;
    }
    // Creates the file (UTF-8 name) with the given contents; returns its path.
    std::string addFile(const std::string& name, const std::string& contents, DWORD attributes = 0) {
        std::string file = path_ + "\\" + name;
        std::wstring wide = widen(file);
        HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, handle) << file;
        DWORD written = 0;
        WriteFile(handle, contents.data(), (DWORD)contents.size(), &written, NULL);
        CloseHandle(handle);
        if (attributes != 0) {
            SetFileAttributesW(wide.c_str(), attributes);
        }
        files_.push_back(file);
        return file;
    }
    const std::string& path() const {
        return path_;
    }

    static std::wstring widen(const std::string& utf8) {
        wchar_t* wide = strdupWideFromUTF8(utf8.c_str(), 0);
        std::wstring result(wide);
        free(wide);
        return result;
    }

  private:
    std::string path_;
    std::vector<std::string> files_;
    std::vector<std::string> folders_;
};

// ---- Threads, mutexes and condition variables -----------------------------------------

struct Handshake {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int stage;   // under lock
    int counter; // under lock
};

void* answerHandshake(void* pointer) {
    Handshake* handshake = (Handshake*)pointer;
    pthread_mutex_lock(&handshake->lock);
    while (handshake->stage != 1) {
        pthread_cond_wait(&handshake->changed, &handshake->lock);
    }
    handshake->stage = 2;
    pthread_cond_signal(&handshake->changed);
    pthread_mutex_unlock(&handshake->lock);
    return NULL;
}

void* countToTenThousand(void* pointer) {
    Handshake* handshake = (Handshake*)pointer;
    for (int i = 0; i < 10000; i++) {
        pthread_mutex_lock(&handshake->lock);
        handshake->counter++;
        pthread_mutex_unlock(&handshake->lock);
    }
    return NULL;
}

TEST(Threads, ConditionVariableCarriesAHandshakeBothWays) {
    Handshake handshake;
    handshake.stage = 0;
    handshake.counter = 0;
    ASSERT_EQ(0, pthread_mutex_init(&handshake.lock, NULL));
    ASSERT_EQ(0, pthread_cond_init(&handshake.changed, NULL));

    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, NULL, answerHandshake, &handshake));
    pthread_mutex_lock(&handshake.lock);
    handshake.stage = 1;
    pthread_cond_signal(&handshake.changed);
    while (handshake.stage != 2) {
        ASSERT_EQ(0, pthread_cond_wait(&handshake.changed, &handshake.lock));
    }
    pthread_mutex_unlock(&handshake.lock);
    EXPECT_EQ(0, pthread_join(thread, NULL));

    EXPECT_EQ(0, pthread_cond_destroy(&handshake.changed));
    EXPECT_EQ(0, pthread_mutex_destroy(&handshake.lock));
}

TEST(Threads, MutexKeepsCountsOfFourThreadsWithASmallStackExact) {
    Handshake handshake;
    handshake.stage = 0;
    handshake.counter = 0;
    pthread_mutex_init(&handshake.lock, NULL);
    pthread_attr_t attributes;
    ASSERT_EQ(0, pthread_attr_init(&attributes));
    ASSERT_EQ(0, pthread_attr_setstacksize(&attributes, 256 * 1024));
    pthread_t threads[4];
    for (pthread_t& thread : threads) {
        ASSERT_EQ(0, pthread_create(&thread, &attributes, countToTenThousand, &handshake));
    }
    pthread_attr_destroy(&attributes);
    for (pthread_t thread : threads) {
        EXPECT_EQ(0, pthread_join(thread, NULL));
    }
    EXPECT_EQ(40000, handshake.counter);
    pthread_mutex_destroy(&handshake.lock);
}

TEST(Threads, ZeroFilledMutexAndConditionWorkWithoutInit) {
    // Like a static POSIX mutex: the module's statistics lock is used before
    // any server initialises it.
    static pthread_mutex_t mutex;
    static pthread_cond_t cond;
    EXPECT_EQ(0, pthread_mutex_lock(&mutex));
    EXPECT_EQ(0, pthread_cond_signal(&cond));
    EXPECT_EQ(0, pthread_mutex_unlock(&mutex));
    EXPECT_EQ(0, pthread_mutex_lock(&mutex)); // was really released
    EXPECT_EQ(0, pthread_mutex_unlock(&mutex));
    EXPECT_EQ(0, pthread_mutex_destroy(&mutex));
}

TEST(Threads, TimedWaitRunsOutWithoutASignal) {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    pthread_mutex_init(&mutex, NULL);
    pthread_cond_init(&cond, NULL);
    pthread_mutex_lock(&mutex);
    ULONGLONG start = GetTickCount64();
    bool timedOut = false;
    for (int guard = 0; guard < 100 && !timedOut; guard++) {
        timedOut = condWaitMilliseconds(&cond, &mutex, 200);
    }
    ULONGLONG elapsed = GetTickCount64() - start;
    pthread_mutex_unlock(&mutex);
    EXPECT_TRUE(timedOut);
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 10000u);
    pthread_mutex_destroy(&mutex);
}

void* postWake(void* wake) {
    Sleep(50);
    threadWakePost((ThreadWake*)wake);
    return NULL;
}

TEST(Threads, WakeUpRunsOutUnpostedAndEndsOncePosted) {
    ThreadWake wake;
    threadWakeInit(&wake);
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(threadWakeWait(&wake, 200));
    EXPECT_GE(GetTickCount64() - start, 150u);
    pthread_t poster;
    ASSERT_EQ(0, pthread_create(&poster, NULL, postWake, &wake));
    EXPECT_TRUE(threadWakeWait(&wake, 10000));
    EXPECT_EQ(0, pthread_join(poster, NULL));
    threadWakeReset(&wake);
    EXPECT_FALSE(threadWakeWait(&wake, 1));
    threadWakeDestroy(&wake);
}

HANDLE detachedDone = NULL;

void* signalDone(void* pointer) {
    (void)pointer;
    SetEvent(detachedDone);
    return NULL;
}

TEST(Threads, DetachedThreadStillRuns) {
    detachedDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, NULL, signalDone, NULL));
    EXPECT_EQ(0, pthread_detach(thread));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(detachedDone, 10000));
    CloseHandle(detachedDone);
}

// ---- Strings -----------------------------------------------------------------------------

TEST(StrdupWideFromUTF8, ConvertsMultiByteTextAndLeavesSpareRoom) {
    wchar_t* wide = strdupWideFromUTF8("Gr\xC3\xBC\xC3\x9F"
                                       "e \xE2\x82\xAC",
                                       3);
    EXPECT_EQ(std::wstring(L"Gr\u00FC\u00DFe \u20AC"), std::wstring(wide));
    wcscat(wide, L"abc"); // the spare room is usable
    EXPECT_EQ(std::wstring(L"Gr\u00FC\u00DFe \u20ACabc"), std::wstring(wide));
    free(wide);

    wchar_t* empty = strdupWideFromUTF8("", 2);
    EXPECT_EQ(L'\0', empty[0]);
    wcscat(empty, L"xy");
    EXPECT_EQ(std::wstring(L"xy"), std::wstring(empty));
    free(empty);
}

// ---- Directories and paths ----------------------------------------------------------------

std::vector<std::string> listNames(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (NULL == dir) {
        return names;
    }
    for (int guard = 0; guard < 1000; guard++) {
        struct dirent* entry = readdir(dir);
        if (NULL == entry) {
            break;
        }
        names.push_back(entry->d_name);
    }
    EXPECT_EQ(0, closedir(dir));
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Directories, ListEveryEntryInUTF8IncludingDotEntries) {
    TempFolder folder;
    folder.addFile("plain.txt", "1");
    folder.addFile("\xC3\xA4rger \xE2\x82\xAC.txt", "2"); // "ärger €.txt"
    std::vector<std::string> expected = {".", "..", "plain.txt", "\xC3\xA4rger \xE2\x82\xAC.txt"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, listNames(folder.path()));
}

TEST(Directories, OpenFailsForMissingPathsAndForFiles) {
    TempFolder folder;
    std::string file = folder.addFile("file.txt", "x");
    EXPECT_EQ(nullptr, opendir((folder.path() + "\\missing").c_str()));
    EXPECT_EQ(nullptr, opendir(file.c_str()));
}

TEST(PathInformation, TellsFilesFoldersMissingAndPrivatePaths) {
    TempFolder folder;
    PathInformation info;

    info = {true, true};
    EXPECT_EQ(0, pathInformationGet((folder.path() + "\\missing.txt").c_str(), &info));
    EXPECT_FALSE(info.exists);
    EXPECT_FALSE(info.isDirectory);

    info = {true, true};
    EXPECT_EQ(0, pathInformationGet((folder.path() + "\\missing\\deeper.txt").c_str(), &info));
    EXPECT_FALSE(info.exists);
    EXPECT_FALSE(info.isDirectory);

    info = {true, true};
    EXPECT_EQ(0, pathInformationGet((folder.path() + "\\no<such>name").c_str(), &info));
    EXPECT_FALSE(info.exists);
    EXPECT_FALSE(info.isDirectory);

    info = {false, false};
    EXPECT_EQ(0, pathInformationGet(folder.path().c_str(), &info));
    EXPECT_TRUE(info.exists);
    EXPECT_TRUE(info.isDirectory);

    info = {false, true};
    EXPECT_EQ(0, pathInformationGet(folder.addFile("\xC3\xA4.txt", "x").c_str(), &info));
    EXPECT_TRUE(info.exists);
    EXPECT_FALSE(info.isDirectory);

    // Hidden and system files are never offered.
    info = {true, true};
    EXPECT_EQ(0, pathInformationGet(folder.addFile("hidden.txt", "x", FILE_ATTRIBUTE_HIDDEN).c_str(), &info));
    EXPECT_FALSE(info.exists);
    EXPECT_FALSE(info.isDirectory);
    info = {true, true};
    EXPECT_EQ(0, pathInformationGet(folder.addFile("system.txt", "x", FILE_ATTRIBUTE_SYSTEM).c_str(), &info));
    EXPECT_FALSE(info.exists);
    // A dot-name counts only as far as the system marks it (Wine marks
    // them hidden, Windows does not).
    std::string dotFile = folder.addFile(".env", "x");
    DWORD attributes = GetFileAttributesW(TempFolder::widen(dotFile).c_str());
    info = {true, true};
    EXPECT_EQ(0, pathInformationGet(dotFile.c_str(), &info));
    EXPECT_EQ(0 == (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)), info.exists);
    EXPECT_FALSE(info.isDirectory);
}

TEST(PathInformation, LongFormUndoesAShortName) {
    TempFolder folder;
    std::string dotFolder = folder.addFolder(".git");
    wchar_t shortForm[MAX_PATH] = {0};
    DWORD length = GetShortPathNameW(TempFolder::widen(dotFolder).c_str(), shortForm, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring shortWide(shortForm);
    std::wstring shortName = shortWide.substr(shortWide.find_last_of(L'\\') + 1);
    if (shortName == L".git") {
        GTEST_SKIP() << "this file system makes no short names";
    }
    std::string alias(shortName.begin(), shortName.end()); // short names are ASCII
    char* longForm = strdupPathLongForm((folder.path() + "\\" + alias).c_str());
    std::string expanded(longForm);
    EXPECT_EQ("\\.git", expanded.substr(expanded.size() - 5)) << alias << " became " << expanded;
    free(longForm);
}

TEST(Files, OpenByUTF8PathAndSeekPastTheEnd) {
    TempFolder folder;
    std::string file = folder.addFile("\xE2\x82\xAC-\xC3\xBC.bin", "0123456789");
    FILE* stream = fopen_utf8_path(file.c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    char buffer[16] = {0};
    EXPECT_EQ(10u, fread(buffer, 1, sizeof(buffer), stream));
    EXPECT_STREQ("0123456789", buffer);
    EXPECT_EQ(0, fileSeek64(stream, 0, SEEK_END));
    EXPECT_EQ(10, fileTell64(stream));
    EXPECT_EQ(0, fileSeek64(stream, 4, SEEK_SET));
    EXPECT_EQ(4, fileTell64(stream));
    fclose(stream);

    EXPECT_EQ(nullptr, fopen_utf8_path((folder.path() + "\\missing.bin").c_str(), "rb"));
}

// ---- Sockets --------------------------------------------------------------------------------

// A listener on 127.0.0.1 with a port the system chose.
sockettype listenOnLoopback(uint16_t* port) {
    sockettype listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(SOCKET_INVALID, listener);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    EXPECT_EQ(0, bind(listener, (struct sockaddr*)&address, sizeof(address)));
    EXPECT_EQ(0, listen(listener, 4));
    socklen_t length = sizeof(address);
    getsockname(listener, (struct sockaddr*)&address, &length);
    *port = ntohs(address.sin_port);
    return listener;
}

class Sockets : public ::testing::Test {
  protected:
    void SetUp() override {
        callWSAStartupIfNecessary();
    }
};

TEST_F(Sockets, ErrorsOfTheSocketLayerComeBackAsErrnoValues) {
    char byte = 0;
    EXPECT_EQ(-1, recv(SOCKET_INVALID, &byte, 1, 0));
    EXPECT_EQ(EBADF, socketLastError());

    // Nothing listens on a port that was just given up.
    uint16_t port = 0;
    sockettype listener = listenOnLoopback(&port);
    socketClose(listener);
    sockettype client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_NE(0, connect(client, (struct sockaddr*)&address, sizeof(address)));
    EXPECT_EQ(ECONNREFUSED, socketLastError());
    EXPECT_EQ(0, socketClose(client));
}

TEST_F(Sockets, AcceptErrorsOfOnePendingConnectionLeaveTheServerRunning) {
    // A client that resets before it is taken makes accept fail with
    // WSAECONNRESET on Windows and WSAENOTCONN under Wine; only a listener
    // that is closed or invalid may end the loop.
    const struct {
        int code;
        AcceptError kind;
    } cases[] = {{WSAECONNRESET, AcceptErrorOfOneConnection},
                 {WSAENOTCONN, AcceptErrorOfOneConnection},
                 {WSAECONNABORTED, AcceptErrorOfOneConnection},
                 {WSAENETRESET, AcceptErrorOfOneConnection},
                 {WSAETIMEDOUT, AcceptErrorOfOneConnection},
                 {WSAEHOSTDOWN, AcceptErrorOfOneConnection},
                 {WSAEMFILE, AcceptErrorShortage},
                 {WSAENOBUFS, AcceptErrorShortage},
                 {WSAENOTSOCK, AcceptErrorListenerGone},
                 {WSAEBADF, AcceptErrorListenerGone},
                 {WSAEINVAL, AcceptErrorListenerGone}};
    for (const auto& row : cases) {
        WSASetLastError(row.code);
        EXPECT_EQ(row.kind, acceptErrorKind(socketLastError())) << row.code;
    }
}

TEST_F(Sockets, ReceiveTimesOutAfterTheIOLimit) {
    uint16_t port = 0;
    sockettype listener = listenOnLoopback(&port);
    sockettype client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(0, connect(client, (struct sockaddr*)&address, sizeof(address)));
    sockettype accepted = accept(listener, NULL, NULL);
    ASSERT_NE(SOCKET_INVALID, accepted);

    socketSetIOTimeouts(accepted, 300);
    ULONGLONG start = GetTickCount64();
    char byte = 0;
    EXPECT_EQ(-1, recv(accepted, &byte, 1, 0)); // the peer sends nothing
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(ETIMEDOUT, socketLastError());
    EXPECT_GE(elapsed, 250u);
    EXPECT_LT(elapsed, 10000u);

    socketClose(accepted);
    socketClose(client);
    socketClose(listener);
}

TEST_F(Sockets, PortOfARunningListenerCannotBeTakenBySecondOne) {
    uint16_t port = 0;
    sockettype first = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(0, socketAllowPortReuse(first));
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(first, (struct sockaddr*)&address, sizeof(address)));
    ASSERT_EQ(0, listen(first, 4));
    socklen_t length = sizeof(address);
    getsockname(first, (struct sockaddr*)&address, &length);
    port = ntohs(address.sin_port);

    sockettype second = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(0, socketAllowPortReuse(second));
    address.sin_port = htons(port);
    EXPECT_NE(0, bind(second, (struct sockaddr*)&address, sizeof(address)));
    int error = socketLastError();
    EXPECT_TRUE(error == EADDRINUSE || error == EACCES) << error;
    socketClose(second);
    socketClose(first);
}

struct BlockedAccept {
    sockettype listener;
    HANDLE returned;
    sockettype result;
    int error;
};

void* acceptOnce(void* pointer) {
    BlockedAccept* blocked = (BlockedAccept*)pointer;
    blocked->result = accept(blocked->listener, NULL, NULL);
    blocked->error = socketLastError();
    SetEvent(blocked->returned);
    return NULL;
}

TEST_F(Sockets, InterruptingAcceptClosesTheListenerAndWakesTheWaiter) {
    uint16_t port = 0;
    BlockedAccept blocked;
    blocked.listener = listenOnLoopback(&port);
    blocked.returned = CreateEventA(NULL, TRUE, FALSE, NULL);
    blocked.result = 0;
    blocked.error = 0;
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, NULL, acceptOnce, &blocked));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(blocked.returned, 300)); // really blocked

    EXPECT_TRUE(socketInterruptAccept(blocked.listener)); // the caller must not close it again
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(blocked.returned, 10000));
    EXPECT_EQ(SOCKET_INVALID, blocked.result);
    EXPECT_TRUE(blocked.error == EINTR || blocked.error == EBADF) << blocked.error;
    pthread_join(thread, NULL);
    CloseHandle(blocked.returned);
}

} // namespace
