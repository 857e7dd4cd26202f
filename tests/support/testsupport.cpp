// testsupport.cpp: see testsupport.h.
#include "testsupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace q2test {

static const int POLL_INTERVAL_MS = 5;
static const int START_ATTEMPTS = 5;
// Between the parts of a request, so that they arrive in receives of their own.
static const int PART_PAUSE_MS = 2;

long long monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/q2ts.XXXXXX";
    if (NULL != mkdtemp(pattern)) {
        path = pattern;
    }
}

TempDir::~TempDir() {
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

std::string TempDir::file(const std::string& name) const {
    return path + "/" + name;
}

std::string TempDir::addFile(const std::string& name, const std::string& contents) const {
    std::string full = file(name);
    writeFile(full, contents);
    return full;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), (std::streamsize)contents.size());
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    long long deadline = monotonicMs() + timeoutMs;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (monotonicMs() >= deadline) {
            return false;
        }
        usleep(POLL_INTERVAL_MS * 1000);
    }
}

bool outputHasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos || text.find("runtime error:") != std::string::npos;
}

int pickFreePort() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0) {
        return 0;
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;
    int port = 0;
    socklen_t length = sizeof(address);
    if (0 == bind(probe, (struct sockaddr*)&address, sizeof(address)) &&
        0 == getsockname(probe, (struct sockaddr*)&address, &length)) {
        port = ntohs(address.sin_port);
    }
    close(probe);
    return port;
}

// Starts the child with its address space limited: only async-signal-safe
// calls between fork and exec.
static pid_t forkWithAddressSpaceLimit(const std::string& binary, char* const* argv, char* const* envp, int outFd,
                                       int errFd, size_t limit) {
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    int in = open("/dev/null", O_RDONLY);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = (rlim_t)limit;
    if (in < 0 || dup2(in, 0) < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 || setrlimit(RLIMIT_AS, &rl) != 0) {
        _exit(127);
    }
    execve(binary.c_str(), argv, envp);
    _exit(127);
}

pid_t spawnProgram(const std::string& binary, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, int outFd, int errFd, size_t addressSpaceLimit) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; entry++) {
        // A variable given in `environment` replaces this process's own.
        const char* equals = strchr(*entry, '=');
        size_t nameLength = equals == nullptr ? strlen(*entry) : (size_t)(equals - *entry) + 1;
        bool replaced = false;
        for (const std::string& given : environment) {
            replaced = replaced || 0 == given.compare(0, nameLength, *entry, nameLength);
        }
        if (!replaced) {
            envp.push_back(*entry);
        }
    }
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    if (addressSpaceLimit > 0) {
        return forkWithAddressSpaceLimit(binary, argv.data(), envp.data(), outFd, errFd, addressSpaceLimit);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    int result = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? pid : -1;
}

ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::vector<std::string>& extraEnvironment, int limitMs) {
    ProgramRun result;
    int outPipe[2];
    int errPipe[2];
    if (0 != pipe2(outPipe, O_CLOEXEC)) {
        result.err = "pipe failed";
        return result;
    }
    if (0 != pipe2(errPipe, O_CLOEXEC)) {
        close(outPipe[0]);
        close(outPipe[1]);
        result.err = "pipe failed";
        return result;
    }
    pid_t pid = spawnProgram(binary, args, extraEnvironment, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.err = "could not start " + binary;
        return result;
    }

    long long start = monotonicMs();
    bool stopped = false;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (!stopped && monotonicMs() - start >= limitMs) {
            kill(pid, SIGTERM);
            stopped = true;
        }
        if (stopped && monotonicMs() - start >= limitMs + 10000) {
            kill(pid, SIGKILL); // it would not end on SIGTERM
        }
        if (poll(fds, 2, 50) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, (size_t)got);
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!stopped && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

// A server's output file, opened for the child to write into.
static int openCapture(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

bool startServer(ServerProcess* server, const std::string& binary, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const std::string& captureDir, std::string* error,
                 size_t addressSpaceLimit) {
    // The certificates go to the test's own folder unless it names another.
    std::vector<std::string> withStateFolder = environment;
    if (std::none_of(environment.begin(), environment.end(),
                     [](const std::string& entry) { return 0 == entry.rfind("STATE_DIRECTORY=", 0); })) {
        withStateFolder.push_back("STATE_DIRECTORY=" + captureDir + "/state");
    }
    for (int attempt = 0; attempt < START_ATTEMPTS; attempt++) {
        int port = pickFreePort();
        if (port == 0) {
            *error = "no free port";
            continue;
        }
        std::vector<std::string> allArguments = {"--port", std::to_string(port)};
        allArguments.insert(allArguments.end(), arguments.begin(), arguments.end());
        server->outPath = captureDir + "/stdout";
        server->errPath = captureDir + "/stderr";
        int outFd = openCapture(server->outPath);
        int errFd = openCapture(server->errPath);
        server->pid = outFd < 0 || errFd < 0
                          ? -1
                          : spawnProgram(binary, allArguments, withStateFolder, outFd, errFd, addressSpaceLimit);
        if (outFd >= 0) {
            close(outFd);
        }
        if (errFd >= 0) {
            close(errFd);
        }
        if (server->pid < 0) {
            *error = "cannot start " + binary;
            return false;
        }
        server->port = port;
        const std::string announcement = "http://127.0.0.1:" + std::to_string(port) + "/";
        const std::string announcementOfOneAddress = "on 127.0.0.1:" + std::to_string(port) + "\n";
        bool exited = false;
        bool listening = waitUntil([&] {
            int status = 0;
            if (waitpid(server->pid, &status, WNOHANG) == server->pid) {
                exited = true;
                return true;
            }
            std::string output = server->currentOutput();
            return output.find(announcement) != std::string::npos ||
                   output.find(announcementOfOneAddress) != std::string::npos;
        });
        if (exited) {
            // Most likely another process took the port in the meantime: try another.
            server->pid = -1;
            *error = "the server ended at start: " + readFile(server->outPath) + readFile(server->errPath);
            continue;
        }
        if (!listening) {
            *error = "the server did not announce " + announcement;
            stopServer(server);
            return false;
        }
        return true;
    }
    return false;
}

ServerExit stopServer(ServerProcess* server) {
    ServerExit result;
    if (server->pid > 0) {
        int status = 0;
        pid_t waited = waitpid(server->pid, &status, WNOHANG);
        result.wasRunning = waited == 0;
        if (result.wasRunning) {
            kill(server->pid, SIGTERM);
            while (waitpid(server->pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        server->pid = -1;
    }
    result.out = readFile(server->outPath);
    result.err = readFile(server->errPath);
    return result;
}

ServerProcess::~ServerProcess() {
    if (pid > 0) {
        stopServer(this);
    }
}

std::string ServerProcess::currentOutput() const {
    return readFile(outPath);
}

int connectLoopback(int port, const char* fromAddress, int receiveBuffer, const char* toAddress) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (NULL != fromAddress) {
        struct sockaddr_in local;
        memset(&local, 0, sizeof(local));
        local.sin_family = AF_INET;
        if (1 != inet_pton(AF_INET, fromAddress, &local.sin_addr) ||
            0 != bind(fd, (struct sockaddr*)&local, sizeof(local))) {
            close(fd);
            return -1;
        }
    }
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    if (1 != inet_pton(AF_INET, toAddress, &address.sin_addr) ||
        0 != connect(fd, (struct sockaddr*)&address, sizeof(address))) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

void closeWithReset(int socket) {
    struct linger abort;
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    close(socket);
}

bool peerHasClosed(int socket) {
    struct pollfd entry = {socket, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0) {
        return false;
    }
    char byte;
    return recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

int localPort(int socket) {
    struct sockaddr_in address;
    socklen_t length = sizeof(address);
    if (0 != getsockname(socket, (struct sockaddr*)&address, &length)) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool sendAll(int socket, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t result = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            return false;
        }
        sent += (size_t)result;
    }
    return true;
}

std::string readAtLeast(int socket, size_t count, int timeoutMs) {
    std::string received;
    long long deadline = monotonicMs() + timeoutMs;
    while (received.size() < count) {
        long long remaining = deadline - monotonicMs();
        struct pollfd waitFor = {socket, POLLIN, 0};
        if (remaining <= 0) {
            break;
        }
        if (poll(&waitFor, 1, (int)remaining) <= 0) {
            continue;
        }
        char buffer[256];
        ssize_t got = recv(socket, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        received.append(buffer, (size_t)got);
    }
    return received;
}

std::string readUntilClosed(int socket, int timeoutMs, bool* timedOut, size_t limit) {
    std::string received;
    long long deadline = monotonicMs() + timeoutMs;
    if (timedOut != nullptr) {
        *timedOut = false;
    }
    char buffer[65536];
    while (received.size() < limit) {
        // Looks at least once, so that a limit of 0 still sees a close that already happened.
        long long remaining = deadline - monotonicMs();
        struct pollfd waitFor = {socket, POLLIN, 0};
        int ready = poll(&waitFor, 1, remaining > 0 ? (int)remaining : 0);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            if (monotonicMs() >= deadline) {
                if (timedOut != nullptr) {
                    *timedOut = true;
                }
                return received;
            }
            continue;
        }
        size_t wanted = limit - received.size() < sizeof(buffer) ? limit - received.size() : sizeof(buffer);
        ssize_t got = recv(socket, buffer, wanted, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return received;
        }
        received.append(buffer, (size_t)got);
    }
    return received;
}

std::string converseInParts(int port, const std::vector<std::string>& parts, int timeoutMs) {
    int fd = connectLoopback(port);
    if (fd < 0) {
        return "<connect failed>";
    }
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0) {
            usleep(PART_PAUSE_MS * 1000);
        }
        // The server may answer and stop reading before the last part: the
        // answer is read all the same.
        if (!sendAll(fd, parts[i])) {
            break;
        }
    }
    shutdown(fd, SHUT_WR);
    bool timedOut = false;
    std::string answer = readUntilClosed(fd, timeoutMs, &timedOut);
    if (timedOut) {
        answer += "<timed out>";
    }
    close(fd);
    return answer;
}

std::string converse(int port, const std::string& request, int timeoutMs, const char* fromAddress) {
    int fd = connectLoopback(port, fromAddress);
    if (fd < 0) {
        return "<connect failed>";
    }
    std::string answer;
    if (sendAll(fd, request)) {
        shutdown(fd, SHUT_WR);
        bool timedOut = false;
        answer = readUntilClosed(fd, timeoutMs, &timedOut);
        if (timedOut) {
            answer += "<timed out>";
        }
    } else {
        answer = "<send failed>";
    }
    close(fd);
    return answer;
}

// ---- Certificates -------------------------------------------------------------------

static std::string openssl(const std::vector<std::string>& args) {
    ProgramRun run = runProgram("/usr/bin/openssl", args, {}, 30000);
    return run.exitStatus == 0 ? std::string() : "openssl " + args[0] + " failed: " + run.err;
}

TestCertificates::TestCertificates() {
    caPath = dir.file("ca.pem");
    const std::string ec[] = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};
    std::vector<std::string> ca = {"req", "-x509"};
    ca.insert(ca.end(), std::begin(ec), std::end(ec));
    ca.insert(ca.end(), {"-keyout", dir.file("ca.key"), "-out", caPath, "-days", "2", "-subj", "/CN=quorvel2 test CA",
                         "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"});
    error = openssl(ca);
    const std::string extensions = dir.addFile("server.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                                                             "extendedKeyUsage=serverAuth\n");
    for (const char* name : {"first", "second"}) {
        std::vector<std::string> request = {"req"};
        request.insert(request.end(), std::begin(ec), std::end(ec));
        request.insert(request.end(), {"-keyout", dir.file(std::string(name) + ".key"), "-out",
                                       dir.file(std::string(name) + ".csr"), "-subj", std::string("/CN=") + name});
        if (error.empty()) {
            error = openssl(request);
        }
        if (error.empty()) {
            error = openssl({"x509", "-req", "-in", dir.file(std::string(name) + ".csr"), "-CA", caPath, "-CAkey",
                             dir.file("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out",
                             chainPath(name)});
        }
    }
}

std::string TestCertificates::chainPath(const std::string& name) const {
    return dir.file(name + ".pem");
}

std::string TestCertificates::chain(const std::string& name) const {
    return readFile(chainPath(name));
}

std::string TestCertificates::key(const std::string& name) const {
    return readFile(dir.file(name + ".key"));
}

} // namespace q2test

std::string q2test::withJobIdMasked(const std::string& answer, std::string* id) {
    static const std::string LINE = "\r\nJob-Id: ";
    size_t head = answer.find("\r\n\r\n");
    size_t at = answer.find(LINE);
    if (at == std::string::npos || at > head) {
        return answer;
    }
    size_t start = at + LINE.size(), end = answer.find("\r\n", start);
    if (nullptr != id) {
        *id = answer.substr(start, end - start);
    }
    return answer.substr(0, start) + "*" + answer.substr(end);
}
