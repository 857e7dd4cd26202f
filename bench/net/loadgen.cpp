// loadgen.cpp: the load client of the network benchmarks. It talks to one
// server on 127.0.0.1 and, where bytes reach the printer, is also the reader
// of the printer FIFO, so a figure ends only when every byte has arrived.
//
//   loadgen freeport
//       prints a TCP port that is free on 127.0.0.1 now.
//   loadgen raw PORT FIFO BYTES CLIENTS [PID]
//       CLIENTS raw ESC/POS streams of BYTES each, one after another; prints
//       "mbps=<MB/s end to end> seconds=<s> server_cpu_ms_per_100mb=..".
//   loadgen http PORT FIFO BODYBYTES CLIENTS SECONDS [PID]
//       CLIENTS threads post BODYBYTES receipts to /escpos, one request per
//       connection, for SECONDS; prints "jobs_per_s=.. p50_ms=.. p99_ms=..
//       jobs=.. errors=.. ... server_cpu_us_per_job=..".
//   loadgen https PORT FIFO BODYBYTES CLIENTS SECONDS PID CA resumed|full
//       the same over TLS (the server's certificate checked against the CA
//       file): each job a new connection whose handshake resumes the
//       thread's last session (resumed) or is made in full (full); prints
//       the http figures and "resumed=<share of handshakes resumed>".
//   With PID, the CPU time that process used during the run is reported
//   (-1 without).
//   loadgen idle-tls PORT PID CONNECTIONS MAXSECONDS CA
//       as idle, each connection after a full TLS handshake.
//   loadgen flood-tls PORT FIFO PEERS SECONDS CA
//       PEERS threads, each from an address of its own (127.0.0.2, ...),
//       make full TLS handshakes as fast as they can and close; meanwhile one
//       HTTPS job from 127.0.0.1 every 200 ms; prints "healthy_max_ms=..
//       healthy_p50_ms=.. healthy_jobs=.. healthy_errors=.. flood_handshakes_per_s=..".
//   loadgen idle PORT PID CONNECTIONS MAXSECONDS
//       reads the server's memory and threads, opens CONNECTIONS connections
//       that send nothing, reads them again (within MAXSECONDS of the first
//       connect, 0 for no limit); prints "rss_idle_kib=.. rss_open_kib=..
//       per_conn_kib=.. threads_idle=.. threads_open=.. ...".
//
// Every loop is bounded in count and time; the program exits non-zero when
// a figure could not be taken whole (no job answered, bytes that never
// reached the device).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const size_t SEND_CHUNK = 64 * 1024;
const size_t DRAIN_CHUNK = 256 * 1024;
const int IO_TIMEOUT_MS = 10000;       // one stuck request fails the run instead of hanging it
const double DRAIN_STALL_SECONDS = 10; // longest wait for the next bytes to reach the FIFO

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void raiseOpenFileLimit() {
    struct rlimit limit;
    if (0 == getrlimit(RLIMIT_NOFILE, &limit)) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void setTimeouts(int fd, int milliseconds) {
    struct timeval timeout;
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

// A connected socket to 127.0.0.1:port, or -1.
int connectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    setTimeouts(fd, IO_TIMEOUT_MS);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (0 != connect(fd, (const struct sockaddr*)&address, sizeof(address))) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= (size_t)sent;
    }
    return true;
}

// Bytes shaped like a receipt: initialise, then text lines with style
// commands between them, repeated to fill the length.
std::string receiptBytes(size_t length) {
    static const char PATTERN[] = "\x1b@"
                                  "\x1b"
                                  "a\x01"
                                  "QUORVEL BAKERY\n"
                                  "\x1b"
                                  "a\x00"
                                  "2 x Sourdough loaf            7.80\n"
                                  "1 x Rye rolls (6)             3.20\n"
                                  "\x1b"
                                  "E\x01"
                                  "TOTAL                        11.00\n"
                                  "\x1b"
                                  "E\x00"
                                  "\x1d"
                                  "V\x41\x03";
    std::string bytes;
    bytes.reserve(length);
    while (bytes.size() < length) {
        size_t take = std::min(sizeof(PATTERN) - 1, length - bytes.size());
        bytes.append(PATTERN, take);
    }
    return bytes;
}

// Reads the printer FIFO into nothing and counts the bytes. The FIFO is held
// open for writing as well, so a server closing its end between jobs never
// ends the reading.
struct Drain {
    int fd = -1;
    std::atomic<long long> bytes{0};
    std::atomic<bool> stop{false};
    std::thread reader;
};

bool drainStart(Drain& drain, const char* fifoPath) {
    drain.fd = open(fifoPath, O_RDWR | O_CLOEXEC);
    if (drain.fd < 0) {
        fprintf(stderr, "loadgen: cannot open %s: %s\n", fifoPath, strerror(errno));
        return false;
    }
    drain.reader = std::thread([&drain] {
        std::vector<char> buffer(DRAIN_CHUNK);
        while (!drain.stop.load()) {
            struct pollfd waitFor = {drain.fd, POLLIN, 0};
            if (poll(&waitFor, 1, 100) <= 0) {
                continue;
            }
            ssize_t got = read(drain.fd, buffer.data(), buffer.size());
            if (got > 0) {
                drain.bytes.fetch_add(got);
            }
        }
    });
    return true;
}

// Waits until the drain has counted `expected` bytes; false when no byte
// arrived for stallSeconds.
bool drainWaitFor(Drain& drain, long long expected, double stallSeconds) {
    Clock::time_point lastProgress = Clock::now();
    long long seen = drain.bytes.load();
    while (seen < expected) {
        if (secondsSince(lastProgress) > stallSeconds) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        long long now = drain.bytes.load();
        if (now != seen) {
            seen = now;
            lastProgress = Clock::now();
        }
    }
    return true;
}

void drainStop(Drain& drain) {
    drain.stop.store(true);
    if (drain.reader.joinable()) {
        drain.reader.join();
    }
    if (drain.fd >= 0) {
        close(drain.fd);
    }
}

// CPU time (user + system) the process has used so far, its ended threads
// included, in milliseconds; -1 without a pid or when it cannot be read.
double processCpuMilliseconds(int pid) {
    if (pid <= 0) {
        return -1;
    }
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = fopen(path.c_str(), "r");
    if (NULL == file) {
        return -1;
    }
    char line[1024];
    size_t got = fread(line, 1, sizeof(line) - 1, file);
    fclose(file);
    line[got] = '\0';
    // The command name may hold spaces: the fields are counted from its ')'.
    const char* after = strrchr(line, ')');
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    if (NULL == after ||
        2 != sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime)) {
        return -1;
    }
    return (double)(utime + stime) * 1000.0 / (double)sysconf(_SC_CLK_TCK);
}

int commandFreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || 0 != bind(fd, (const struct sockaddr*)&address, sizeof(address)) ||
        0 != getsockname(fd, (struct sockaddr*)&address, &length)) {
        perror("loadgen freeport");
        return 1;
    }
    printf("%u\n", (unsigned)ntohs(address.sin_port));
    close(fd);
    return 0;
}

int commandRaw(int port, const char* fifoPath, long long bytesPerClient, int clients, int pid) {
    std::string receipt = receiptBytes(SEND_CHUNK);
    Drain drain;
    if (!drainStart(drain, fifoPath)) {
        return 1;
    }
    double cpuBefore = processCpuMilliseconds(pid);
    Clock::time_point start = Clock::now();
    bool ok = true;
    for (int client = 0; client < clients && ok; client++) {
        int fd = connectLoopback(port);
        if (fd < 0) {
            fprintf(stderr, "loadgen raw: connect failed: %s\n", strerror(errno));
            ok = false;
            break;
        }
        long long left = bytesPerClient;
        while (left > 0 && ok) {
            size_t take = (size_t)std::min<long long>(left, (long long)receipt.size());
            ok = sendAll(fd, receipt.data(), take);
            left -= (long long)take;
        }
        if (!ok) {
            fprintf(stderr, "loadgen raw: send failed: %s\n", strerror(errno));
        }
        close(fd);
    }
    long long expected = bytesPerClient * clients;
    if (ok && !drainWaitFor(drain, expected, DRAIN_STALL_SECONDS)) {
        fprintf(stderr, "loadgen raw: only %lld of %lld bytes reached the device\n", drain.bytes.load(), expected);
        ok = false;
    }
    double seconds = secondsSince(start);
    double cpuMs = processCpuMilliseconds(pid) - cpuBefore;
    drainStop(drain);
    if (!ok) {
        return 1;
    }
    printf("mbps=%.1f seconds=%.3f server_cpu_ms_per_100mb=%.1f\n", (double)expected / seconds / 1e6, seconds,
           pid > 0 ? cpuMs * 1e8 / (double)expected : -1.0);
    return 0;
}

struct HttpTotals {
    std::vector<double> latenciesMs;
    long long errors = 0;
};

// One request on a fresh connection; its latency from connect to the
// server's close, or a negative value when the answer was not a 200.
double postOnce(int port, const std::string& request, std::vector<char>& answer) {
    Clock::time_point start = Clock::now();
    int fd = connectLoopback(port);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (!sendAll(fd, request.data(), request.size())) {
        close(fd);
        return -1;
    }
    size_t have = 0;
    for (;;) {
        if (have == answer.size()) {
            answer.resize(answer.size() * 2);
        }
        ssize_t got = recv(fd, answer.data() + have, answer.size() - have, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got < 0) {
                have = 0; // a timeout or reset is a failed job
            }
            break;
        }
        have += (size_t)got;
    }
    close(fd);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    static const char OK[] = "HTTP/1.1 200 ";
    if (have < sizeof(OK) - 1 || 0 != memcmp(answer.data(), OK, sizeof(OK) - 1)) {
        return -1;
    }
    return ms;
}

double percentile(std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    size_t index = (size_t)(fraction * (double)(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

int commandHttp(int port, const char* fifoPath, size_t bodyBytes, int clients, double seconds, int pid) {
    std::string body = receiptBytes(bodyBytes);
    std::string request = "POST /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    Drain drain;
    if (!drainStart(drain, fifoPath)) {
        return 1;
    }
    std::vector<HttpTotals> totals((size_t)clients);
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    double cpuBefore = processCpuMilliseconds(pid);
    Clock::time_point start = Clock::now();
    for (int i = 0; i < clients; i++) {
        threads.emplace_back([&, i] {
            HttpTotals& mine = totals[(size_t)i];
            mine.latenciesMs.reserve(100000);
            std::vector<char> answer(4096);
            // Bounded twice: by the clock and by a count no run can reach.
            for (long long n = 0; n < 10000000 && running.load(); n++) {
                double ms = postOnce(port, request, answer);
                if (ms < 0) {
                    mine.errors++;
                } else {
                    mine.latenciesMs.push_back(ms);
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    running.store(false);
    for (std::thread& thread : threads) {
        thread.join();
    }
    double elapsed = secondsSince(start);
    double cpuMs = processCpuMilliseconds(pid) - cpuBefore;
    std::vector<double> all;
    long long errors = 0;
    for (HttpTotals& t : totals) {
        all.insert(all.end(), t.latenciesMs.begin(), t.latenciesMs.end());
        errors += t.errors;
    }
    long long jobs = (long long)all.size();
    long long expected = jobs * (long long)body.size();
    bool delivered = drainWaitFor(drain, expected, DRAIN_STALL_SECONDS);
    long long arrived = drain.bytes.load();
    drainStop(drain);
    std::sort(all.begin(), all.end());
    double sum = 0;
    for (double ms : all) {
        sum += ms;
    }
    printf("jobs_per_s=%.0f p50_ms=%.3f p99_ms=%.3f jobs=%lld errors=%lld mean_ms=%.3f p90_ms=%.3f "
           "p999_ms=%.3f max_ms=%.3f server_cpu_us_per_job=%.1f\n",
           (double)jobs / elapsed, percentile(all, 0.50), percentile(all, 0.99), jobs, errors,
           all.empty() ? 0.0 : sum / (double)all.size(), percentile(all, 0.90), percentile(all, 0.999),
           all.empty() ? 0.0 : all.back(), (pid > 0 && jobs > 0) ? cpuMs * 1000.0 / (double)jobs : -1.0);
    if (!delivered) {
        fprintf(stderr, "loadgen http: %lld jobs answered but %lld of %lld bytes reached the device\n", jobs, arrived,
                expected);
        return 1;
    }
    // Failed requests are a figure of their own (a server with a short listen
    // queue makes some connects time out), not a failed run.
    return jobs > 0 ? 0 : 1;
}

struct ProcessFigures {
    long rssKib = -1;
    long threads = -1;
};

ProcessFigures readProcess(int pid) {
    ProcessFigures figures;
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* file = fopen(path.c_str(), "r");
    if (NULL == file) {
        return figures;
    }
    char line[256];
    while (fgets(line, sizeof(line), file)) {
        sscanf(line, "VmRSS: %ld kB", &figures.rssKib);
        sscanf(line, "Threads: %ld", &figures.threads);
    }
    fclose(file);
    return figures;
}

// Waits until the server's figures stop changing (threads started, pages
// touched), at most maxSeconds.
ProcessFigures readSettled(int pid, double maxSeconds) {
    Clock::time_point start = Clock::now();
    ProcessFigures last = readProcess(pid);
    int steady = 0;
    while (secondsSince(start) < maxSeconds && steady < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ProcessFigures now = readProcess(pid);
        steady = (now.rssKib == last.rssKib && now.threads == last.threads) ? steady + 1 : 0;
        last = now;
    }
    return last;
}

// Idle connections come from this many per loopback address (127.0.0.2,
// 127.0.0.3, ...), as from a shop's many tills: quorvel2 keeps at most 128
// from one address and closes the rest, which would then count as open here.
static const int IDLE_CONNECTIONS_PER_SOURCE = 100;

// Opens `count` connections to 127.0.0.1:port at once (a server with a short
// listen queue makes single connects wait for SYN retries one by one), and
// returns those that completed within timeoutSeconds.
std::vector<int> openIdleConnections(int port, int count, double timeoutSeconds) {
    std::vector<int> pending;
    std::vector<int> done;
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fprintf(stderr, "loadgen idle: socket: %s\n", strerror(errno));
            break;
        }
        struct sockaddr_in source;
        memset(&source, 0, sizeof(source));
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + (uint32_t)(i / IDLE_CONNECTIONS_PER_SOURCE));
        if (0 != bind(fd, (const struct sockaddr*)&source, sizeof(source))) {
            fprintf(stderr, "loadgen idle: bind: %s\n", strerror(errno));
            close(fd);
            break;
        }
        if (0 == connect(fd, (const struct sockaddr*)&address, sizeof(address))) {
            done.push_back(fd);
        } else if (errno == EINPROGRESS) {
            pending.push_back(fd);
        } else {
            close(fd);
        }
    }
    Clock::time_point start = Clock::now();
    while (!pending.empty() && secondsSince(start) < timeoutSeconds) {
        std::vector<struct pollfd> waits;
        for (int fd : pending) {
            waits.push_back({fd, POLLOUT, 0});
        }
        if (poll(waits.data(), waits.size(), 100) <= 0) {
            continue;
        }
        std::vector<int> still;
        for (const struct pollfd& w : waits) {
            if (w.revents == 0) {
                still.push_back(w.fd);
                continue;
            }
            int error = 0;
            socklen_t length = sizeof(error);
            getsockopt(w.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error == 0) {
                done.push_back(w.fd);
            } else {
                close(w.fd);
            }
        }
        pending.swap(still);
    }
    for (int fd : pending) {
        close(fd);
    }
    return done;
}

// maxSeconds: the figures must be read within this time of the first
// connect (quorvel2 drops a connection idle for 30 s); 0 for no limit.
int commandIdle(int port, int pid, int connections, double maxSeconds) {
    ProcessFigures before = readSettled(pid, 3);
    Clock::time_point start = Clock::now();
    std::vector<int> fds = openIdleConnections(port, connections, 15);
    double connectSeconds = secondsSince(start);
    ProcessFigures open = readSettled(pid, 5);
    double elapsed = secondsSince(start);
    for (int fd : fds) {
        close(fd);
    }
    if ((int)fds.size() != connections) {
        fprintf(stderr, "loadgen idle: only %zu of %d connections opened\n", fds.size(), connections);
        return 1;
    }
    if (before.rssKib < 0 || open.rssKib < 0) {
        fprintf(stderr, "loadgen idle: cannot read /proc/%d/status\n", pid);
        return 1;
    }
    printf("rss_idle_kib=%ld rss_open_kib=%ld per_conn_kib=%.2f threads_idle=%ld threads_open=%ld "
           "threads_per_conn=%.3f connect_s=%.1f seconds=%.1f\n",
           before.rssKib, open.rssKib, (double)(open.rssKib - before.rssKib) / connections, before.threads,
           open.threads, (double)(open.threads - before.threads) / connections, connectSeconds, elapsed);
    if (maxSeconds > 0 && elapsed > maxSeconds) {
        fprintf(stderr, "loadgen idle: measured after %.1f s, later than %.1f s\n", elapsed, maxSeconds);
        return 1;
    }
    return 0;
}

// ---- TLS ----------------------------------------------------------------------

// A client context that trusts only the CA file and checks the name localhost.
SSL_CTX* tlsClientContext(const char* caPath) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (NULL == context || 1 != SSL_CTX_load_verify_locations(context, caPath, NULL)) {
        fprintf(stderr, "loadgen: cannot load the CA %s\n", caPath);
        exit(1);
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    static const unsigned char ALPN[] = "\x08http/1.1";
    SSL_CTX_set_alpn_protos(context, ALPN, sizeof(ALPN) - 1);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
    return context;
}

// A connection from `fromAddress` (host order; 0 for any) with a finished
// handshake, resuming *session when it is set; null on failure (fd closed).
SSL* tlsConnect(SSL_CTX* context, int port, uint32_t fromAddress, SSL_SESSION* session, int* fdOut) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return NULL;
    }
    setTimeouts(fd, IO_TIMEOUT_MS);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    if (fromAddress != 0) {
        address.sin_addr.s_addr = htonl(fromAddress);
        if (0 != bind(fd, (const struct sockaddr*)&address, sizeof(address))) {
            close(fd);
            return NULL;
        }
    }
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (0 != connect(fd, (const struct sockaddr*)&address, sizeof(address))) {
        close(fd);
        return NULL;
    }
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    if (NULL != session) {
        SSL_set_session(ssl, session);
    }
    if (1 != SSL_connect(ssl)) {
        SSL_free(ssl);
        close(fd);
        return NULL;
    }
    *fdOut = fd;
    return ssl;
}

// One job over TLS: handshake, request, the answer read to the server's
// close. Its latency, or negative when the answer was not a 200. With
// `session`, the handshake resumes *session and *session becomes the newest.
double postOnceTLS(SSL_CTX* context, int port, uint32_t fromAddress, const std::string& request,
                   std::vector<char>& answer, SSL_SESSION** session, bool* resumed) {
    Clock::time_point start = Clock::now();
    int fd = -1;
    SSL* ssl = tlsConnect(context, port, fromAddress, NULL == session ? NULL : *session, &fd);
    if (NULL == ssl) {
        ERR_clear_error();
        return -1;
    }
    *resumed = SSL_session_reused(ssl) == 1;
    size_t have = 0;
    bool ok = SSL_write(ssl, request.data(), (int)request.size()) == (int)request.size();
    while (ok) {
        if (have == answer.size()) {
            answer.resize(answer.size() * 2);
        }
        int got = SSL_read(ssl, answer.data() + have, (int)(answer.size() - have));
        if (got <= 0) {
            break; // the close-notify, or the end of the connection
        }
        if (have == 0 && NULL != session) {
            // TLS 1.3 tickets come before the answer; taken now, before an end
            // without close-notify could mark the session unusable.
            SSL_SESSION* newest = SSL_get1_session(ssl);
            if (NULL != newest && SSL_SESSION_is_resumable(newest)) {
                SSL_SESSION_free(*session);
                *session = newest;
            } else {
                SSL_SESSION_free(newest);
            }
        }
        have += (size_t)got;
    }
    // A session whose connection ends without a close-notify from its client
    // is not resumed.
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
    ERR_clear_error();
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    static const char OK[] = "HTTP/1.1 200 ";
    if (!ok || have < sizeof(OK) - 1 || 0 != memcmp(answer.data(), OK, sizeof(OK) - 1)) {
        return -1;
    }
    return ms;
}

std::string printRequest(size_t bodyBytes) {
    std::string body = receiptBytes(bodyBytes);
    return "POST /escpos HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/octet-stream\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

int commandHttps(int port, const char* fifoPath, size_t bodyBytes, int clients, double seconds, int pid,
                 const char* caPath, bool resume) {
    SSL_CTX* context = tlsClientContext(caPath);
    std::string request = printRequest(bodyBytes);
    Drain drain;
    if (!drainStart(drain, fifoPath)) {
        return 1;
    }
    std::vector<HttpTotals> totals((size_t)clients);
    std::vector<long long> resumedCounts((size_t)clients, 0);
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    double cpuBefore = processCpuMilliseconds(pid);
    Clock::time_point start = Clock::now();
    for (int i = 0; i < clients; i++) {
        threads.emplace_back([&, i] {
            HttpTotals& mine = totals[(size_t)i];
            mine.latenciesMs.reserve(100000);
            std::vector<char> answer(4096);
            SSL_SESSION* session = NULL;
            for (long long n = 0; n < 10000000 && running.load(); n++) {
                bool resumed = false;
                double ms = postOnceTLS(context, port, 0, request, answer, resume ? &session : NULL, &resumed);
                if (ms < 0) {
                    mine.errors++;
                } else {
                    mine.latenciesMs.push_back(ms);
                    resumedCounts[(size_t)i] += resumed ? 1 : 0;
                }
            }
            SSL_SESSION_free(session);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    running.store(false);
    for (std::thread& thread : threads) {
        thread.join();
    }
    double elapsed = secondsSince(start);
    double cpuMs = processCpuMilliseconds(pid) - cpuBefore;
    std::vector<double> all;
    long long errors = 0;
    long long resumedJobs = 0;
    for (size_t i = 0; i < totals.size(); i++) {
        all.insert(all.end(), totals[i].latenciesMs.begin(), totals[i].latenciesMs.end());
        errors += totals[i].errors;
        resumedJobs += resumedCounts[i];
    }
    long long jobs = (long long)all.size();
    long long expected = jobs * (long long)bodyBytes;
    bool delivered = drainWaitFor(drain, expected, DRAIN_STALL_SECONDS);
    drainStop(drain);
    SSL_CTX_free(context);
    std::sort(all.begin(), all.end());
    printf("jobs_per_s=%.0f p50_ms=%.3f p99_ms=%.3f jobs=%lld errors=%lld p999_ms=%.3f "
           "server_cpu_us_per_job=%.1f resumed=%.2f\n",
           (double)jobs / elapsed, percentile(all, 0.50), percentile(all, 0.99), jobs, errors, percentile(all, 0.999),
           (pid > 0 && jobs > 0) ? cpuMs * 1000.0 / (double)jobs : -1.0,
           jobs > 0 ? (double)resumedJobs / (double)jobs : 0.0);
    if (!delivered) {
        fprintf(stderr, "loadgen https: %lld jobs answered but not every byte reached the device\n", jobs);
        return 1;
    }
    return jobs > 0 ? 0 : 1;
}

int commandIdleTLS(int port, int pid, int connections, double maxSeconds, const char* caPath) {
    SSL_CTX* context = tlsClientContext(caPath);
    ProcessFigures before = readSettled(pid, 3);
    Clock::time_point start = Clock::now();
    std::vector<std::pair<SSL*, int>> open;
    for (int i = 0; i < connections && secondsSince(start) < maxSeconds / 2; i++) {
        int fd = -1;
        SSL* ssl =
            tlsConnect(context, port, INADDR_LOOPBACK + 1 + (uint32_t)(i / IDLE_CONNECTIONS_PER_SOURCE), NULL, &fd);
        if (NULL == ssl) {
            break;
        }
        open.push_back({ssl, fd});
    }
    double connectSeconds = secondsSince(start);
    ProcessFigures after = readSettled(pid, 5);
    double elapsed = secondsSince(start);
    size_t opened = open.size();
    for (auto& connection : open) {
        SSL_free(connection.first);
        close(connection.second);
    }
    SSL_CTX_free(context);
    if ((int)opened != connections) {
        fprintf(stderr, "loadgen idle-tls: only %zu of %d handshakes finished\n", opened, connections);
        return 1;
    }
    printf("rss_idle_kib=%ld rss_open_kib=%ld per_conn_kib=%.2f connect_s=%.1f seconds=%.1f\n", before.rssKib,
           after.rssKib, (double)(after.rssKib - before.rssKib) / connections, connectSeconds, elapsed);
    return maxSeconds > 0 && elapsed > maxSeconds ? 1 : 0;
}

int commandFloodTLS(int port, const char* fifoPath, int peers, double seconds, const char* caPath) {
    SSL_CTX* context = tlsClientContext(caPath);
    std::string request = printRequest(1024);
    Drain drain;
    if (!drainStart(drain, fifoPath)) {
        return 1;
    }
    std::atomic<bool> running{true};
    std::atomic<long long> handshakes{0};
    std::vector<std::thread> flooders;
    for (int i = 0; i < peers; i++) {
        flooders.emplace_back([&, i] {
            for (long long n = 0; n < 10000000 && running.load(); n++) {
                int fd = -1;
                SSL* ssl = tlsConnect(context, port, INADDR_LOOPBACK + 1 + (uint32_t)i, NULL, &fd);
                if (NULL != ssl) {
                    handshakes.fetch_add(1);
                    SSL_free(ssl);
                    close(fd);
                }
                ERR_clear_error();
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the flood at full strength first
    Clock::time_point start = Clock::now();
    long long handshakesBefore = handshakes.load();
    std::vector<double> healthy;
    long long errors = 0;
    std::vector<char> answer(4096);
    while (secondsSince(start) < seconds) {
        bool resumed = false;
        double ms = postOnceTLS(context, port, 0, request, answer, NULL, &resumed);
        if (ms < 0) {
            errors++;
        } else {
            healthy.push_back(ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    double floodRate = (double)(handshakes.load() - handshakesBefore) / secondsSince(start);
    running.store(false);
    for (std::thread& flooder : flooders) {
        flooder.join();
    }
    drainStop(drain);
    SSL_CTX_free(context);
    std::sort(healthy.begin(), healthy.end());
    printf("healthy_max_ms=%.1f healthy_p50_ms=%.1f healthy_jobs=%zu healthy_errors=%lld "
           "flood_handshakes_per_s=%.0f\n",
           healthy.empty() ? -1.0 : healthy.back(), percentile(healthy, 0.5), healthy.size(), errors, floodRate);
    return healthy.empty() ? 1 : 0;
}

int usage() {
    fprintf(stderr, "usage: loadgen freeport | raw PORT FIFO BYTES CLIENTS [PID] | "
                    "http PORT FIFO BODYBYTES CLIENTS SECONDS [PID] | idle PORT PID CONNECTIONS MAXSECONDS | "
                    "https PORT FIFO BODYBYTES CLIENTS SECONDS PID CA resumed|full | "
                    "idle-tls PORT PID CONNECTIONS MAXSECONDS CA | flood-tls PORT FIFO PEERS SECONDS CA\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();
    if (argc < 2) {
        return usage();
    }
    std::string command = argv[1];
    if (command == "freeport") {
        return commandFreePort();
    }
    if (command == "raw" && (argc == 6 || argc == 7)) {
        return commandRaw(atoi(argv[2]), argv[3], atoll(argv[4]), atoi(argv[5]), argc == 7 ? atoi(argv[6]) : 0);
    }
    if (command == "http" && (argc == 7 || argc == 8)) {
        return commandHttp(atoi(argv[2]), argv[3], (size_t)atoll(argv[4]), atoi(argv[5]), atof(argv[6]),
                           argc == 8 ? atoi(argv[7]) : 0);
    }
    if (command == "https" && argc == 10) {
        return commandHttps(atoi(argv[2]), argv[3], (size_t)atoll(argv[4]), atoi(argv[5]), atof(argv[6]), atoi(argv[7]),
                            argv[8], std::string(argv[9]) == "resumed");
    }
    if (command == "idle-tls" && argc == 7) {
        return commandIdleTLS(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atof(argv[5]), argv[6]);
    }
    if (command == "flood-tls" && argc == 7) {
        return commandFloodTLS(atoi(argv[2]), argv[3], atoi(argv[4]), atof(argv[5]), argv[6]);
    }
    if (command == "idle" && argc == 6) {
        return commandIdle(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atof(argv[5]));
    }
    return usage();
}
