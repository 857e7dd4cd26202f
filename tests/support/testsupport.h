// testsupport.h: what the tests on Linux share: temporary folders, whole
// files, bounded waits, loopback sockets, and programs run as child
// processes (to completion, or as a server on a free port). Every wait is
// bounded in time; every process, socket and temporary file has one owner.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace q2test {

// Milliseconds that any single wait of these helpers may take by default.
static const int DEFAULT_TIMEOUT_MS = 15000;

// A private folder under /tmp, removed with everything in it on destruction.
// Its path is short, so device names built from it stay well below the
// printer channel's name limit.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // path + "/" + name
    std::string file(const std::string& name) const;
    // Creates (or replaces) the file `name` with `contents`; returns its path.
    std::string addFile(const std::string& name, const std::string& contents = "") const;
};

// The whole contents of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
// Creates or replaces a file with `contents`.
void writeFile(const std::string& path, const std::string& contents);

// Milliseconds on a monotonic clock.
long long monotonicMs();
// Polls `condition` every few milliseconds until it holds or timeoutMs passes.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = DEFAULT_TIMEOUT_MS);

// ---- Child processes -------------------------------------------------------------

// How a program run to its end (or stopped) went.
struct ProgramRun {
    int exitStatus = -1; // -1 when the program was still running and was stopped
    std::string out;
    std::string err;
};

// Starts `binary` with `arguments`, this process's environment with the
// "NAME=value" entries of `environment` added or replacing its own, input
// from /dev/null and standard output and error on outFd and errFd (which the
// caller still owns and closes). A non-zero addressSpaceLimit (bytes)
// becomes the child's RLIMIT_AS. -1 when it could not be started.
pid_t spawnProgram(const std::string& binary, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, int outFd, int errFd, size_t addressSpaceLimit = 0);

// Runs `binary` with `args`, this process's environment plus `extraEnvironment`
// ("NAME=value" entries) and /dev/null as input. Stops it with SIGTERM after
// limitMs (a server never ends by itself) and returns both output streams.
ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::vector<std::string>& extraEnvironment = {}, int limitMs = 10000);

// What the server left behind when it was stopped.
struct ServerExit {
    bool wasRunning = false; // it was still alive when stopServer came
    std::string out;         // everything it wrote to standard output
    std::string err;         // everything it wrote to standard error
};

// One running server process. Stops itself on destruction if still running.
struct ServerProcess {
    pid_t pid = -1;
    int port = 0;
    std::string outPath;
    std::string errPath;
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    // What the server has written to standard output so far.
    std::string currentOutput() const;
};

// Starts `binary` with "--port N" plus `arguments`, the environment of this
// process plus `environment` ("NAME=value" entries), on a free port; output
// goes to files in `captureDir`, certificates to its state/ folder unless
// `environment` names another STATE_DIRECTORY. Returns once the server listens (it has
// announced http://127.0.0.1:N/, or 127.0.0.1:N alone when told to listen
// there), false with a reason in *error otherwise.
// A non-zero addressSpaceLimit (bytes) becomes the child's RLIMIT_AS.
bool startServer(ServerProcess* server, const std::string& binary, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const std::string& captureDir, std::string* error,
                 size_t addressSpaceLimit = 0);
// Ends the server (SIGTERM) and collects its output.
ServerExit stopServer(ServerProcess* server);
// Whether the output shows a sanitizer report; a server under test must never produce one.
bool outputHasSanitizerReport(const std::string& text);

// ---- Certificates -------------------------------------------------------------------

// A test CA and two server certificates it signed (ECDSA P-256, for localhost
// and 127.0.0.1, valid for two days), made with the openssl program in a
// folder of their own. The server certificates' common names are "first"
// and "second".
struct TestCertificates {
    TempDir dir;
    std::string caPath;                               // PEM
    std::string error;                                // empty when every file was made
    std::string chain(const std::string& name) const; // PEM of "first" or "second"
    std::string key(const std::string& name) const;   // its private key, PEM
    std::string chainPath(const std::string& name) const;
    TestCertificates();
};

// ---- Loopback sockets ----------------------------------------------------------------

// A port that was free a moment ago on every IPv4 address, as the server
// binds; 0 when none could be had.
int pickFreePort();
// A socket connected to toAddress:port with TCP_NODELAY set, or -1; from
// the loopback address fromAddress (such as "127.0.0.2") when it is given. A
// receiveBuffer above 0 sets the socket's receive buffer first, so that a
// peer that does not read fills it soon.
int connectLoopback(int port, const char* fromAddress = nullptr, int receiveBuffer = 0,
                    const char* toAddress = "127.0.0.1");
// Closes the socket so that the peer sees a reset instead of an end.
void closeWithReset(int socket);
// Whether the peer has ended or reset the connection (looks, never waits).
bool peerHasClosed(int socket);
// The local port of a connected socket.
int localPort(int socket);
// Sends every byte; false when a send fails.
bool sendAll(int socket, const std::string& bytes);
// Reads until the peer closes, or `limit` bytes have come. *timedOut (may be
// null) tells whether the time ran out first; what arrived until then is
// returned either way.
std::string readUntilClosed(int socket, int timeoutMs = DEFAULT_TIMEOUT_MS, bool* timedOut = nullptr,
                            size_t limit = SIZE_MAX);
// Reads until at least `count` bytes arrived, the peer closed or timeoutMs
// passed; returns what arrived.
std::string readAtLeast(int socket, size_t count, int timeoutMs = DEFAULT_TIMEOUT_MS);
// Connects, sends the parts with a short pause between them, closes the
// sending side and reads the whole answer (also when a send failed).
std::string converseInParts(int port, const std::vector<std::string>& parts, int timeoutMs = DEFAULT_TIMEOUT_MS);
// Connects (from fromAddress when given), sends `request`, closes the sending
// side and reads the whole answer.
std::string converse(int port, const std::string& request, int timeoutMs = DEFAULT_TIMEOUT_MS,
                     const char* fromAddress = nullptr);

// The answer with the value of its Job-Id line, if any, replaced by "*":
// ids are new with every job, the rest of an answer is exact. *id (may be
// null) receives the value.
std::string withJobIdMasked(const std::string& answer, std::string* id = nullptr);

} // namespace q2test
