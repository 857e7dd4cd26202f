// blackbox_test.cpp: quorvel2.exe under Wine, driven from Linux. The printer
// is a Windows named pipe served by pipe_printer.exe (also under Wine), which
// appends what it reads to a file that the test compares byte for byte, and
// in its answering modes replies to status requests like a printer. The
// server is reached over loopback like any Windows program's port. USB
// printers come from the stand-in setupapi.dll, loaded beside a copy of the
// program in place of Wine's own, whose device paths name such pipes.
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

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulated_printer.h"
#include "testsupport.h"

namespace {

const std::string WINE_RUN = Q2_WINE_RUN;
const std::string BUILD_DIR = Q2_WINDOWS_BUILD_DIR;
const std::string QUORVEL2_EXE = Q2_QUORVEL2_EXE;
const std::string SETUP_EXE = Q2_SETUP_EXE;
const std::string TESTHOOKS_EXE = BUILD_DIR + "/tests/support/quorvel2-testhooks.exe";
const std::string PIPE_PRINTER_EXE = BUILD_DIR + "/tests/windows/pipe_printer.exe";
const std::string SETUPAPI_STANDIN_DLL = BUILD_DIR + "/tests/windows/setupapi-standin/setupapi.dll";

// Wine's first start in a prefix can take long; later ones take a second or two.
const int START_LIMIT_MS = 90000;

// Answers and closes under Wine take at most this long.
const int ANSWER_LIMIT_MS = 30000;

// A stop ends the program within its grace period (10 s) and a second.
const int SERVER_STOP_LIMIT_MS = 11000;

using q2test::monotonicMs;
using q2test::readFile;
using q2test::sendAll;
using q2test::TempDir;

// A loopback connection whose sends, too, give up after ANSWER_LIMIT_MS.
int connectTo(int port) {
    int fd = q2test::connectLoopback(port);
    if (fd >= 0) {
        struct timeval limit = {ANSWER_LIMIT_MS / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    }
    return fd;
}

// A job id is new with every job: answers show it as "Job-Id: *".
std::string receiveUntilClosed(int fd) {
    return q2test::withJobIdMasked(q2test::readUntilClosed(fd, ANSWER_LIMIT_MS));
}

// Sends the bytes (then shuts the sending side when asked, as a raw client
// does) and reads the answer until the server closes.
std::string exchangeOn(int port, const std::string& bytes, bool shutSending = false) {
    int fd = connectTo(port);
    if (fd < 0) {
        return "(no connection)";
    }
    sendAll(fd, bytes);
    if (shutSending) {
        shutdown(fd, SHUT_WR);
    }
    std::string answer = receiveUntilClosed(fd);
    close(fd);
    return answer;
}

const char CORS_LINES[] = "Access-Control-Allow-Origin: *\r\n"
                          "Access-Control-Allow-Headers: Content-Type, Authorization, Idempotency-Key\r\n"
                          "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n"
                          "Access-Control-Expose-Headers: Job-Id, Idempotent-Replayed\r\n";

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

// A Windows program under Wine as a child process, its output in files.
struct WineProcess {
    pid_t pid = -1;
    int status = -1;

    void start(const std::vector<std::string>& arguments, const std::string& outPath, const std::string& errPath,
               const std::vector<std::string>& environment = {}) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid = out < 0 || err < 0 ? -1 : q2test::spawnProgram(WINE_RUN, arguments, environment, out, err);
        EXPECT_GT(pid, 0) << "could not start " << WINE_RUN;
        for (int fd : {out, err}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    // Waits up to limitMs for the exit; true when it exited.
    bool wait(int limitMs) {
        return q2test::waitUntil(
            [&] {
                if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                    pid = -1;
                }
                return pid <= 0;
            },
            limitMs);
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

// Under load Wine now and then fails to start a program at all: it ends at
// once, failed, without a byte of output. Only such a start is tried again.
bool wineFailedToStart(bool exited, int exitCode, const std::string& out, const std::string& err) {
    return exited && exitCode != 0 && out.empty() && err.empty();
}

// Runs quorvel2.exe (or `exe`) with the arguments to its end (bounded).
RunResult runQuorvel2(const std::vector<std::string>& arguments, const std::string& exe = QUORVEL2_EXE,
                      const std::vector<std::string>& environment = {}) {
    TempDir folder;
    std::vector<std::string> command = {exe};
    command.insert(command.end(), arguments.begin(), arguments.end());
    RunResult result = {-1, "", ""};
    for (int attempt = 0; attempt < 2; attempt++) {
        WineProcess process;
        process.start(command, folder.path + "/out", folder.path + "/err", environment);
        bool exited = process.wait(START_LIMIT_MS);
        EXPECT_TRUE(exited) << exe << " did not end";
        result = {exited ? process.exitCode() : -1, readFile(folder.path + "/out"), readFile(folder.path + "/err")};
        if (!wineFailedToStart(exited, result.exitCode, result.out, result.err)) {
            break;
        }
    }
    return result;
}

// pipe_printer.exe serving \\.\pipe\NAME for one test: one pipe with a name
// of its own, or one pipe for each of `names` (one process for them all),
// each in `mode` or in its own of `modes`.
class PipePrinter {
  public:
    explicit PipePrinter(const std::string& mode, const std::vector<std::string>& names = {})
        : PipePrinter(std::vector<std::string>(names.empty() ? 1 : names.size(), mode), names) {}
    PipePrinter(const std::vector<std::string>& modes, const std::vector<std::string>& names) : names_(names) {
        static int serial = 0;
        if (names_.empty()) {
            names_.push_back("q2bb-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
        }
        std::string ready = folder_.path + "/ready";
        std::vector<std::string> command = {PIPE_PRINTER_EXE, windowsPath(ready), "300"};
        for (size_t i = 0; i < names_.size(); i++) {
            command.push_back(names_[i]);
            command.push_back(windowsPath(output(i)));
            command.push_back(modes.at(i));
        }
        for (int attempt = 0; attempt < 2 && !ready_; attempt++) {
            process_.start(command, folder_.path + "/printer.out", folder_.path + "/printer.err");
            ready_ = q2test::waitUntil([&] { return fileExists(ready) || process_.wait(0); }, START_LIMIT_MS) &&
                     fileExists(ready);
            if (ready_ ||
                !wineFailedToStart(process_.wait(0), process_.exitCode(), readFile(folder_.path + "/printer.out"),
                                   readFile(folder_.path + "/printer.err"))) {
                break;
            }
        }
    }
    bool ready() const {
        return ready_;
    }
    // The name given to --device: the device namespace prefix is added by quorvel2.
    std::string deviceName() const {
        return "pipe\\" + names_[0];
    }
    std::string output(size_t pipe = 0) const {
        return folder_.path + "/printed" + std::to_string(pipe) + ".bin";
    }
    // What has reached the printer once `expected` bytes arrived or the limit passed.
    std::string printed(size_t expected, int limitMs = 20000) const {
        return printedAt(0, expected, limitMs);
    }
    // The same for the pipe names[pipe].
    std::string printedAt(size_t pipe, size_t expected, int limitMs = 20000) const {
        std::string contents;
        q2test::waitUntil(
            [&] {
                contents = readFile(output(pipe));
                return contents.size() >= expected;
            },
            limitMs);
        return contents;
    }

  private:
    TempDir folder_; // declared before process_: removed after the process ended
    std::vector<std::string> names_;
    bool ready_ = false;
    WineProcess process_;
};

// quorvel2 (or the test build) serving on a free port for one test.
class Server {
  public:
    Server(const std::string& exe, const std::string& device, const std::vector<std::string>& environment = {}) {
        long long deadline = monotonicMs() + START_LIMIT_MS;
        // The free port may be taken by another program before the server
        // binds it; the server then ends, and another port is tried.
        for (int attempt = 0; attempt < 3 && !ready_ && monotonicMs() < deadline; attempt++) {
            process_.stop(); // one that lost its port, or a start that never answered
            port_ = q2test::pickFreePort();
            process_.start({exe, "--port", std::to_string(port_), "--device", device}, folder_.path + "/server.out",
                           folder_.path + "/server.err", environment);
            while (monotonicMs() < deadline && !process_.wait(0)) {
                int fd = connectTo(port_);
                if (fd >= 0) {
                    // Asked something only this server answers so, lest another
                    // program that took the port pass for it.
                    sendAll(fd, "OPTIONS /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
                    std::string answer = receiveUntilClosed(fd);
                    close(fd);
                    ready_ = 0 == answer.find("HTTP/1.1 200 OK\r\n") && std::string::npos != answer.find(CORS_LINES) &&
                             !process_.wait(0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }
    bool ready() const {
        return ready_;
    }
    // Sends the bytes, then reads the answer until the server closes.
    std::string exchange(const std::string& request) const {
        return exchangeOn(port_, request);
    }
    std::string log() const {
        return readFile(folder_.path + "/server.out") + readFile(folder_.path + "/server.err");
    }
    int port() const {
        return port_;
    }
    // Presses Ctrl+C in its console (Wine makes SIGINT that) and waits up to
    // limitMs for the end; its exit status, or -1 when it did not end.
    int pressCtrlC(int limitMs) {
        kill(process_.pid, SIGINT);
        return process_.wait(limitMs) ? process_.exitCode() : -1;
    }

  private:
    TempDir folder_; // declared before process_: removed after the process ended
    int port_ = 0;
    bool ready_ = false;
    WineProcess process_;
};

std::string post(const std::string& body) {
    return "POST /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string STATUS_REQUEST = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
// What a job check sends before a job: DLE EOT 2, then DLE EOT 4.
const std::string JOB_CHECK = "\x10\x04\x02\x10\x04\x04";
const char NO_ANSWER_JSON[] = "{\"printer\": \"no-answer\", \"online\": null, \"coverOpen\": null, \"paper\": null, "
                              "\"drawerPin3High\": null, \"error\": null, \"status\": [null, null, null, null], "
                              "\"jobLog\": null}";

std::string statusAnswer(const std::string& json) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
           "\r\nServer: Ostrelin/1.1.3\r\nConnection: close\r\n" + CORS_LINES + "Cache-Control: no-store\r\n\r\n" +
           json;
}

// The status of a pipe in the answering modes, as asked by GET /status.
const std::string STATUS_REQUESTS = "\x10\x04\x01\x10\x04\x02\x10\x04\x03\x10\x04\x04";
const char READY_JSON[] = "{\"printer\": \"ready\", \"online\": true, \"coverOpen\": false, \"paper\": \"ok\", "
                          "\"drawerPin3High\": false, \"error\": null, \"status\": [18, 18, 18, 18], \"jobLog\": null}";
const char COVER_OPEN_JSON[] =
    "{\"printer\": \"cover-open\", \"online\": false, \"coverOpen\": true, \"paper\": "
    "\"ok\", \"drawerPin3High\": false, \"error\": null, \"status\": [26, 22, 18, 18], \"jobLog\": null}";

std::string coverOpenRefusal() {
    const std::string text = "The printer's cover is open; nothing was printed.\n";
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(text.size()) + "\r\nServer: Ostrelin/1.1.3\r\nConnection: close\r\n" + CORS_LINES +
           "Job-Id: *\r\n\r\n" + text;
}

const std::string PRINTED_ANSWER = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
                                   "Server: Ostrelin/1.1.3\r\nConnection: close\r\n" +
                                   std::string(CORS_LINES) + "Job-Id: *\r\n\r\n";

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

// ---- USB printers through the stand-in SetupAPI ------------------------------------------

// How the interface paths of USB printers end: '#' and the interface class.
const char USB_CLASS_SUFFIX[] = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// A pipe name that reads like a USB printer interface: usb#VIDPID#PORT#{class}.
std::string usbPipeName(const std::string& vidPid, const std::string& port) {
    return "usb#" + vidPid + "#" + port + "-" + std::to_string(getpid()) + USB_CLASS_SUFFIX;
}

// The device path of a pipe, as SetupAPI would hand it out.
std::string pipePath(const std::string& pipeName) {
    return "\\\\.\\pipe\\" + pipeName;
}

// One interface line of the stand-in's description: a device path and how
// the stand-in answers for it ("name=...", "no name", "name fails",
// "detail fails").
struct UsbInterface {
    std::string path;
    std::string answer;
};

// A copy of quorvel2.exe with the stand-in setupapi.dll beside it, loaded in
// place of Wine's own for this program only, and the description that the
// stand-in reads at every snapshot.
class UsbMachine {
  public:
    UsbMachine() {
        std::error_code error;
        std::filesystem::copy_file(QUORVEL2_EXE, exe(), error);
        EXPECT_FALSE(error) << error.message();
        std::filesystem::copy_file(SETUPAPI_STANDIN_DLL, folder_.path + "/setupapi.dll", error);
        EXPECT_FALSE(error) << error.message();
        describe({});
    }
    std::string exe() const {
        return folder_.path + "/quorvel2.exe";
    }
    std::vector<std::string> environment() const {
        return {"Q2_WINE_DLL_OVERRIDES=setupapi=n", "Q2_USB_DESCRIPTION=" + windowsPath(descriptionPath()),
                "Q2_USB_JOURNAL=" + windowsPath(folder_.path + "/journal")};
    }
    // Replaces the description at once, so that a snapshot taken meanwhile
    // reads the old one or the new one whole.
    void describe(const std::vector<UsbInterface>& interfaces) const {
        std::string next = folder_.path + "/description.next";
        {
            std::ofstream out(next, std::ios::binary | std::ios::trunc);
            for (const UsbInterface& interface : interfaces) {
                out << interface.path << '\t' << interface.answer << '\n';
            }
        }
        EXPECT_EQ(0, rename(next.c_str(), descriptionPath().c_str()));
    }
    // Without a description the stand-in's snapshot fails with the error of
    // opening the file.
    void removeDescription() const {
        unlink(descriptionPath().c_str());
    }
    RunResult run(const std::vector<std::string>& arguments) const {
        return runQuorvel2(arguments, exe(), environment());
    }
    // Expects every snapshot released and no call that SetupAPI refuses as
    // misuse (a bad handle, a wrong cbSize); returns the number of snapshots.
    int checkedSnapshots() const {
        std::string journal = readFile(folder_.path + "/journal");
        EXPECT_EQ(std::string::npos, journal.find("misuse")) << journal;
        int snapshots = 0;
        int releases = 0;
        std::istringstream lines(journal);
        for (std::string line; std::getline(lines, line);) {
            snapshots += line == "snapshot" ? 1 : 0;
            releases += line == "release" ? 1 : 0;
        }
        EXPECT_EQ(snapshots, releases) << journal;
        return snapshots;
    }

  private:
    std::string descriptionPath() const {
        return folder_.path + "/description";
    }
    TempDir folder_;
};

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

    // The words the option parser's own getopt (built for Windows) drops.
    RunResult warned = runQuorvel2({"--version", "-xp8091", "--port=1", "--tes=1", "stray"});
    EXPECT_EQ(0, warned.exitCode);
    EXPECT_EQ("Warning: ignoring unknown option '-x'\r\nWarning: '--port' given twice; using 8091\r\n"
              "Warning: '--tes' takes no value; ignoring '--tes=1'\r\nWarning: ignoring stray argument 'stray'\r\n",
              warned.err);
    RunResult mistyped = runQuorvel2({"--allow-orgin", "https://pos.example.com"});
    EXPECT_EQ(1, mistyped.exitCode);
    EXPECT_EQ("Error: unknown option '--allow-orgin'; did you mean '--allow-origin'?\r\n", mistyped.err);
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
    EXPECT_EQ(PRINTED_ANSWER, server.exchange(post(firstJob)));
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

    // A pipe that only reads cannot answer: it is not asked, and nothing more reaches it.
    EXPECT_EQ(statusAnswer(NO_ANSWER_JSON), server.exchange(STATUS_REQUEST));
    EXPECT_TRUE(expected == printer.printed(expected.size() + 1, 300)) << "no status request reached it";

    // Ctrl+C: an idle connection is closed at once, the job whose body is
    // still coming is printed and answered, and the program ends with 0.
    int idle = connectTo(server.port());
    int half = connectTo(server.port());
    const std::string halfJob = "\x1b@half sent at Ctrl+C\n";
    ASSERT_TRUE(sendAll(half, post(halfJob).substr(0, post(halfJob).size() - 5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread pressing([&] { EXPECT_EQ(0, server.pressCtrlC(SERVER_STOP_LIMIT_MS)) << server.log(); });
    EXPECT_EQ("", receiveUntilClosed(idle));
    close(idle);
    ASSERT_TRUE(sendAll(half, post(halfJob).substr(post(halfJob).size() - 5)));
    EXPECT_EQ(PRINTED_ANSWER, receiveUntilClosed(half));
    close(half);
    pressing.join();
    expected += halfJob;
    EXPECT_TRUE(expected == printer.printed(expected.size()));
    EXPECT_NE(std::string::npos, server.log().find("Ctrl+C: stopping")) << server.log();
}

TEST(WindowsServer, PrinterThatAnswersTellsItsStatusAndRepliesToRawClients) {
    PipePrinter printer("ready");
    ASSERT_TRUE(printer.ready());
    Server server(QUORVEL2_EXE, printer.deviceName());
    ASSERT_TRUE(server.ready()) << server.log();
    EXPECT_EQ(statusAnswer(READY_JSON), server.exchange(STATUS_REQUEST));
    std::string expected = STATUS_REQUESTS;

    std::string job = "\x1b@checked first\n";
    EXPECT_EQ(0u, server.exchange(post(job)).find("HTTP/1.1 200 OK\r\n"));
    expected += JOB_CHECK + job;
    EXPECT_TRUE(expected == printer.printed(expected.size())) << printer.printed(expected.size(), 0);

    int fd = connectTo(server.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "\x1b@\x10\x04\x02"));
    char reply = 0;
    EXPECT_EQ(1, recv(fd, &reply, 1, 0));
    EXPECT_EQ(0x12, reply);
    shutdown(fd, SHUT_WR);
    EXPECT_EQ("", receiveUntilClosed(fd));
    close(fd);
}

// A network printer, served from Linux on a loopback port, through Winsock.
TEST(WindowsServer, NetworkPrinterTellsItsStatusPrintsAndRefusesWithItsCoverOpen) {
    q2test::SimulatedPrinter printer{q2test::NetworkPrinter{}};
    ASSERT_FALSE(printer.path().empty());
    Server server(QUORVEL2_EXE, printer.path());
    ASSERT_TRUE(server.ready()) << server.log();
    EXPECT_EQ(statusAnswer(READY_JSON), server.exchange(STATUS_REQUEST));
    std::string job = "\x1b@over the network\n";
    EXPECT_EQ(PRINTED_ANSWER, server.exchange(post(job))) << server.log();
    printer.setMode(q2test::PrinterMode::CoverOpen);
    EXPECT_EQ(coverOpenRefusal(), server.exchange(post("\x1b@not printed\n")));
    std::string expected = STATUS_REQUESTS + JOB_CHECK + job + JOB_CHECK;
    EXPECT_TRUE(printer.waitForReceived(expected.size()));
    EXPECT_TRUE(expected == printer.received()) << printer.received().size();
}

// The status of a network printer that takes no connection is known within
// the second. (Wine's Winsock does not tell how much a connection has not
// had acknowledged, so the job's wait for the printer's acknowledgement is
// tested on Linux alone.)
TEST(WindowsServer, NetworkPrinterThatTakesNoConnectionFailsTheJobAndIsUnavailableInTime) {
    q2test::SimulatedPrinter printer{q2test::NetworkPrinter{}};
    ASSERT_FALSE(printer.path().empty());
    printer.setQueueFull(true);
    Server server(TESTHOOKS_EXE, printer.path(), {"Q2_TEST_CONNECT_MS=1500"});
    ASSERT_TRUE(server.ready()) << server.log();
    std::string answer = server.exchange(post("\x1b@not printed\n"));
    EXPECT_EQ(0u, answer.find("HTTP/1.1 503 Service Unavailable\r\n")) << answer << server.log();
    long long start = monotonicMs();
    answer = server.exchange(STATUS_REQUEST);
    EXPECT_LT(monotonicMs() - start, 1000);
    EXPECT_NE(std::string::npos, answer.find("{\"printer\": \"unavailable\"")) << answer;
    printer.setQueueFull(false);
}

TEST(WindowsServer, PrinterWithItsCoverOpenRefusesTheJobAtOnce) {
    PipePrinter printer("cover-open");
    ASSERT_TRUE(printer.ready());
    Server server(QUORVEL2_EXE, printer.deviceName());
    ASSERT_TRUE(server.ready()) << server.log();
    EXPECT_EQ(coverOpenRefusal(), server.exchange(post("\x1b@not printed\n")));
    EXPECT_TRUE(JOB_CHECK == printer.printed(JOB_CHECK.size() + 1, 300)) << printer.printed(0, 0);
}

// A serial port: COM9, linked in the Wine prefix to the simulated printer's
// terminal, answers through the port's reads like a real serial printer.
// The Wine server opens the terminal itself, which may make it that server's
// controlling terminal: its hang-up at the end would then signal the shared
// prefix's processes (its services among them). So this test runs in a copy
// of the prefix with a Wine server of its own, ended with the test.
struct PrefixCopy {
    TempDir folder;
    std::string path = folder.path + "/prefix";
    explicit PrefixCopy(const std::string& from) {
        std::filesystem::copy(from, path,
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    }
    ~PrefixCopy() {
        q2test::runProgram("/usr/bin/wineserver", {"-k"}, {"WINEPREFIX=" + path}, ANSWER_LIMIT_MS);
    }
};

TEST(WindowsServer, SerialPrinterOnAComPortTellsItsStatusRefusesAndReplies) {
    q2test::SimulatedPrinter printer;
    ASSERT_FALSE(printer.path().empty());
    const char* shared = getenv("WINEPREFIX");
    ASSERT_NE(nullptr, shared) << "the Windows stage names the Wine prefix";
    PrefixCopy prefix(shared);
    const std::string link = prefix.path + "/dosdevices/com9";
    unlink(link.c_str());
    ASSERT_EQ(0, symlink(printer.path().c_str(), link.c_str()));
    Server server(QUORVEL2_EXE, "COM9", {"WINEPREFIX=" + prefix.path, "Q2_WINEPREFIX=" + prefix.path});
    ASSERT_TRUE(server.ready()) << server.log();
    EXPECT_EQ(statusAnswer(READY_JSON), server.exchange(STATUS_REQUEST));
    printer.setMode(q2test::PrinterMode::CoverOpen);
    EXPECT_EQ(statusAnswer(COVER_OPEN_JSON), server.exchange(STATUS_REQUEST));
    EXPECT_EQ(coverOpenRefusal(), server.exchange(post("\x1b@not printed\n")));
    EXPECT_EQ("\x16\x1a", exchangeOn(server.port(), "\x1b@\x10\x04\x02\x10\x04\x01", true))
        << "a half-closing raw client's replies";
    // A port at 9600 baud that takes a long job at once is not busy after it.
    printer.setMode(q2test::PrinterMode::Ready);
    printer.setLineSpeed(9600, false);
    const std::string longJob = "\x1b@" + std::string(96 * 1024, 'x');
    EXPECT_EQ(PRINTED_ANSWER, server.exchange(post(longJob)));
    long long start = monotonicMs();
    EXPECT_EQ(statusAnswer(READY_JSON), server.exchange(STATUS_REQUEST)) << "busy from the line speed alone";
    EXPECT_LT(monotonicMs() - start, 1000);
    const std::string expected = STATUS_REQUESTS + STATUS_REQUESTS + JOB_CHECK + "\x1b@\x10\x04\x02\x10\x04\x01" +
                                 JOB_CHECK + longJob + STATUS_REQUESTS;
    EXPECT_TRUE(printer.waitForReceived(expected.size()));
    EXPECT_EQ(expected, printer.received());
    unlink(link.c_str());
}

// A regular file named as the device gets every job appended whole.
TEST(WindowsServer, RegularFileHoldsEveryJobWholeInOrder) {
    TempDir folder;
    const std::string file = folder.path + "/printer.bin";
    q2test::writeFile(file, "");
    Server server(QUORVEL2_EXE, windowsPath(file));
    ASSERT_TRUE(server.ready()) << server.log();
    std::string expected;
    while (expected.size() < 50000) {
        expected += allByteValues();
    }
    expected.resize(50000);
    EXPECT_EQ(PRINTED_ANSWER, server.exchange(post(expected)));
    for (char raw : {'a', 'b'}) {
        const std::string stream = "\x1b@" + std::string(20000, raw);
        EXPECT_EQ("", exchangeOn(server.port(), stream, true));
        expected += stream;
    }
    EXPECT_TRUE(q2test::waitUntil([&] { return readFile(file).size() >= expected.size(); }, ANSWER_LIMIT_MS));
    EXPECT_TRUE(expected == readFile(file)) << readFile(file).size();
}

TEST(WindowsServer, OptionsIsAnsweredWithTheCORSLines) {
    Server server(QUORVEL2_EXE, "pipe\\q2bb-unused");
    ASSERT_TRUE(server.ready()) << server.log();
    std::string answer =
        server.exchange("OPTIONS /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://shop.example\r\n"
                        "Access-Control-Request-Method: POST\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nServer: "
              "Ostrelin/1.1.3\r\nConnection: close\r\n" +
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
    long long start = monotonicMs();
    std::string answer = server.exchange(post(job));
    long long elapsed = monotonicMs() - start;
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
    long long start = monotonicMs();
    receiveUntilClosed(quiet);
    long long elapsed = monotonicMs() - start;
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

// A connection displaced for another ends within a second, though shutting
// its socket down is not promised to end its thread's wait on Windows: its
// line comes then, not after the 30 s idle limit.
TEST(WindowsServer, DisplacedConnectionEndsWithinASecond) {
    PipePrinter printer("read");
    ASSERT_TRUE(printer.ready());
    Server server(TESTHOOKS_EXE, printer.deviceName(), {"Q2_TEST_MAX_CONNECTIONS=1"});
    ASSERT_TRUE(server.ready()) << server.log();
    int quiet = connectTo(server.port());
    ASSERT_GE(quiet, 0);
    ASSERT_TRUE(sendAll(quiet, "GET /"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // displaceable after a second
    const std::string line = "No request found from 127.0.0.1:" + std::to_string(q2test::localPort(quiet));
    int next = connectTo(server.port());
    ASSERT_GE(next, 0);
    long long start = monotonicMs();
    bool ended = q2test::waitUntil([&] { return server.log().find(line) != std::string::npos; }, 20000);
    long long elapsed = monotonicMs() - start;
    EXPECT_TRUE(ended) << server.log();
    EXPECT_LT(elapsed, 3000) << "the displaced connection's thread went on waiting";
    ASSERT_TRUE(sendAll(next, "OPTIONS /escpos HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(0u, receiveUntilClosed(next).find("HTTP/1.1 200 OK\r\n"));
    close(next);
    close(quiet);
}

// ---- The setup program and the service ---------------------------------------------------

// The Wine prefix that wine-run.sh uses, and where the setup program puts things in it.
const std::string WINE_PREFIX = getenv("Q2_WINEPREFIX") != nullptr
                                    ? std::string(getenv("Q2_WINEPREFIX"))
                                    : WINE_RUN.substr(0, WINE_RUN.rfind("/scripts/")) + "/build-win/wineprefix";
const std::string INSTALL_DIR = WINE_PREFIX + "/drive_c/Program Files/quorvel2";
const std::string LOG_DIR = WINE_PREFIX + "/drive_c/ProgramData/quorvel2";

// The server's own certificate authority (made in its state folder, here the
// prefix's ProgramData\quorvel2) lets curl verify it; the plain and raw rows
// on the same port are those of PostAndRawStreamsReachThePipeByteExactInOrder.
TEST(WindowsServer, HTTPSPrintsByteExactAndOldOrStalledHandshakesAreClosedWithTheReason) {
    PipePrinter printer("read");
    ASSERT_TRUE(printer.ready());
    Server server(TESTHOOKS_EXE, printer.deviceName(), {"Q2_TEST_TLS_HANDSHAKE_MS=500"});
    ASSERT_TRUE(server.ready()) << server.log();
    TempDir scratch;
    const std::string job = allByteValues();
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/escpos";
    q2test::ProgramRun https =
        q2test::runProgram("/usr/bin/curl",
                           {"-sS", "--max-time", "20", "-o", "/dev/null", "-w", "%{http_code}", "--cacert",
                            LOG_DIR + "/ca.crt", "--data-binary", "@" + scratch.addFile("job.bin", job), url},
                           {}, 30000);
    EXPECT_EQ("200", https.out) << https.err;
    EXPECT_TRUE(job == printer.printed(job.size())) << "the HTTPS body did not arrive byte-exact";

    q2test::runProgram("/usr/bin/curl", {"-sS", "--max-time", "20", "-k", "--tlsv1.1", "--tls-max", "1.1", url}, {},
                       30000);
    int stalled = connectTo(server.port());
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(sendAll(stalled, "\x16\x03\x01"));
    long long start = monotonicMs();
    receiveUntilClosed(stalled);
    long long elapsed = monotonicMs() - start;
    close(stalled);
    EXPECT_GE(elapsed, 400);
    EXPECT_LT(elapsed, 5000) << "closed long after its deadline (the default is 10 s)";
    EXPECT_TRUE(q2test::waitUntil([&] {
        return server.log().find("handshake failed: protocol version") != std::string::npos &&
               server.log().find("handshake failed: no handshake within its deadline") != std::string::npos;
    })) << server.log();
}
const std::string UNINSTALL_EXE = "C:\\Program Files\\quorvel2\\uninstall.exe";

// "STATE WIN32_EXIT_CODE SERVICE_EXIT_CODE" as `sc query` tells them, such as
// "RUNNING 0 0"; "" for a service that does not exist.
std::string serviceStatus(const std::string& service) {
    RunResult query = runQuorvel2({"query", service}, "sc");
    std::string status;
    for (const char* field : {"STATE", "WIN32_EXIT_CODE", "SERVICE_EXIT_CODE"}) {
        size_t at = query.out.find(field);
        std::istringstream values(at == std::string::npos ? "" : query.out.substr(query.out.find(':', at) + 1));
        std::string number, word;
        values >> number >> word;
        status += (status.empty() ? "" : " ") + (field == std::string("STATE") ? word : number);
    }
    return query.exitCode == 0 ? status : "";
}

void expectStatus(const std::string& service, const std::string& expected) {
    std::string status;
    EXPECT_TRUE(q2test::waitUntil([&] { return (status = serviceStatus(service)) == expected; }, START_LIMIT_MS))
        << service << " is '" << status << "', not '" << expected << "'";
}

// The data of a value of the service's registry key, where `sc qc` reads it.
std::string serviceSetting(const std::string& service, const std::string& value) {
    RunResult query =
        runQuorvel2({"query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + service, "/v", value}, "reg");
    std::istringstream lines(query.out);
    for (std::string line, name, type, data; std::getline(lines, line);) {
        std::istringstream fields(line);
        if (fields >> name >> type && name == value && std::getline(fields >> std::ws, data)) {
            return data.substr(0, data.find_last_not_of("\r") + 1);
        }
    }
    return "(none)";
}

// Removes what this test installs, also when an earlier run left it behind.
void removeInstalled() {
    if (fileExists(INSTALL_DIR + "/uninstall.exe")) {
        runQuorvel2({"/S"}, UNINSTALL_EXE);
        q2test::waitUntil([] { return !fileExists(INSTALL_DIR); }, ANSWER_LIMIT_MS);
    }
    for (const char* service : {"quorvel2", "quorvel2-kitchen"}) {
        runQuorvel2({"stop", service}, "sc");
        runQuorvel2({"delete", service}, "sc");
    }
    std::filesystem::remove_all(LOG_DIR);
}

struct InstalledGuard {
    ~InstalledGuard() {
        removeInstalled();
    }
};

std::string imagePath(int port, const std::string& device) {
    return "\"C:\\Program Files\\quorvel2\\quorvel2.exe\" --listen 127.0.0.1 --port " + std::to_string(port) +
           " --device \"" + device + "\"";
}

// One scenario, since every step works on the same installation: the
// services of one Wine prefix live as long as one of its programs runs, and
// the pipe printer is that program throughout.
TEST(WindowsService, SetupInstallsRunsUpgradesAndUninstallsTheServiceAndItsInstances) {
    const std::vector<std::string> names = {"q2svc-" + std::to_string(getpid()) + "-front",
                                            "q2svc-" + std::to_string(getpid()) + "-kitchen"};
    PipePrinter printers("read", names);
    ASSERT_TRUE(printers.ready());
    removeInstalled();
    InstalledGuard guard;
    const int port = q2test::pickFreePort();
    int kitchenPort = q2test::pickFreePort();
    kitchenPort = kitchenPort == port ? kitchenPort + 1 : kitchenPort;
    // A full log is moved aside before it would grow past 1 MiB.
    const std::string oldLog(1048570, 'x');
    std::filesystem::create_directories(LOG_DIR);
    q2test::writeFile(LOG_DIR + "/quorvel2.log", oldLog);

    RunResult install = runQuorvel2({"/S", "/DEVICE=pipe\\" + names[0], "/PORT=" + std::to_string(port)}, SETUP_EXE);
    ASSERT_EQ(0, install.exitCode) << install.out << install.err;
    EXPECT_TRUE(readFile(QUORVEL2_EXE) == readFile(INSTALL_DIR + "/quorvel2.exe"));
    const std::string readme = readFile(INSTALL_DIR + "/README.md");
    EXPECT_NE(std::string::npos, readme.find("## Windows"));
    EXPECT_TRUE(fileExists(INSTALL_DIR + "/LICENCE.txt") && fileExists(INSTALL_DIR + "/uninstall.exe"));
    EXPECT_EQ(imagePath(port, "pipe\\" + names[0]), serviceSetting("quorvel2", "ImagePath"));
    EXPECT_EQ("0x2", serviceSetting("quorvel2", "Start")); // automatic
    EXPECT_EQ("LocalSystem", serviceSetting("quorvel2", "ObjectName"));
    EXPECT_EQ("quorvel2 print server", serviceSetting("quorvel2", "DisplayName"));
    EXPECT_EQ("0x1", serviceSetting("quorvel2", "FailureActionsOnNonCrashFailures")); // exit status 1 is restarted too

    expectStatus("quorvel2", "RUNNING 0 0");
    const std::string job = "\x1b@through the service\n";
    EXPECT_EQ(PRINTED_ANSWER, exchangeOn(port, post(job)));
    EXPECT_TRUE(job == printers.printedAt(0, job.size()));
    const std::string moved = readFile(LOG_DIR + "/quorvel2.log.1");
    EXPECT_TRUE(0 == moved.rfind(oldLog, 0) && moved.size() <= 1048576) << moved.size();
    const std::string log = moved + readFile(LOG_DIR + "/quorvel2.log");
    size_t started = log.find("Starting quorvel2 1.0.0\r\n");
    EXPECT_NE(std::string::npos, started);
    EXPECT_NE(std::string::npos,
              log.find("Listening for connections on 127.0.0.1:" + std::to_string(port) + "\r\n", started));
    // The service made its certificate authority in its state folder at the
    // first start, and answers HTTPS with a certificate it signed.
    const std::string authority = readFile(LOG_DIR + "/ca.pem");
    EXPECT_NE(std::string::npos, authority.find("PRIVATE KEY"));
    const std::string httpsJob = "\x1b@over https\n";
    q2test::TempDir scratch;
    EXPECT_EQ("200", q2test::runProgram("/usr/bin/curl",
                                        {"-s", "-o", "/dev/null", "-w", "%{http_code}", "--cacert", LOG_DIR + "/ca.crt",
                                         "--data-binary", "@" + scratch.addFile("job.bin", httpsJob),
                                         "https://127.0.0.1:" + std::to_string(port) + "/escpos"})
                         .out);
    EXPECT_TRUE(job + httpsJob == printers.printedAt(0, job.size() + httpsJob.size()));

    // A stop closes an idle connection at once; a raw client that keeps its
    // socket open yields the printer to the job whose body is still coming,
    // which is printed and answered; the service stops with 0 within the
    // grace period.
    int idle = connectTo(port);
    int raw = connectTo(port);
    const std::string rawJob = "\x1b@from a raw client that stays connected\n";
    ASSERT_TRUE(sendAll(raw, rawJob));
    const std::string printedBeforeStop = job + httpsJob + rawJob;
    EXPECT_TRUE(printedBeforeStop == printers.printedAt(0, printedBeforeStop.size()));
    int held = connectTo(port);
    ASSERT_GE(held, 0);
    const std::string heldJob = "\x1b@held at the stop\n";
    ASSERT_TRUE(sendAll(held, "POST /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\nContent-Length: " +
                                  std::to_string(heldJob.size()) + "\r\n\r\n"));
    EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", q2test::readAtLeast(held, 25, ANSWER_LIMIT_MS));
    long long stopAt = monotonicMs();
    runQuorvel2({"stop", "quorvel2"}, "sc");
    EXPECT_EQ("", receiveUntilClosed(idle));
    close(idle);
    expectStatus("quorvel2", "STOP_PENDING 0 0");
    ASSERT_TRUE(sendAll(held, heldJob));
    EXPECT_EQ(PRINTED_ANSWER, receiveUntilClosed(held));
    close(held);
    expectStatus("quorvel2", "STOPPED 0 0");
    EXPECT_LT(monotonicMs() - stopAt, SERVER_STOP_LIMIT_MS);
    close(raw);
    const std::string printedBeforeUpgrade = printedBeforeStop + heldJob;
    EXPECT_TRUE(printedBeforeUpgrade == printers.printedAt(0, printedBeforeUpgrade.size()));

    // A port that another program holds: stopped with the console's exit status.
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    int reuse = 1; // the port's last connection may still be closing
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(blocker, (struct sockaddr*)&address, sizeof(address)));
    ASSERT_EQ(0, listen(blocker, 1));
    runQuorvel2({"start", "quorvel2"}, "sc");
    expectStatus("quorvel2", "STOPPED 1066 1"); // a service-specific exit code
    close(blocker);
    runQuorvel2({"start", "quorvel2"}, "sc");
    expectStatus("quorvel2", "RUNNING 0 0");

    // An upgrade replaces the files, keeps the arguments and starts the running service again.
    q2test::writeFile(INSTALL_DIR + "/README.md", "an older version");
    EXPECT_EQ(0, runQuorvel2({"/S"}, SETUP_EXE).exitCode);
    EXPECT_EQ(readme, readFile(INSTALL_DIR + "/README.md"));
    EXPECT_EQ(imagePath(port, "pipe\\" + names[0]), serviceSetting("quorvel2", "ImagePath"));
    expectStatus("quorvel2", "RUNNING 0 0");
    EXPECT_EQ(authority, readFile(LOG_DIR + "/ca.pem")) << "an upgrade keeps the certificate authority";

    // A second printer beside the first, each service printing to its own.
    q2test::writeFile(LOG_DIR + "/quorvel2-kitchen.log", oldLog);
    std::filesystem::create_directories(LOG_DIR + "/quorvel2-kitchen.log.1"); // nothing can be moved there
    EXPECT_EQ(
        0, runQuorvel2({"/S", "/INSTANCE=kitchen", "/DEVICE=pipe\\" + names[1], "/PORT=" + std::to_string(kitchenPort)},
                       SETUP_EXE)
               .exitCode);
    EXPECT_EQ(imagePath(kitchenPort, "pipe\\" + names[1]), serviceSetting("quorvel2-kitchen", "ImagePath"));
    expectStatus("quorvel2-kitchen", "RUNNING 0 0");
    expectStatus("quorvel2", "RUNNING 0 0");
    const std::string kitchenJob = "\x1b@kitchen\n";
    const std::string frontJob = "\x1b@front again\n";
    EXPECT_EQ(PRINTED_ANSWER, exchangeOn(kitchenPort, post(kitchenJob)));
    EXPECT_EQ(PRINTED_ANSWER, exchangeOn(port, post(frontJob)));
    EXPECT_TRUE(kitchenJob == printers.printedAt(1, kitchenJob.size()));
    EXPECT_TRUE(printedBeforeUpgrade + frontJob ==
                printers.printedAt(0, printedBeforeUpgrade.size() + frontJob.size()));
    // A log that cannot be moved aside is emptied, with a line that says so.
    EXPECT_EQ(0u, readFile(LOG_DIR + "/quorvel2-kitchen.log").find("The log could not be moved aside (error "))
        << readFile(LOG_DIR + "/quorvel2-kitchen.log").substr(0, 200);

    // An upgrade waits for a job in flight, and starts again only the
    // services that ran: the one the shop stopped stays stopped.
    runQuorvel2({"stop", "quorvel2-kitchen"}, "sc");
    expectStatus("quorvel2-kitchen", "STOPPED 0 0");
    int inFlight = connectTo(port);
    const std::string inFlightJob = "\x1b@printing while the upgrade begins\n";
    ASSERT_TRUE(sendAll(inFlight, inFlightJob.substr(0, 10)));
    TempDir upgradeOutput;
    WineProcess upgrade;
    upgrade.start({SETUP_EXE, "/S"}, upgradeOutput.path + "/out", upgradeOutput.path + "/err");
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(sendAll(inFlight, inFlightJob.substr(10)));
    shutdown(inFlight, SHUT_WR);
    EXPECT_EQ("", receiveUntilClosed(inFlight));
    close(inFlight);
    EXPECT_TRUE(upgrade.wait(START_LIMIT_MS));
    EXPECT_EQ(0, upgrade.exitCode());
    const std::string printedByNow = printedBeforeUpgrade + frontJob + inFlightJob;
    EXPECT_TRUE(printedByNow == printers.printedAt(0, printedByNow.size()));
    expectStatus("quorvel2", "RUNNING 0 0");
    expectStatus("quorvel2-kitchen", "STOPPED 0 0");
    EXPECT_TRUE(fileExists(LOG_DIR + "/quorvel2-kitchen.log"));

    // The uninstaller removes both services and every file, and leaves the
    // logs and the certificate authority (a new setup brings back the same).
    EXPECT_EQ(0, runQuorvel2({"/S"}, UNINSTALL_EXE).exitCode);
    EXPECT_TRUE(q2test::waitUntil([] { return !fileExists(INSTALL_DIR); }, ANSWER_LIMIT_MS));
    EXPECT_EQ("", serviceStatus("quorvel2"));
    EXPECT_EQ("", serviceStatus("quorvel2-kitchen"));
    EXPECT_TRUE(fileExists(LOG_DIR + "/quorvel2.log"));
    EXPECT_EQ(authority, readFile(LOG_DIR + "/ca.pem"));
}

// ---- USB printers through the stand-in SetupAPI ------------------------------------------

// The body of an answer: what follows the head.
std::string bodyOf(const std::string& answer) {
    size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? "(no head)" : answer.substr(end + 4);
}

struct DiscoverCase {
    const char* what;
    bool described; // false: no description, so the snapshot fails
    std::vector<UsbInterface> interfaces;
    std::string out;
    std::string err;
};

TEST(WindowsUsb, DiscoverListsEveryPrinterInEnumerationOrder) {
    const std::string heading = "USB printers (usbprint.sys):\r\n\r\n";
    const std::string vidText63 = "vid_04b8&pid_0e15&mi_00" + std::string(40, 'x'); // the longest that is shown
    const std::string vidText64 = vidText63 + "x";
    const std::string front = "\\\\?\\usb#" + vidText63 + "#5&2f6b1a&0&1" + USB_CLASS_SUFFIX;
    const std::string kitchen = std::string("\\\\?\\usb#vid_0dd4&pid_0205#7&1c0e&0&2") + USB_CLASS_SUFFIX;
    const std::string longText = "\\\\?\\usb#" + vidText64 + "#3" + USB_CLASS_SUFFIX;
    const std::string noVid = "\\\\?\\lptenum#printer#4" + std::string(USB_CLASS_SUFFIX);
    const std::string noHash = "\\\\?\\usb-vid_1504&pid_0006";
    const std::string name254(254, 'n'); // with its NUL the most the 255-byte request holds
    const std::string name255(255, 'n');
    const DiscoverCase cases[] = {
        {"zero printers",
         true,
         {},
         heading + "  (none found \xE2\x80\x94 is the printer plugged in and powered on?)\r\n\r\n",
         ""},
        {"one printer with the longest vid/pid text that is offered",
         true,
         {{front, "name=Receipt Printer T-80"}},
         heading + "  Name : Receipt Printer T-80\r\n  Path : " + front + "\r\n  Use  : --device \"" + vidText63 +
             "\"\r\n\r\n",
         ""},
        {"three printers, a name missing or failing and paths without a usable vid/pid text",
         true,
         {{kitchen, "name fails"}, {longText, "name=Bar"}, {noVid, "no name"}},
         heading + "  Name : (unknown)\r\n  Path : " + kitchen + "\r\n  Use  : --device \"vid_0dd4&pid_0205\"\r\n\r\n" +
             "  Name : Bar\r\n  Path : " + longText + "\r\n\r\n" + "  Name : (unknown)\r\n  Path : " + noVid +
             "\r\n\r\n",
         ""},
        {"friendly names at the 255-byte limit, and a path with no '#' after its vid",
         true,
         {{noHash, "name=" + name254}, {front, "name=" + name255}},
         heading + "  Name : " + name254 + "\r\n  Path : " + noHash + "\r\n\r\n" +
             "  Name : (unknown)\r\n  Path : " + front + "\r\n  Use  : --device \"" + vidText63 + "\"\r\n\r\n",
         ""},
        {"the snapshot fails", false, {}, "", "SetupDiGetClassDevs failed (error 2)\r\n"},
    };
    for (const DiscoverCase& c : cases) {
        SCOPED_TRACE(c.what);
        UsbMachine machine;
        machine.describe(c.interfaces);
        if (!c.described) {
            machine.removeDescription();
        }
        RunResult discover = machine.run({"--discover"});
        EXPECT_EQ(0, discover.exitCode);
        EXPECT_EQ(c.out, discover.out);
        EXPECT_EQ(c.err, discover.err);
        EXPECT_EQ(c.described ? 1 : 0, machine.checkedSnapshots());
    }
}

struct UsbReceiptCase {
    const char* what;
    std::vector<UsbInterface> interfaces;
    std::string device;
    int printsAt; // the pipe that gets the receipt, -1 for none
    int exitCode;
    std::string err;
};

TEST(WindowsUsb, TestReceiptGoesToTheFirstMatchingPrinterAndNowhereElse) {
    const std::vector<std::string> names = {usbPipeName("vid_04b8&pid_0202", "1"),
                                            usbPipeName("vid_04b8&pid_0e15", "2"),
                                            usbPipeName("VID_0DD4&PID_0205", "3")};
    PipePrinter printers("read", names);
    ASSERT_TRUE(printers.ready());
    const UsbInterface front = {pipePath(names[0]), "name=Front Counter"};
    const UsbInterface back = {pipePath(names[1]), "name fails"};
    const UsbInterface kitchen = {pipePath(names[2]), "no name"};
    const std::string unplugged = pipePath(usbPipeName("vid_04b8&pid_0202", "gone"));
    const std::vector<UsbInterface> all = {front, back, kitchen};
    const std::vector<UsbInterface> brokenMiddle = {front, {pipePath(names[1]), "detail fails"}, kitchen};
    auto noMatch = [](const std::string& device) {
        return "No USB printer matching '" + device + "' found. Run --discover to list devices.\r\n";
    };
    const UsbReceiptCase cases[] = {
        {"a vid alone, matched in any letter case", all, "vid_0dd4", 2, 0, ""},
        {"the first of two matches", all, "vid_04b8", 0, 0, ""},
        {"vid and pid narrow it to the second", all, "vid_04b8&pid_0e15", 1, 0, ""},
        {"no match", all, "vid_1504", -1, 1, noMatch("vid_1504")},
        {"a detail failure ends the walk before a later match", brokenMiddle, "vid_0dd4", -1, 1, noMatch("vid_0dd4")},
        {"a match before the detail failure is found", brokenMiddle, "vid_04b8&pid_0202", 0, 0, ""},
        {"only the first match is tried, even when it does not open",
         {{unplugged, "name=Front Counter"}, front},
         "vid_04b8&pid_0202",
         -1,
         1,
         "USB open failed (error 2)\r\nPath: " + unplugged + "\r\n"},
    };
    std::vector<std::string> expected(names.size());
    for (const UsbReceiptCase& c : cases) {
        SCOPED_TRACE(c.what);
        UsbMachine machine;
        machine.describe(c.interfaces);
        RunResult test = machine.run({"--test", "-d", c.device});
        EXPECT_EQ(c.exitCode, test.exitCode);
        EXPECT_EQ(c.err, test.err);
        EXPECT_EQ(1, machine.checkedSnapshots());
        if (c.printsAt >= 0) {
            expected[(size_t)c.printsAt] += TEST_RECEIPT;
        }
        for (size_t pipe = 0; pipe < names.size(); pipe++) {
            const std::string& want = expected[pipe];
            std::string printed = printers.printedAt(pipe, want.size(), (int)pipe == c.printsAt ? 20000 : 0);
            EXPECT_TRUE(want == printed) << "pipe " << pipe << " holds " << printed.size() << " bytes, not "
                                         << want.size();
        }
    }
    // Bytes that were still on their way at a check arrive by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (size_t pipe = 0; pipe < names.size(); pipe++) {
        EXPECT_TRUE(expected[pipe] == printers.printedAt(pipe, 0, 0)) << "pipe " << pipe;
    }
}

TEST(WindowsUsb, ServerLooksThePrinterUpAtEveryJobThroughUnplugAndReplug) {
    const std::vector<std::string> names = {usbPipeName("vid_04b8&pid_0e15", "1"),
                                            usbPipeName("vid_04b8&pid_0e15", "2"),
                                            usbPipeName("vid_0dd4&pid_0205", "3")};
    PipePrinter printers("read", names);
    ASSERT_TRUE(printers.ready());
    UsbMachine machine;
    const UsbInterface kitchen = {pipePath(names[2]), "name=Kitchen Printer"};
    machine.describe({kitchen, {pipePath(names[0]), "name=Receipt Printer T-80"}});
    const std::string device = "vid_04b8&pid_0e15";
    Server server(machine.exe(), device, machine.environment());
    ASSERT_TRUE(server.ready()) << server.log();

    std::string posted = allByteValues();
    std::string answer = server.exchange(post(posted));
    EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find(CORS_LINES)) << answer;
    EXPECT_TRUE(posted == printers.printedAt(0, posted.size())) << "the POST body did not arrive byte-exact";

    std::string rawJob = "\x1b@";
    for (int i = 0; i < 50000; i++) {
        rawJob.push_back((char)((i * 31) & 0xFF));
    }
    int fd = connectTo(server.port());
    ASSERT_GE(fd, 0);
    for (size_t offset = 0; offset < rawJob.size(); offset += 7000) {
        ASSERT_TRUE(sendAll(fd, rawJob.substr(offset, 7000)));
    }
    shutdown(fd, SHUT_WR);
    EXPECT_EQ("", receiveUntilClosed(fd));
    close(fd);
    const std::string atFirstPort = posted + rawJob;
    EXPECT_TRUE(atFirstPort == printers.printedAt(0, atFirstPort.size())) << "the raw stream did not follow";

    // Unplugged: the lookup finds nothing, and the page is told so.
    machine.describe({});
    answer = server.exchange(post("\x1b@while unplugged\n"));
    EXPECT_EQ(0u, answer.find("HTTP/1.1 503 Service Unavailable\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find(CORS_LINES)) << answer;
    EXPECT_EQ("The printer device could not be opened; nothing was printed.\n", bodyOf(answer));
    EXPECT_NE(std::string::npos,
              server.log().find("No USB printer matching '" + device + "' found. Run --discover to list devices."))
        << server.log();

    // Plugged in again at another port: the same server prints there.
    machine.describe({kitchen, {pipePath(names[1]), "name=Receipt Printer T-80"}});
    const std::string replugged = "\x1b@after replugging\n";
    answer = server.exchange(post(replugged));
    EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer;
    EXPECT_TRUE(replugged == printers.printedAt(1, replugged.size()));

    EXPECT_TRUE(atFirstPort == printers.printedAt(0, 0, 0)) << "the first port got more";
    EXPECT_EQ("", printers.printedAt(2, 0, 0)) << "the other vendor's printer got bytes";
    EXPECT_GE(machine.checkedSnapshots(), 4); // one lookup per job at least, every one released
}

struct AnsweringUsbStep {
    const char* what;
    size_t plugged; // the pipe that the description names after the other vendor's
    std::string request;
    std::string answer;
    std::string reaches; // what the request puts in that pipe
};

TEST(WindowsUsb, PrinterFoundThroughTheLookupTellsItsStatusAndRefusesJobsWithItsCoverOpen) {
    const std::vector<std::string> names = {usbPipeName("vid_0dd4&pid_0205", "1"),
                                            usbPipeName("vid_04b8&pid_0e15", "2"),
                                            usbPipeName("vid_04b8&pid_0e15", "3")};
    PipePrinter printers({"read", "ready", "cover-open"}, names);
    ASSERT_TRUE(printers.ready());
    UsbMachine machine;
    Server server(machine.exe(), "vid_04b8&pid_0e15", machine.environment());
    ASSERT_TRUE(server.ready()) << server.log();

    const std::string job = "\x1b@checked first\n";
    const AnsweringUsbStep steps[] = {
        {"the ready printer's status", 1, STATUS_REQUEST, statusAnswer(READY_JSON), STATUS_REQUESTS},
        {"a job, checked before it is written", 1, post(job), PRINTED_ANSWER, JOB_CHECK + job},
        {"a raw client's request gets its reply", 1, "\x1b@\x10\x04\x01", "\x12", "\x1b@\x10\x04\x01"},
        {"the status of one with its cover open", 2, STATUS_REQUEST, statusAnswer(COVER_OPEN_JSON), STATUS_REQUESTS},
        {"its job refused, nothing written", 2, post("\x1b@not printed\n"), coverOpenRefusal(), JOB_CHECK},
        {"a raw client is not checked and hears the cover", 2, "\x1b@\x10\x04\x02", "\x16", "\x1b@\x10\x04\x02"},
    };
    std::vector<std::string> expected(names.size());
    for (const AnsweringUsbStep& step : steps) {
        SCOPED_TRACE(step.what);
        machine.describe({{pipePath(names[0]), "name=Kitchen Printer"}, {pipePath(names[step.plugged]), "no name"}});
        int fd = connectTo(server.port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, step.request));
        // The answer first, then the end: a raw client's reply comes while its stream is open.
        std::string got = q2test::readAtLeast(fd, step.answer.size(), ANSWER_LIMIT_MS);
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(step.answer, q2test::withJobIdMasked(got + q2test::readUntilClosed(fd, ANSWER_LIMIT_MS)));
        close(fd);
        expected[step.plugged] += step.reaches;
        for (size_t pipe = 0; pipe < names.size(); pipe++) {
            const std::string& want = expected[pipe];
            std::string printed = printers.printedAt(pipe, want.size(), pipe == step.plugged ? 20000 : 0);
            EXPECT_TRUE(want == printed) << "pipe " << pipe << " holds " << printed.size() << " bytes, not "
                                         << want.size();
        }
    }
    // Bytes that were still on their way at a check arrive by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (size_t pipe = 0; pipe < names.size(); pipe++) {
        EXPECT_TRUE(expected[pipe] == printers.printedAt(pipe, 0, 0)) << "pipe " << pipe;
    }
    EXPECT_GE(machine.checkedSnapshots(), (int)(sizeof(steps) / sizeof(steps[0])));
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
    long long start = monotonicMs();
    EXPECT_EQ(0u, server.exchange(post(next)).find("HTTP/1.1 200 OK\r\n"));
    EXPECT_LT(monotonicMs() - start, 10000);
    EXPECT_TRUE(held + next == printer.printed(held.size() + next.size()));
    EXPECT_EQ("", receiveUntilClosed(silent));
    close(silent);

    // A request whose body never arrives whole is dropped at its deadline.
    int slow = connectTo(server.port());
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(sendAll(slow, "POST /escpos HTTP/1.1\r\nContent-Length: 10\r\n\r\n\x1b@"));
    start = monotonicMs();
    EXPECT_EQ("", receiveUntilClosed(slow));
    long long dropped = monotonicMs() - start;
    close(slow);
    EXPECT_GE(dropped, 900);
    EXPECT_LT(dropped, 15000);
}

} // namespace
