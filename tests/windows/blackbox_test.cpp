// blackbox_test.cpp: quorvel2.exe under Wine, driven from Linux. The printer
// is a Windows named pipe served by pipe_printer.exe (also under Wine), which
// appends what it reads to a file that the test compares byte for byte. The
// server is reached over loopback like any Windows program's port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string WINE_RUN = Q2_WINE_RUN;
const std::string BUILD_DIR = Q2_WINDOWS_BUILD_DIR;
const std::string QUORVEL2_EXE = Q2_QUORVEL2_EXE;
const std::string TESTHOOKS_EXE = BUILD_DIR + "/tests/support/quorvel2-testhooks.exe";
const std::string PIPE_PRINTER_EXE = BUILD_DIR + "/tests/windows/pipe_printer.exe";

// Wine's first start in a prefix can take long; later ones take a second or two.
const int START_LIMIT_MS = 90000;

const char CORS_LINES[] = "Access-Control-Allow-Origin: *\r\n"
                          "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
                          "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n";

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

bool fileExists(const std::string& path) {
    struct stat st;
    return 0 == stat(path.c_str(), &st);
}

// The path under which Wine's programs see a Linux path (drive Z: is "/").
std::string windowsPath(const std::string& path) {
    std::string result = "Z:" + path;
    for (char& c : result) {
        if (c == '/') {
            c = '\\';
        }
    }
    return result;
}

// A private folder for one test's files, removed with them.
struct TempFolder {
    std::string path;
    TempFolder() {
        char pattern[] = "/tmp/q2-wine-XXXXXX";
        EXPECT_NE(nullptr, mkdtemp(pattern));
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// A Windows program under Wine as a child process, its output in files.
struct WineProcess {
    pid_t pid = -1;
    int status = -1;

    void start(const std::vector<std::string>& arguments, const std::string& outPath, const std::string& errPath,
               const std::vector<std::string>& environment = {}) {
        pid = fork();
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int none = open("/dev/null", O_RDONLY);
            dup2(none, 0);
            dup2(out, 1);
            dup2(err, 2);
            for (const std::string& assignment : environment) {
                putenv(strdup(assignment.c_str()));
            }
            std::vector<char*> argv;
            argv.push_back((char*)WINE_RUN.c_str());
            for (const std::string& argument : arguments) {
                argv.push_back((char*)argument.c_str());
            }
            argv.push_back(NULL);
            execv(WINE_RUN.c_str(), argv.data());
            _exit(127);
        }
    }
    // Waits up to limitMs for the exit; true when it exited.
    bool wait(int limitMs) {
        long long deadline = nowMs() + limitMs;
        while (pid > 0) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                pid = -1;
                return true;
            }
            if (nowMs() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    int exitCode() const {
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (!wait(5000)) {
                kill(pid, SIGKILL);
                wait(5000);
            }
        }
    }
    ~WineProcess() {
        stop();
    }
};

struct RunResult {
    int exitCode;
    std::string out;
    std::string err;
};

// Runs quorvel2.exe with the arguments to its end (bounded).
RunResult runQuorvel2(const std::vector<std::string>& arguments) {
    TempFolder folder;
    std::vector<std::string> command = {QUORVEL2_EXE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    WineProcess process;
    process.start(command, folder.path + "/out", folder.path + "/err");
    bool exited = process.wait(START_LIMIT_MS);
    EXPECT_TRUE(exited) << "quorvel2.exe did not end";
    RunResult result = {exited ? process.exitCode() : -1, readFile(folder.path + "/out"),
                        readFile(folder.path + "/err")};
    return result;
}

// pipe_printer.exe serving \\.\pipe\NAME for one test.
class PipePrinter {
  public:
    PipePrinter(const std::string& mode) {
        static int serial = 0;
        name_ = "q2bb-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        std::string ready = folder_.path + "/ready";
        process_.start({PIPE_PRINTER_EXE, name_, windowsPath(output()), windowsPath(ready), mode, "300"},
                       folder_.path + "/printer.out", folder_.path + "/printer.err");
        long long deadline = nowMs() + START_LIMIT_MS;
        while (!fileExists(ready) && nowMs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ready_ = fileExists(ready);
    }
    bool ready() const {
        return ready_;
    }
    // The name given to --device: the device namespace prefix is added by quorvel2.
    std::string deviceName() const {
        return "pipe\\" + name_;
    }
    std::string output() const {
        return folder_.path + "/printed.bin";
    }
    // What has reached the printer once `expected` bytes arrived or the limit passed.
    std::string printed(size_t expected, int limitMs = 20000) const {
        long long deadline = nowMs() + limitMs;
        std::string contents = readFile(output());
        while (contents.size() < expected && nowMs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            contents = readFile(output());
        }
        return contents;
    }

  private:
    TempFolder folder_; // declared before process_: removed after the process ended
    std::string name_;
    bool ready_ = false;
    WineProcess process_;
};

int freePort() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, (struct sockaddr*)&address, sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(probe, (struct sockaddr*)&address, &length);
    close(probe);
    return ntohs(address.sin_port);
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)port);
    if (0 != connect(fd, (struct sockaddr*)&address, sizeof(address))) {
        close(fd);
        return -1;
    }
    struct timeval limit = {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t result = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result <= 0) {
            return false;
        }
        sent += (size_t)result;
    }
    return true;
}

std::string receiveUntilClosed(int fd) {
    std::string received;
    char buffer[4096];
    for (int guard = 0; guard < 10000; guard++) {
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            break;
        }
        received.append(buffer, (size_t)got);
    }
    return received;
}

// quorvel2 (or the test build) serving on a free port for one test.
class Server {
  public:
    Server(const std::string& exe, const std::string& device, const std::vector<std::string>& environment = {}) {
        port_ = freePort();
        process_.start({exe, "--port", std::to_string(port_), "--device", device}, folder_.path + "/server.out",
                       folder_.path + "/server.err", environment);
        long long deadline = nowMs() + START_LIMIT_MS;
        while (nowMs() < deadline) {
            int fd = connectTo(port_);
            if (fd >= 0) {
                // A probe that sends nothing is answered with a close; that is fine.
                close(fd);
                ready_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    bool ready() const {
        return ready_;
    }
    // Sends the bytes, then reads the answer until the server closes.
    std::string exchange(const std::string& request) const {
        int fd = connectTo(port_);
        if (fd < 0) {
            return "(no connection)";
        }
        sendAll(fd, request);
        std::string answer = receiveUntilClosed(fd);
        close(fd);
        return answer;
    }
    std::string log() const {
        return readFile(folder_.path + "/server.out") + readFile(folder_.path + "/server.err");
    }
    int port() const {
        return port_;
    }

  private:
    TempFolder folder_; // declared before process_: removed after the process ended
    int port_ = 0;
    bool ready_ = false;
    WineProcess process_;
};

std::string post(const std::string& body) {
    return "POST /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string allByteValues() {
    std::string bytes = "\x1b@";
    for (int round = 0; round < 40; round++) {
        for (int value = 0; value < 256; value++) {
            bytes.push_back((char)value);
        }
    }
    return bytes;
}

const std::string TEST_RECEIPT("\x1b@\x1b@#4, Dalmor\n\x1d!\x11Sporthalle\nTisch 2\n\x1d!\x00\n"
                               "- Weizen (2,30 EUR)\n\x1b"
                               "d\x03\x1dV"
                               "A\x03",
                               68);

// ---- Command line ------------------------------------------------------------------------

TEST(WindowsCommandLine, HelpVersionAndRefusalsWithTheirExitStatuses) {
    RunResult version = runQuorvel2({"--version"});
    EXPECT_EQ(0, version.exitCode);
    EXPECT_EQ("1.0.0\r\n", version.out); // a Windows console program's line ends

    RunResult help = runQuorvel2({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(0u, help.out.find("Tolvane Printserver V2\r\n")) << help.out;
    EXPECT_NE(std::string::npos, help.out.find("--discover")) << help.out;
    EXPECT_NE(std::string::npos, help.out.find("-d, --device=<DEV>")) << help.out;

    RunResult badPort = runQuorvel2({"--port", "0"});
    EXPECT_EQ(1, badPort.exitCode);
    EXPECT_EQ("Error: A valid TCP port number in range 1 .. 65535 is required\r\n", badPort.err);

    RunResult emptyDevice = runQuorvel2({"--device", ""});
    EXPECT_EQ(1, emptyDevice.exitCode);
    EXPECT_EQ("Error: A valid device name is required\r\n", emptyDevice.err);
}

TEST(WindowsCommandLine, DiscoverFindsNoUSBPrinterUnderWine) {
    RunResult discover = runQuorvel2({"--discover"});
    EXPECT_EQ(0, discover.exitCode);
    EXPECT_EQ("USB printers (usbprint.sys):\r\n\r\n"
              "  (none found \xE2\x80\x94 is the printer plugged in and powered on?)\r\n\r\n",
              discover.out);
}

TEST(WindowsCommandLine, TestReceiptGoesIntoThePipeExactly) {
    PipePrinter printer("read");
    ASSERT_TRUE(printer.ready());
    RunResult test = runQuorvel2({"--test", "--device", printer.deviceName()});
    EXPECT_EQ(0, test.exitCode) << test.err;
    std::string printed = printer.printed(TEST_RECEIPT.size());
    EXPECT_EQ(68u, printed.size());
    EXPECT_TRUE(TEST_RECEIPT == printed);
}

TEST(WindowsCommandLine, TestReceiptOnAMissingPipeFailsWithTheErrorText) {
    RunResult test = runQuorvel2({"--test", "--device", "pipe\\q2bb-nobody"});
    EXPECT_EQ(1, test.exitCode);
    EXPECT_NE(std::string::npos, test.err.find("Cannot open printer device '\\\\.\\pipe\\q2bb-nobody': ")) << test.err;
}

TEST(WindowsCommandLine, VidNamesGoToTheUSBLookupOnlyInLowerCase) {
    RunResult usb = runQuorvel2({"--test", "--device", "vid_04b8"});
    EXPECT_EQ(1, usb.exitCode);
    EXPECT_EQ("No USB printer matching 'vid_04b8' found. Run --discover to list devices.\r\n", usb.err);

    RunResult plain = runQuorvel2({"--test", "--device", "VID_04B8"});
    EXPECT_EQ(1, plain.exitCode);
    EXPECT_NE(std::string::npos, plain.err.find("Cannot open printer device '\\\\.\\VID_04B8': ")) << plain.err;
}

// ---- The server ----------------------------------------------------------------------------

TEST(WindowsServer, PostAndRawStreamsReachThePipeByteExactInOrder) {
    PipePrinter printer("read");
    ASSERT_TRUE(printer.ready());
    Server server(QUORVEL2_EXE, printer.deviceName());
    ASSERT_TRUE(server.ready()) << server.log();

    std::string firstJob = allByteValues();
    std::string answer = server.exchange(post(firstJob));
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nServer: Ostrelin/1.1.3\r\n" +
                  std::string(CORS_LINES) + "\r\n",
              answer);
    EXPECT_TRUE(firstJob == printer.printed(firstJob.size())) << "the POST body did not arrive byte-exact";

    // A raw stream: ESC first, sent in pieces, nothing answered.
    std::string rawJob = "\x1b@";
    for (int i = 0; i < 100000; i++) {
        rawJob.push_back((char)((i * 13) & 0xFF));
    }
    int fd = connectTo(server.port());
    ASSERT_GE(fd, 0);
    for (size_t offset = 0; offset < rawJob.size(); offset += 7000) {
        ASSERT_TRUE(sendAll(fd, rawJob.substr(offset, 7000)));
    }
    shutdown(fd, SHUT_WR);
    EXPECT_EQ("", receiveUntilClosed(fd));
    close(fd);
    std::string expected = firstJob + rawJob;
    EXPECT_TRUE(expected == printer.printed(expected.size())) << "the raw stream did not follow byte-exact";

    // And one more POST after it: each job opens the pipe anew.
    std::string lastJob = "\x1b@last\n";
    EXPECT_EQ(0u, server.exchange(post(lastJob)).find("HTTP/1.1 200 OK\r\n"));
    expected += lastJob;
    EXPECT_TRUE(expected == printer.printed(expected.size()));
}

TEST(WindowsServer, OptionsIsAnsweredWithTheCORSLines) {
    Server server(QUORVEL2_EXE, "pipe\\q2bb-unused");
    ASSERT_TRUE(server.ready()) << server.log();
    std::string answer =
        server.exchange("OPTIONS /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://shop.example\r\n"
                        "Access-Control-Request-Method: POST\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nServer: Ostrelin/1.1.3\r\n" +
                  std::string(CORS_LINES) + "\r\n",
              answer);
}

TEST(WindowsServer, PostToAPipeThatDoesNotExistIs503WithCORS) {
    Server server(QUORVEL2_EXE, "pipe\\q2bb-nobody");
    ASSERT_TRUE(server.ready()) << server.log();
    std::string answer = server.exchange(post("\x1b@hello\n"));
    EXPECT_EQ(0u, answer.find("HTTP/1.1 503 Service Unavailable\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find(CORS_LINES)) << answer;
    EXPECT_NE(std::string::npos, answer.find("could not be opened")) << answer;
}

TEST(WindowsServer, PrinterThatStopsTakingDataFailsTheJobWith503) {
    PipePrinter printer("stall");
    ASSERT_TRUE(printer.ready());
    Server server(TESTHOOKS_EXE, printer.deviceName(), {"Q2_TEST_STALL_MS=1000"});
    ASSERT_TRUE(server.ready()) << server.log();
    std::string job(256 * 1024, 'x');
    long long start = nowMs();
    std::string answer = server.exchange(post(job));
    long long elapsed = nowMs() - start;
    EXPECT_EQ(0u, answer.find("HTTP/1.1 503 Service Unavailable\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find(CORS_LINES)) << answer;
    EXPECT_GE(elapsed, 900);
    EXPECT_LT(elapsed, 25000);
    EXPECT_NE(std::string::npos, server.log().find("the printer took no data for 1000 ms")) << server.log();
}

TEST(WindowsServer, ConcurrentRawStreamsArePrintedOneAfterTheOtherUnmixed) {
    PipePrinter printer("read");
    ASSERT_TRUE(printer.ready());
    Server server(QUORVEL2_EXE, printer.deviceName());
    ASSERT_TRUE(server.ready()) << server.log();

    // Two streams open at once, each sent in pieces with pauses between.
    std::string jobA = "\x1b@" + std::string(60000, 'A');
    std::string jobB = "\x1b@" + std::string(60000, 'B');
    int fdA = connectTo(server.port());
    int fdB = connectTo(server.port());
    ASSERT_GE(fdA, 0);
    ASSERT_GE(fdB, 0);
    for (size_t offset = 0; offset < jobA.size(); offset += 10000) {
        ASSERT_TRUE(sendAll(fdA, jobA.substr(offset, 10000)));
        ASSERT_TRUE(sendAll(fdB, jobB.substr(offset, 10000)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    shutdown(fdA, SHUT_WR);
    shutdown(fdB, SHUT_WR);
    EXPECT_EQ("", receiveUntilClosed(fdA));
    EXPECT_EQ("", receiveUntilClosed(fdB));
    close(fdA);
    close(fdB);

    std::string printed = printer.printed(jobA.size() + jobB.size());
    EXPECT_TRUE(printed == jobA + jobB || printed == jobB + jobA)
        << "the jobs were mixed or cut (" << printed.size() << " bytes)";
}

TEST(WindowsServer, IdlePeersAreDisconnectedAndTheirJobEnds) {
    PipePrinter printer("read");
    ASSERT_TRUE(printer.ready());
    Server server(TESTHOOKS_EXE, printer.deviceName(), {"Q2_TEST_IDLE_MS=500"});
    ASSERT_TRUE(server.ready()) << server.log();

    // An HTTP peer that never sends its request.
    int quiet = connectTo(server.port());
    ASSERT_GE(quiet, 0);
    long long start = nowMs();
    receiveUntilClosed(quiet);
    long long elapsed = nowMs() - start;
    close(quiet);
    EXPECT_GE(elapsed, 400);
    EXPECT_LT(elapsed, 20000);

    // A raw stream that stops sending: its job ends, so the next one prints.
    int stalled = connectTo(server.port());
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(sendAll(stalled, "\x1b@first"));
    receiveUntilClosed(stalled);
    close(stalled);
    std::string next = "\x1b@second";
    EXPECT_EQ(0u, server.exchange(post(next)).find("HTTP/1.1 200 OK\r\n"));
    std::string expected = std::string("\x1b@first") + next;
    EXPECT_TRUE(expected == printer.printed(expected.size())) << printer.printed(expected.size(), 0);
}

TEST(WindowsServer, SlowPeersLoseThePrinterAndTheirRequestsInTime) {
    PipePrinter printer("read");
    ASSERT_TRUE(printer.ready());
    Server server(TESTHOOKS_EXE, printer.deviceName(),
                  {"Q2_TEST_IDLE_MS=20000", "Q2_TEST_PACE_WINDOW_MS=500", "Q2_TEST_REQUEST_DEADLINE_MS=1000"});
    ASSERT_TRUE(server.ready()) << server.log();

    // A raw stream that goes silent holding the printer loses it to a
    // waiting job within a pace window or two, long before the idle limit.
    int silent = connectTo(server.port());
    ASSERT_GE(silent, 0);
    const std::string held = "\x1b@held";
    ASSERT_TRUE(sendAll(silent, held));
    ASSERT_TRUE(held == printer.printed(held.size()));
    const std::string next = "\x1b@next";
    long long start = nowMs();
    EXPECT_EQ(0u, server.exchange(post(next)).find("HTTP/1.1 200 OK\r\n"));
    EXPECT_LT(nowMs() - start, 10000);
    EXPECT_TRUE(held + next == printer.printed(held.size() + next.size()));
    EXPECT_EQ("", receiveUntilClosed(silent));
    close(silent);

    // A request whose body never arrives whole is dropped at its deadline.
    int slow = connectTo(server.port());
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(sendAll(slow, "POST /escpos HTTP/1.1\r\nContent-Length: 10\r\n\r\n\x1b@"));
    start = nowMs();
    EXPECT_EQ("", receiveUntilClosed(slow));
    long long dropped = nowMs() - start;
    close(slow);
    EXPECT_GE(dropped, 900);
    EXPECT_LT(dropped, 15000);
}

} // namespace
