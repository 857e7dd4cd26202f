// The built server over loopback with many clients at once and with peers
// that go quiet: every job reaches the printer exactly once and whole, and an
// idle peer is dropped after the idle limit (shortened through the test-hooks
// program) without holding up anybody else for longer than that.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "serverprocess.h"
#include "simulated_printer.h"

using namespace blackbox;

namespace {

const std::string CORS = "Access-Control-Allow-Origin: *\r\n"
                         "Access-Control-Allow-Headers: Content-Type, Authorization, Idempotency-Key\r\n"
                         "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n"
                         "Access-Control-Expose-Headers: Job-Id, Idempotent-Replayed\r\n";
// What a print answer carries besides: its job's id, masked by the exchanges.
const std::string JOB_CORS = CORS + "Job-Id: *\r\n";
const std::string OK_WITH_CORS = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nServer: "
                                 "Ostrelin/1.1.3\r\nConnection: close\r\n" +
                                 JOB_CORS + "\r\n";
const std::string BUSY_TEXT = "The printer is busy with another job; nothing was printed.\n";
const std::string BUSY_WITH_CORS = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
                                   std::to_string(BUSY_TEXT.size()) +
                                   "\r\nServer: Ostrelin/1.1.3\r\nConnection: close\r\n" + JOB_CORS + "\r\n" +
                                   BUSY_TEXT;

const int IDLE_MS = 800;
const int LONG_IDLE_MS = 10000;
// Room for a slow (sanitized, shared) machine on top of the idle limit.
const int SLACK_MS = 4000;

std::string post(const std::string& body) {
    return "POST /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

// A payload that no other payload contains: a unique tag at both ends and a
// length that varies with the job.
std::string payload(const std::string& tag, int index) {
    std::string body = "\x1b@<" + tag + std::to_string(index) + ">";
    body += std::string((size_t)(200 + 37 * index), (char)('a' + index % 26));
    body += "</" + tag + std::to_string(index) + ">\n";
    return body;
}

size_t occurrences(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
        count++;
    }
    return count;
}

class ServerTest : public ::testing::Test {
  protected:
    TempDir dir;
    ServerProcess server;
    std::string device;

    // Starts the server, after stopping the one a previous table row started,
    // on a printer file of its own or the named printer.
    void start(const std::string& binary, const std::vector<std::string>& environment,
               const std::string& printerName = "") {
        ASSERT_FALSE(dir.path.empty());
        stop();
        device = dir.file("printer");
        writeFile(device, "");
        std::string error;
        ASSERT_TRUE(startServer(&server, binary, {"--device", printerName.empty() ? device : printerName}, environment,
                                dir.path, &error))
            << error;
    }

    std::string printed() const {
        return readFile(device);
    }

    void expectEveryJobPrintedOnce(int httpJobs, int rawStreams);

    void stop() {
        if (server.pid > 0) {
            ServerExit exit = stopServer(&server);
            EXPECT_TRUE(exit.wasRunning) << exit.out << exit.err;
            EXPECT_FALSE(outputHasSanitizerReport(exit.err)) << exit.err;
        }
    }

    void TearDown() override {
        stop();
    }
};

// Jobs at once from one address: under the caps, and at three times its
// cap of each kind, where the connections over it wait for room, unread.
struct ManyJobsCase {
    const char* name;
    int capPerPeer; // 0: the default
    int httpJobs;
    int rawStreams;
};

const ManyJobsCase MANY_JOBS_CASES[] = {
    {"under the caps", 0, 50, 10},
    {"three times the per-address cap", 8, 24, 24},
};

TEST_F(ServerTest, ManyHttpJobsAndRawStreamsAtOnceEachPrintExactlyOnceAndWhole) {
    for (const ManyJobsCase& row : MANY_JOBS_CASES) {
        SCOPED_TRACE(row.name);
        if (row.capPerPeer == 0) {
            start(QUORVEL2_BINARY, {});
        } else {
            start(QUORVEL2_TESTHOOKS_BINARY, {"Q2_TEST_MAX_CONNECTIONS_PER_PEER=" + std::to_string(row.capPerPeer)});
        }
        expectEveryJobPrintedOnce(row.httpJobs, row.rawStreams);
    }
}

void ServerTest::expectEveryJobPrintedOnce(const int HTTP_JOBS, const int RAW_STREAMS) {
    std::vector<std::string> payloads;
    std::vector<std::string> answers(HTTP_JOBS);
    std::vector<int> rawResults(RAW_STREAMS, -1);
    std::vector<std::thread> clients;
    for (int i = 0; i < HTTP_JOBS; i++) {
        payloads.push_back(payload("http", i));
        clients.emplace_back([&, i, body = payloads.back()] { answers[i] = converse(server.port, post(body)); });
    }
    for (int i = 0; i < RAW_STREAMS; i++) {
        payloads.push_back(payload("raw", i));
        clients.emplace_back([&, i, body = payloads.back()] {
            int fd = connectLoopback(server.port);
            if (fd < 0) {
                return;
            }
            // In four pieces with pauses, so that other jobs try to cut in.
            size_t piece = body.size() / 4 + 1;
            bool sent = true;
            for (size_t at = 0; at < body.size() && sent; at += piece) {
                sent = sendAll(fd, body.substr(at, piece));
                usleep(2000);
            }
            shutdown(fd, SHUT_WR);
            bool timedOut = false;
            std::string reply = readUntilClosed(fd, 60000, &timedOut);
            rawResults[i] = sent && !timedOut && reply.empty() ? 1 : 0;
            close(fd);
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    for (int i = 0; i < HTTP_JOBS; i++) {
        EXPECT_EQ(OK_WITH_CORS, answers[i]) << "job " << i;
    }
    for (int i = 0; i < RAW_STREAMS; i++) {
        EXPECT_EQ(1, rawResults[i]) << "raw stream " << i;
    }
    std::string device = printed();
    size_t total = 0;
    for (const std::string& body : payloads) {
        EXPECT_EQ(1u, occurrences(device, body)) << body.substr(0, 12);
        total += body.size();
    }
    EXPECT_EQ(total, device.size()) << "bytes of some job were mixed in or lost";

    EXPECT_EQ(OK_WITH_CORS.substr(0, OK_WITH_CORS.find("Job-Id: ")) + "\r\n",
              converse(server.port, "OPTIONS /escpos HTTP/1.1\r\n\r\n"));
}

// Jobs wait for the printer in turn by address: however many one address
// queues, a job from another is served after at most one of them.
TEST_F(ServerTest, JobFromAnotherAddressWaitsForAtMostOneJobOfAQueuingAddress) {
    start(QUORVEL2_TESTHOOKS_BINARY, {"Q2_TEST_IDLE_MS=" + std::to_string(LONG_IDLE_MS), "Q2_TEST_PACE_WINDOW_MS=500"});
    std::vector<int> queued;
    for (int i = 0; i < 10; i++) {
        int fd = connectLoopback(server.port, "127.0.0.2");
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, "\x1b@<A" + std::to_string(i) + ">"));
        queued.push_back(fd);
    }
    // One silent stream holds the printer, the others wait in line.
    ASSERT_TRUE(waitUntil([&] { return printed().find("<A") != std::string::npos; }));
    usleep(200 * 1000);
    size_t before = printed().size();
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("\x1b@<B>"), 2000 + SLACK_MS, "127.0.0.3"));
    std::string device = printed();
    size_t served = device.find("<B>");
    ASSERT_NE(std::string::npos, served) << device;
    EXPECT_LE(occurrences(device.substr(before, served - before), "<A"), 1u) << device;
    for (int fd : queued) {
        close(fd);
    }
}

const int BETWEEN_RECEIPTS_IDLE_MS = 2 * IDLE_MS;

class IdleTest : public ServerTest {
  protected:
    void SetUp() override {
        start(QUORVEL2_TESTHOOKS_BINARY,
              {"Q2_TEST_IDLE_MS=" + std::to_string(IDLE_MS),
               "Q2_TEST_BETWEEN_RECEIPTS_IDLE_MS=" + std::to_string(BETWEEN_RECEIPTS_IDLE_MS)});
    }
};

TEST_F(IdleTest, SilentHttpPeerIsDroppedAsIfItHadClosed) {
    int fd = connectLoopback(server.port);
    ASSERT_GE(fd, 0);
    const std::string partial = "POST /escpos HTTP/1.1\r\nContent-Length: 50\r\n\r\n\x1b@never finished";
    ASSERT_TRUE(sendAll(fd, partial));
    long long started = monotonicMs();
    bool timedOut = false;
    std::string got = readUntilClosed(fd, IDLE_MS + SLACK_MS, &timedOut);
    long long took = monotonicMs() - started;
    EXPECT_FALSE(timedOut) << "the idle peer was not dropped";
    EXPECT_EQ("", got) << "an incomplete request gets no answer";
    EXPECT_GE(took, IDLE_MS - 100);
    const std::string message = "No request found from 127.0.0.1:" + std::to_string(localPort(fd)) + "?";
    close(fd);
    EXPECT_TRUE(waitUntil([&] { return server.currentOutput().find(message) != std::string::npos; }))
        << server.currentOutput();
    EXPECT_EQ("", printed());
}

// A raw stream silent in the middle of a receipt ends its job with what
// arrived at the idle limit; one silent between receipts holds nothing and
// is closed only at its own, longer limit, with a line in the log.
TEST_F(IdleTest, SilentRawStreamEndsItsJobWithWhatArrived) {
    const struct {
        std::string arrived;
        int closedAfterMs;
        const char* logged;
    } ROWS[] = {{"\x1b@half a receipt", IDLE_MS, nullptr},
                {"\x1b@a receipt\n\x1dV\x01", BETWEEN_RECEIPTS_IDLE_MS, ": nothing came for 1 s between receipts\n"}};
    for (const auto& row : ROWS) {
        writeFile(device, "");
        int fd = connectLoopback(server.port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, row.arrived));
        long long started = monotonicMs();
        bool timedOut = false;
        EXPECT_EQ("", readUntilClosed(fd, row.closedAfterMs + SLACK_MS, &timedOut));
        long long took = monotonicMs() - started;
        const std::string line = "Closing the raw connection from 127.0.0.1:" + std::to_string(localPort(fd));
        close(fd);
        EXPECT_FALSE(timedOut) << "the idle raw stream was not dropped";
        EXPECT_GE(took, row.closedAfterMs - 100);
        EXPECT_EQ(row.arrived, printed());
        std::string out = server.currentOutput();
        EXPECT_EQ(row.logged == nullptr ? 0u : 1u, occurrences(out, row.logged == nullptr ? line : line + row.logged))
            << out;
    }
    // The printer was released.
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("next"), SLACK_MS));
    EXPECT_EQ("\x1b@a receipt\n\x1dV\x01next", printed());
}

TEST_F(IdleTest, IdleRawStreamHoldingThePrinterDelaysOthersAtMostTheIdleLimit) {
    int idle = connectLoopback(server.port);
    ASSERT_GE(idle, 0);
    const std::string raw = "\x1b@raw, then silence";
    ASSERT_TRUE(sendAll(idle, raw));
    // Once its bytes are on the device the raw stream holds the printer.
    ASSERT_TRUE(waitUntil([&] { return printed() == raw; }));
    long long started = monotonicMs();
    std::string got = converse(server.port, post("\x1b@waiting job"), IDLE_MS + SLACK_MS);
    long long took = monotonicMs() - started;
    EXPECT_EQ(OK_WITH_CORS, got);
    EXPECT_LE(took, IDLE_MS + SLACK_MS);
    EXPECT_EQ(raw + "\x1b@waiting job", printed());
    close(idle);
}

// A long idle limit here: a client served only after the silent peers were
// dropped would take that long.
class LongIdleTest : public ServerTest {
  protected:
    void SetUp() override {
        start(QUORVEL2_TESTHOOKS_BINARY, {"Q2_TEST_IDLE_MS=" + std::to_string(LONG_IDLE_MS)});
    }
};

TEST_F(LongIdleTest, IdlePeersDoNotDelayOtherClients) {
    // Two silent peers: one that sent nothing, one with half a request.
    int silent = connectLoopback(server.port);
    int half = connectLoopback(server.port);
    ASSERT_GE(silent, 0);
    ASSERT_GE(half, 0);
    ASSERT_TRUE(sendAll(half, "POST /escpos HTTP/1.1\r\nContent-Length: 9\r\n\r\n"));
    long long started = monotonicMs();
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("\x1b@prompt"), LONG_IDLE_MS + SLACK_MS));
    EXPECT_LT(monotonicMs() - started, LONG_IDLE_MS);
    EXPECT_EQ("\x1b@prompt", printed());
    // Both were still connected while the other client was served.
    bool timedOut = false;
    EXPECT_EQ("", readUntilClosed(silent, 0, &timedOut));
    EXPECT_TRUE(timedOut);
    EXPECT_EQ("", readUntilClosed(half, 0, &timedOut));
    EXPECT_TRUE(timedOut);
    close(silent);
    close(half);
}

// ---- Bounds a misbehaving peer runs into ------------------------------------------

const int PACE_WINDOW_MS = 500;
const int PACE_STREAM_MS = 8 * PACE_WINDOW_MS; // what a stream lasts unless cut
const int RAW_YIELD_MS = 2000;                 // the stream's time once a job waits

// A raw stream sending `burstBytes` at once, then `chunkBytes` every
// `intervalMs` for PACE_STREAM_MS, with or without a job that starts waiting
// one window in (or a page that polls the status from then on, which is no
// job that waits); a cut stream loses the printer between heldAtLeastMs and
// cutWithinMs after that.
struct PaceCase {
    const char* name;
    size_t chunkBytes;
    int intervalMs;
    bool jobWaits;
    bool streamIsCut;
    int heldAtLeastMs;
    int cutWithinMs;
    size_t burstBytes;
    bool statusPolls;
};

const PaceCase PACE_CASES[] = {
    {"trickle with a job waiting is cut", 16, 100, true, true, 0, 2 * PACE_WINDOW_MS, 0, false},
    {"receipt pace with a job waiting yields", 2048, 100, true, true, RAW_YIELD_MS - 100, RAW_YIELD_MS + PACE_WINDOW_MS,
     0, false},
    {"trickle with nobody waiting goes on", 16, 100, false, false, 0, 0, 0, false},
    {"burst, then a trickle with a job waiting is cut", 16, 100, true, true, 0, 2 * PACE_WINDOW_MS, 8192, false},
    {"trickle while a page polls the status goes on", 16, 100, false, false, 0, 0, 0, true},
};

TEST_F(ServerTest, RawStreamMustKeepPaceOnlyWhileAnotherJobWaits) {
    start(QUORVEL2_TESTHOOKS_BINARY, {"Q2_TEST_IDLE_MS=" + std::to_string(LONG_IDLE_MS),
                                      "Q2_TEST_PACE_WINDOW_MS=" + std::to_string(PACE_WINDOW_MS),
                                      "Q2_TEST_RAW_YIELD_MS=" + std::to_string(RAW_YIELD_MS)});
    for (const PaceCase& row : PACE_CASES) {
        SCOPED_TRACE(row.name);
        writeFile(device, "");
        int fd = connectLoopback(server.port);
        ASSERT_GE(fd, 0);
        std::string sent = "\x1b@";
        ASSERT_TRUE(sendAll(fd, sent));
        if (row.burstBytes > 0) {
            // Once the stream has begun, so that the burst counts in its first window.
            ASSERT_TRUE(waitUntil([&] { return printed() == sent; }));
            sent += std::string(row.burstBytes, 'b');
            ASSERT_TRUE(sendAll(fd, sent.substr(2)));
        }
        bool cut = false;
        long long started = monotonicMs();
        std::thread waiter;
        std::string waiterAnswer;
        long long waiterTook = -1;
        const std::string job = "\x1b@<waiting job>\n";
        std::atomic<bool> streamEnded{false};
        std::thread poller;
        while (!cut && monotonicMs() - started < PACE_STREAM_MS) {
            usleep((useconds_t)row.intervalMs * 1000);
            std::string chunk(row.chunkBytes, 'p');
            if (peerHasClosed(fd) || !sendAll(fd, chunk)) {
                cut = true;
                break;
            }
            sent += chunk;
            if (row.statusPolls && !poller.joinable() && monotonicMs() - started >= PACE_WINDOW_MS) {
                poller = std::thread([&] {
                    while (!streamEnded.load()) {
                        converse(server.port, "GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n");
                    }
                });
            }
            if (row.jobWaits && !waiter.joinable() && monotonicMs() - started >= PACE_WINDOW_MS) {
                waiter = std::thread([&] {
                    long long asked = monotonicMs();
                    waiterAnswer = converse(server.port, post(job), PACE_STREAM_MS + SLACK_MS);
                    waiterTook = monotonicMs() - asked;
                });
            }
        }
        long long streamTook = monotonicMs() - started;
        streamEnded.store(true);
        if (poller.joinable()) {
            poller.join();
        }
        close(fd);
        if (waiter.joinable()) {
            waiter.join();
            EXPECT_EQ(OK_WITH_CORS, waiterAnswer);
            std::string device = printed();
            ASSERT_GE(device.size(), job.size());
            EXPECT_EQ(job, device.substr(device.size() - job.size())) << "the waiting job was printed last, whole";
            EXPECT_EQ(0, sent.compare(0, device.size() - job.size(), device, 0, device.size() - job.size()))
                << "the stream's bytes reached the printer in order, before the job";
        } else {
            EXPECT_TRUE(waitUntil([&] { return printed() == sent; })) << printed().size() << " of " << sent.size();
        }
        EXPECT_EQ(row.streamIsCut, cut) << "after " << streamTook << " ms";
        if (row.streamIsCut) {
            EXPECT_GE(waiterTook, row.heldAtLeastMs);
            EXPECT_LT(waiterTook, row.cutWithinMs + SLACK_MS / 4);
            EXPECT_LT(streamTook, PACE_STREAM_MS);
        }
    }
}

// ---- A raw connection kept open between receipts ------------------------------------

const std::string STATUS_REQUEST = "\x10\x04\x01";
const std::string JOB_CHECK = "\x10\x04\x02\x10\x04\x04"; // before every web job on a printer that answers
// A web job's answer, on top of the receipt it may wait for.
const int PROMPT_MS = 1000;
// A shorter receipt pause than the real one keeps these rows short; every
// pause of the till is a good deal longer than it.
const std::string SHORT_RECEIPT_PAUSE = "Q2_TEST_RECEIPT_PAUSE_MS=50";

// A till that keeps one raw connection open and sends each receipt when it
// is ready (asking the printer's state first), while a page posts a job
// every PAGE_INTERVAL_MS from another address: nothing is interleaved, the
// page is answered promptly and the till's connection is never closed. The
// second receipt is a raster image full of cuts' bytes, sent in pieces with
// pauses longer than the receipt pause.
TEST_F(ServerTest, RawConnectionKeptOpenGivesThePrinterBackBetweenReceipts) {
    const int RECEIPT_INTERVAL_MS = 300, PAGE_INTERVAL_MS = 60, PIECE_PAUSE_MS = 100;
    q2test::SimulatedPrinter printer;
    ASSERT_FALSE(printer.path().empty());
    start(QUORVEL2_TESTHOOKS_BINARY, {SHORT_RECEIPT_PAUSE}, printer.path());
    std::string raster = std::string("\x1dv0\x00\x40\x00\x40\x00", 8); // 64 by 64 bytes of GS V 66 0
    while (raster.size() < 8 + 64 * 64) {
        raster += std::string("\x1d\x56\x42\x00", 4);
    }
    const std::vector<std::string> receipts = {"\x1b@<r0>" + std::string(2000, 'a') + "\n\x1dVA\x03",
                                               "\x1b@<r1>" + raster + "\n\x1dVA\x03",
                                               "\x1b@<r2>" + std::string(3000, 'c') + "\n\x1dVA\x03"};
    int till = connectLoopback(server.port);
    ASSERT_GE(till, 0);
    std::atomic<bool> tillDone{false};
    std::vector<std::string> pageJobs;
    std::vector<long long> pageTook;
    std::thread page([&] {
        for (int i = 0; !tillDone.load(); i++) {
            pageJobs.push_back("\x1b@<p" + std::to_string(i) + ">" + std::string(500, 'p') + "\n\x1dV\x01");
            long long started = monotonicMs();
            EXPECT_EQ(OK_WITH_CORS, converse(server.port, post(pageJobs.back()), PROMPT_MS + SLACK_MS, "127.0.0.2"));
            pageTook.push_back(monotonicMs() - started);
            usleep(PAGE_INTERVAL_MS * 1000);
        }
    });
    long long longestReceiptMs = 0;
    for (const std::string& receipt : receipts) {
        usleep(RECEIPT_INTERVAL_MS * 1000);
        long long started = monotonicMs();
        ASSERT_TRUE(sendAll(till, STATUS_REQUEST));
        EXPECT_EQ("\x12", readAtLeast(till, 1, PROMPT_MS + SLACK_MS)) << "its replies still reach it";
        // Pieces of the image end after whole groups of its bytes, where a cut would end.
        for (size_t at = 0, piece = 14 + 1024; at < receipt.size(); at += piece, piece = 1024) {
            ASSERT_TRUE(sendAll(till, receipt.substr(at, piece)));
            usleep(PIECE_PAUSE_MS * 1000);
        }
        longestReceiptMs = std::max(longestReceiptMs, monotonicMs() - started);
    }
    usleep(RECEIPT_INTERVAL_MS * 1000);
    tillDone = true;
    page.join();
    EXPECT_FALSE(peerHasClosed(till)) << "the till's connection was closed";
    close(till);
    std::string received = printer.received();
    size_t total = 0;
    for (const std::string& receipt : receipts) {
        // The status request alone stands at a boundary, so a page job may come between it and the receipt.
        EXPECT_EQ(1u, occurrences(received, receipt)) << receipt.substr(0, 6);
        total += STATUS_REQUEST.size() + receipt.size();
    }
    for (size_t i = 0; i < pageJobs.size(); i++) {
        EXPECT_EQ(1u, occurrences(received, JOB_CHECK + pageJobs[i])) << pageJobs[i].substr(0, 6);
        EXPECT_LE(pageTook[i], PROMPT_MS + longestReceiptMs) << "page job " << i;
        total += JOB_CHECK.size() + pageJobs[i].size();
    }
    EXPECT_EQ(total, received.size()) << "bytes of some job were mixed in or lost";
    EXPECT_GE(pageJobs.size(), 8u);
}

// Tills from many addresses that keep their connections open and have only
// asked the printer's state hold nothing: a web job is answered at once.
TEST_F(ServerTest, WebJobBehindOpenStatusOnlyRawConnectionsIsAnsweredPromptly) {
    q2test::SimulatedPrinter printer;
    ASSERT_FALSE(printer.path().empty());
    start(QUORVEL2_TESTHOOKS_BINARY, {SHORT_RECEIPT_PAUSE}, printer.path());
    std::vector<int> tills;
    for (int i = 0; i < 13; i++) {
        tills.push_back(connectLoopback(server.port, ("127.0.0." + std::to_string(i + 2)).c_str()));
        ASSERT_GE(tills.back(), 0);
        ASSERT_TRUE(sendAll(tills.back(), STATUS_REQUEST));
    }
    for (int fd : tills) {
        EXPECT_EQ("\x12", readAtLeast(fd, 1));
    }
    long long started = monotonicMs();
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("\x1b@<web>\n"), PROMPT_MS + SLACK_MS));
    EXPECT_LE(monotonicMs() - started, PROMPT_MS);
    for (int fd : tills) {
        EXPECT_FALSE(peerHasClosed(fd));
        close(fd);
    }
}

// UTC milliseconds of a job log time ("2026-12-09T21:23:23.456Z").
long long msOfLogTime(const std::string& time) {
    struct tm parts = {};
    unsigned milli = 0;
    sscanf(time.c_str(), "%d-%d-%dT%d:%d:%d.%3u", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &parts.tm_hour,
           &parts.tm_min, &parts.tm_sec, &milli);
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return timegm(&parts) * 1000LL + milli;
}

// For each job of `peer` in the job log under stateDir, in order: how long
// jobs of other peers held the printer while it waited. The printer takes
// one job at a time, so a job that printed held it from its arrival, or the
// end of the job before it if that came later, until its own end.
std::vector<long long> heldByOthersDuringJobsOf(const std::string& stateDir, const std::string& peer) {
    struct Held {
        long long received, from, until;
        bool mine;
    };
    std::vector<Held> jobs;
    for (const char* name : {"/jobs.log.1", "/jobs.log"}) {
        std::string text = readFile(stateDir + name);
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = text.find('\n', at);
            end = end == std::string::npos ? text.size() : end;
            nlohmann::json line = nlohmann::json::parse(text.substr(at, end - at), nullptr, false);
            if (line.is_object() && line["event"] == "end" &&
                (line["bytesPrinted"].get<long long>() > 0 || line["result"] == "cut")) {
                long long received = msOfLogTime(line["received"]);
                jobs.push_back({received, received, msOfLogTime(line["done"]), line["peer"] == peer});
            }
        }
    }
    std::stable_sort(jobs.begin(), jobs.end(), [](const Held& a, const Held& b) { return a.until < b.until; });
    for (size_t i = 1; i < jobs.size(); i++) {
        jobs[i].from = std::max(jobs[i].from, jobs[i - 1].until);
    }
    std::vector<long long> held;
    for (const Held& job : jobs) {
        if (job.mine) {
            long long sum = 0;
            for (const Held& other : jobs) {
                if (!other.mine) {
                    sum += std::max(0LL, std::min(other.until, job.until) - std::max(other.from, job.received));
                }
            }
            held.push_back(sum);
        }
    }
    return held;
}

// Peers that send mutated requests and raw garbage from addresses of their
// own, then close at once, read the answer, or stay silent for a while,
// with the real limits: a till posting from 127.0.0.1 meanwhile is answered
// within PROMPT_MS plus the time of what prints ahead of it, and each of its
// receipts prints once and whole. Q2_FUZZ_SECONDS sets the length.
TEST_F(ServerTest, HealthyTillIsAnsweredPromptlyWhileOthersSendGarbage) {
    const char* seconds = getenv("Q2_FUZZ_SECONDS");
    const long long runMs = 1000LL * (NULL != seconds ? atoi(seconds) : 10);
    const int FUZZERS = 6, TILL_INTERVAL_MS = 500, SILENT_MAX_MS = 3000;
    q2test::SimulatedPrinter printer;
    ASSERT_FALSE(printer.path().empty());
    start(QUORVEL2_TESTHOOKS_BINARY, {}, printer.path());
    const std::vector<std::string> seeds = {post("\x1b@fuzz text\n\x1dV\x01"),
                                            post("\x1b@fuzz without a cut\n"),
                                            "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                                            "OPTIONS /escpos HTTP/1.1\r\nOrigin: http://a\r\n\r\n",
                                            "\x1b@raw fuzz text\n\x1dVA\x03",
                                            "\x1b@raw fuzz, no cut\n",
                                            STATUS_REQUEST,
                                            "\x1d(L\x06\x00\x30\x45\x20\x20\x01\x01"};
    std::atomic<bool> done{false};
    std::vector<std::thread> fuzzers;
    for (int f = 0; f < FUZZERS; f++) {
        fuzzers.emplace_back([&, f] {
            std::mt19937 random((unsigned)(f * 7919 + monotonicMs()));
            const std::string from = "127.0.0." + std::to_string(f + 3);
            while (!done.load()) {
                std::string bytes = seeds[random() % seeds.size()];
                for (int edits = 1 + (int)(random() % 6); edits > 0 && !bytes.empty(); edits--) {
                    // Overwrite a byte, insert one, erase one, or repeat a stretch.
                    size_t at = random() % bytes.size();
                    int how = (int)(random() % 4);
                    std::string with =
                        how == 3 ? bytes.substr(at, random() % 64) : std::string(how != 2, (char)random());
                    bytes.replace(at, how == 0 || how == 2, with);
                }
                int fd = connectLoopback(server.port, from.c_str());
                if (fd < 0) {
                    continue;
                }
                sendAll(fd, bytes);
                int after = (int)(random() % 3); // close at once, read the answer, or stay silent a while
                if (after == 1) {
                    readUntilClosed(fd, SILENT_MAX_MS);
                } else if (after == 2) {
                    usleep((useconds_t)(random() % SILENT_MAX_MS) * 1000);
                }
                close(fd);
            }
        });
    }
    std::vector<std::string> tillJobs;
    std::vector<long long> tillTook;
    for (long long startedAt = monotonicMs(); monotonicMs() - startedAt < runMs;) {
        tillJobs.push_back("\x1b@<till" + std::to_string(tillJobs.size()) + ">" + std::string(300, 't') +
                           "\n\x1dV\x01");
        long long started = monotonicMs();
        EXPECT_EQ(OK_WITH_CORS, converse(server.port, post(tillJobs.back()), 30000, "127.0.0.1"));
        tillTook.push_back(monotonicMs() - started);
        usleep(TILL_INTERVAL_MS * 1000);
    }
    done = true;
    for (std::thread& fuzzer : fuzzers) {
        fuzzer.join();
    }
    stop(); // every job's end is in the log
    std::string received = printer.received();
    std::vector<long long> ahead = heldByOthersDuringJobsOf(dir.file("state"), "127.0.0.1");
    ASSERT_EQ(tillJobs.size(), ahead.size());
    for (size_t i = 0; i < tillJobs.size(); i++) {
        EXPECT_EQ(1u, occurrences(received, tillJobs[i])) << "till job " << i;
        EXPECT_LE(tillTook[i] - ahead[i], PROMPT_MS) << "till job " << i << " took " << tillTook[i] << " ms";
    }
}

const int REQUEST_DEADLINE_MS = 1200;

// An HTTP request that arrives a few bytes at a time, finishing after about
// `spreadMs` (or never, for a declared length it does not send).
struct SlowRequestCase {
    const char* name;
    int spreadMs;
    bool answered;
};

const SlowRequestCase SLOW_REQUEST_CASES[] = {
    {"slow but within the deadline", REQUEST_DEADLINE_MS / 3, true},
    {"trickled past the deadline", 3 * REQUEST_DEADLINE_MS, false},
};

TEST_F(ServerTest, HttpRequestMustArriveWholeWithinItsDeadline) {
    start(QUORVEL2_TESTHOOKS_BINARY, {"Q2_TEST_IDLE_MS=" + std::to_string(LONG_IDLE_MS),
                                      "Q2_TEST_REQUEST_DEADLINE_MS=" + std::to_string(REQUEST_DEADLINE_MS)});
    for (const SlowRequestCase& row : SLOW_REQUEST_CASES) {
        SCOPED_TRACE(row.name);
        writeFile(device, "");
        const std::string body = "\x1b@" + std::string(40, 's') + "\n";
        const std::string whole = post(body);
        int fd = connectLoopback(server.port);
        ASSERT_GE(fd, 0);
        const int PIECES = 20;
        size_t piece = whole.size() / PIECES + 1;
        long long started = monotonicMs();
        long long droppedAt = -1;
        for (size_t at = 0; at < whole.size(); at += piece) {
            if (peerHasClosed(fd) || !sendAll(fd, whole.substr(at, piece))) {
                droppedAt = monotonicMs() - started;
                break;
            }
            usleep((useconds_t)(row.spreadMs * 1000 / PIECES));
        }
        bool timedOut = false;
        std::string got = readUntilClosed(fd, REQUEST_DEADLINE_MS + SLACK_MS, &timedOut);
        if (droppedAt < 0) {
            droppedAt = monotonicMs() - started;
        }
        const std::string message = "No request found from 127.0.0.1:" + std::to_string(localPort(fd)) + "?";
        close(fd);
        EXPECT_FALSE(timedOut);
        if (row.answered) {
            EXPECT_EQ(OK_WITH_CORS, got);
            EXPECT_EQ(body, printed());
        } else {
            EXPECT_EQ("", got) << "a request cut at its deadline gets no answer";
            EXPECT_GE(droppedAt, REQUEST_DEADLINE_MS - 100);
            EXPECT_LT(droppedAt, REQUEST_DEADLINE_MS + SLACK_MS / 2);
            EXPECT_TRUE(waitUntil([&] { return server.currentOutput().find(message) != std::string::npos; }));
            EXPECT_EQ("", printed());
        }
    }
}

const int WAIT_LIMIT_MS = 1500;

// A silent raw stream holds the printer (the idle limit is long, and the
// pace window longer than the wait), so a POST has to wait.
class BusyPrinterTest : public ServerTest {
  protected:
    int holder = -1;
    const std::string held = "\x1b@holding the printer";

    void SetUp() override {
        // ThreadSanitizer would sleep a second before the process exits; the stop's time is the server's own.
        const char* sanitizer = getenv("TSAN_OPTIONS");
        start(QUORVEL2_TESTHOOKS_BINARY,
              {"Q2_TEST_IDLE_MS=" + std::to_string(LONG_IDLE_MS), "Q2_TEST_WAIT_MS=" + std::to_string(WAIT_LIMIT_MS),
               "Q2_TEST_PACE_WINDOW_MS=" + std::to_string(LONG_IDLE_MS),
               "TSAN_OPTIONS=" + std::string(NULL != sanitizer ? sanitizer : "") + ":atexit_sleep_ms=0"});
        holder = connectLoopback(server.port);
        ASSERT_GE(holder, 0);
        ASSERT_TRUE(sendAll(holder, held));
        ASSERT_TRUE(waitUntil([&] { return printed() == held; }));
    }

    void TearDown() override {
        if (holder >= 0) {
            close(holder);
        }
        ServerTest::TearDown();
    }
};

TEST_F(BusyPrinterTest, JobWaitingPastItsLimitIsToldThePrinterIsBusy) {
    long long started = monotonicMs();
    EXPECT_EQ(BUSY_WITH_CORS, converse(server.port, post("\x1b@too late"), WAIT_LIMIT_MS + SLACK_MS));
    long long took = monotonicMs() - started;
    EXPECT_GE(took, WAIT_LIMIT_MS - 100);
    EXPECT_LT(took, WAIT_LIMIT_MS + SLACK_MS);
    close(holder);
    holder = -1;
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("next")));
    EXPECT_EQ(held + "next", printed()) << "the refused job never reached the printer";
}

TEST_F(BusyPrinterTest, JobWhoseClientResetWhileWaitingIsNotPrinted) {
    int gone = connectLoopback(server.port);
    ASSERT_GE(gone, 0);
    ASSERT_TRUE(sendAll(gone, post("\x1b@nobody waits for this")));
    usleep(WAIT_LIMIT_MS * 1000 / 5); // the server has it and waits for the printer
    closeWithReset(gone);
    close(holder); // the printer passes on well within the wait limit
    holder = -1;
    // Jobs take the printer in order: once this one is answered, the reset
    // job's turn has come and gone.
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("next")));
    EXPECT_EQ(held + "next", printed());
}

TEST_F(BusyPrinterTest, StopFinishesTheJobsInProgressAndTellsTheWaitingOnesTheServerIsStopping) {
    std::vector<int> idle;
    for (int i = 0; i < 100; i++) {
        idle.push_back(connectLoopback(server.port));
        ASSERT_GE(idle.back(), 0);
    }
    int waiting = connectLoopback(server.port);
    ASSERT_TRUE(sendAll(waiting, post("\x1b@waiting behind the printer\n")));
    // The job half sent: its 100 Continue tells that the server reads its body.
    const std::string halfJob = "\x1b@half sent at the stop\n";
    const std::string halfRequest =
        "POST /escpos HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " + std::to_string(halfJob.size()) +
        "\r\n\r\n" + halfJob;
    int half = connectLoopback(server.port);
    ASSERT_TRUE(sendAll(half, halfRequest.substr(0, halfRequest.size() - 10)));
    EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", readAtLeast(half, 25));
    usleep(WAIT_LIMIT_MS * 1000 / 5); // the server has the other one and waits for the printer

    ASSERT_EQ(0, kill(server.pid, SIGTERM));
    const std::string text = "The server is stopping; nothing was printed.\n";
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
                  std::to_string(text.size()) + "\r\nServer: Ostrelin/1.1.3\r\nConnection: close\r\n" + JOB_CORS +
                  "\r\n" + text,
              readUntilClosed(waiting));
    close(waiting);
    for (int fd : idle) {
        bool timedOut = false;
        readUntilClosed(fd, 1000, &timedOut);
        EXPECT_FALSE(timedOut) << "an idle connection was not closed at once";
        close(fd);
    }
    // The raw stream holding the printer and the half-sent job both finish.
    ASSERT_TRUE(sendAll(holder, "\n"));
    close(holder);
    holder = -1;
    ASSERT_TRUE(sendAll(half, halfRequest.substr(halfRequest.size() - 10)));
    EXPECT_EQ(OK_WITH_CORS, readUntilClosed(half));
    close(half);
    long long answeredAt = monotonicMs();
    int status = -1;
    EXPECT_TRUE(waitUntil([&] { return waitpid(server.pid, &status, WNOHANG) == server.pid; }, 1000));
    EXPECT_LT(monotonicMs() - answeredAt, 1000);
    server.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    EXPECT_EQ(held + "\n" + halfJob, printed());
}

TEST_F(BusyPrinterTest, SecondStopRequestEndsTheProcessAtOnce) {
    ASSERT_EQ(0, kill(server.pid, SIGTERM)); // the raw stream holding the printer could go on for the grace period
    ASSERT_TRUE(waitUntil([&] { return std::string::npos != server.currentOutput().find("SIGTERM: stopping"); }));
    ASSERT_EQ(0, kill(server.pid, SIGINT));
    int status = -1;
    EXPECT_TRUE(waitUntil([&] { return waitpid(server.pid, &status, WNOHANG) == server.pid; }, 1000));
    server.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && 1 == WEXITSTATUS(status)) << status;
}

const int CAP_PER_PEER = 3;
const int CAP_TOTAL = 8;
const int PARKED_MAX = 2;

TEST_F(ServerTest, ConnectionsOverTheCapsWaitForRoomAndOnlyPastTheirBoundAreClosed) {
    start(QUORVEL2_TESTHOOKS_BINARY,
          {"Q2_TEST_IDLE_MS=" + std::to_string(LONG_IDLE_MS), "Q2_TEST_MAX_CONNECTIONS=" + std::to_string(CAP_TOTAL),
           "Q2_TEST_MAX_CONNECTIONS_PER_PEER=" + std::to_string(CAP_PER_PEER),
           "Q2_TEST_MAX_PARKED=" + std::to_string(PARKED_MAX)});
    std::vector<int> kept;
    for (int i = 0; i < CAP_PER_PEER; i++) {
        kept.push_back(connectLoopback(server.port, "127.0.0.2"));
        ASSERT_GE(kept.back(), 0);
    }
    // Over its address's cap a job waits, unread, until the address has room.
    std::vector<int> parked;
    for (int i = 0; i < PARKED_MAX; i++) {
        parked.push_back(connectLoopback(server.port, "127.0.0.2"));
        ASSERT_GE(parked.back(), 0);
        ASSERT_TRUE(sendAll(parked.back(), post("\x1b@<waited" + std::to_string(i) + ">")));
    }
    int over = connectLoopback(server.port, "127.0.0.2");
    ASSERT_GE(over, 0);
    bool timedOut = false;
    EXPECT_EQ("", readUntilClosed(over, SLACK_MS, &timedOut));
    EXPECT_FALSE(timedOut) << "past the bound of parked connections";
    close(over);
    long long started = monotonicMs();
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("\x1b@<other>"), SLACK_MS, "127.0.0.3"));
    EXPECT_LT(monotonicMs() - started, 1000);
    EXPECT_EQ("\x1b@<other>", printed()) << "nothing of a parked connection is read";
    for (int i = 0; i < PARKED_MAX; i++) {
        EXPECT_FALSE(peerHasClosed(parked[i]));
        close(kept[i]);
        EXPECT_EQ(OK_WITH_CORS, readUntilClosed(parked[i], SLACK_MS)) << "started once its address has room";
        close(parked[i]);
    }
    EXPECT_EQ("\x1b@<other>\x1b@<waited0>\x1b@<waited1>", printed());
    close(kept.back());
    std::string out = server.currentOutput();
    EXPECT_NE(std::string::npos, out.find("Connections refused over the limits")) << out;
}

// Every slot taken by connections from several addresses: a fresh client
// takes the slot of the one that has waited longest without a request,
// at once; raw streams keep theirs, and it waits for room.
struct FullHouseCase {
    const char* name;
    std::string sent;
    bool displaced;
    int paceWindowMs; // long for raw streams: nothing cuts them while the row lasts
};

const FullHouseCase FULL_HOUSE_CASES[] = {
    {"idle connections", "", true, 500},
    {"heads without their end", "POST /escpos HTTP/1.1\r\n", true, 500},
    {"bodies slower than the raw stream pace", "POST /escpos HTTP/1.1\r\nContent-Length: 900\r\n\r\n\x1b@", true, 500},
    {"raw streams", "\x1b@", false, LONG_IDLE_MS},
};

TEST_F(ServerTest, FullHouseStillAdmitsAFreshClient) {
    const char* const PEERS[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    const std::string job = "\x1b@<fresh>";
    for (const FullHouseCase& row : FULL_HOUSE_CASES) {
        SCOPED_TRACE(row.name);
        start(QUORVEL2_TESTHOOKS_BINARY, {"Q2_TEST_IDLE_MS=" + std::to_string(LONG_IDLE_MS),
                                          "Q2_TEST_MAX_CONNECTIONS=" + std::to_string(CAP_TOTAL),
                                          "Q2_TEST_MAX_CONNECTIONS_PER_PEER=" + std::to_string(CAP_PER_PEER),
                                          "Q2_TEST_PACE_WINDOW_MS=" + std::to_string(row.paceWindowMs)});
        std::vector<int> kept;
        for (int i = 0; i < CAP_TOTAL; i++) {
            kept.push_back(connectLoopback(server.port, PEERS[i % 4]));
            ASSERT_GE(kept.back(), 0);
            ASSERT_TRUE(sendAll(kept.back(), row.sent));
            usleep(20 * 1000);
        }
        usleep(1200 * 1000); // older than the displacement age and the pace window
        int fresh = connectLoopback(server.port, "127.0.0.9");
        ASSERT_GE(fresh, 0);
        ASSERT_TRUE(sendAll(fresh, post(job)));
        bool timedOut = false;
        std::string got = readUntilClosed(fresh, 1000, &timedOut);
        EXPECT_EQ(row.displaced, !timedOut) << got;
        for (size_t i = 0; i < kept.size(); i++) {
            EXPECT_EQ(row.displaced && i == 0, peerHasClosed(kept[i])) << "connection " << i;
        }
        for (int fd : kept) {
            close(fd);
        }
        if (timedOut) {
            got = readUntilClosed(fresh, SLACK_MS);
        }
        close(fresh);
        EXPECT_EQ(OK_WITH_CORS, got);
        EXPECT_TRUE(waitUntil([&] { return occurrences(printed(), job) == 1; })) << printed();
    }
}

// What the log says of requests: each line whole and of one peer, however
// many connections write at once, and never one line per connection of a
// flood of empty ones.
TEST_F(ServerTest, LogLinesStayWholeAndAFloodOfEmptyConnectionsIsCounted) {
    start(QUORVEL2_BINARY, {});
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; c++) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 200; i++) {
                converse(server.port,
                         std::string(70 + c, 'M') + " /" + std::string(1100 + i, 'p') + " HTTP/1.1\r\n\r\n");
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    for (int i = 0; i < 1000; i++) {
        close(connectLoopback(server.port));
    }
    usleep(1100 * 1000);
    close(connectLoopback(server.port)); // a second later: the count of what was left out
    ASSERT_TRUE(waitUntil([&] { return server.currentOutput().find("lines left out") != std::string::npos; }));
    std::string out = server.currentOutput();
    size_t warnings = 0, noRequest = 0;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
        end = out.find('\n', at);
        if (end == std::string::npos) {
            end = out.size();
        }
        std::string line = out.substr(at, end - at);
        if (line.find("Warning") != std::string::npos) {
            warnings++;
            EXPECT_EQ(0u, line.find("Warning: Request from 127.0.0.1:")) << line;
            EXPECT_EQ(1u, occurrences(line, "127.0.0.1:")) << line;
        }
        noRequest += line.find("No request found") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(8u * 200 * 2, warnings) << "a method and a path line per request";
    EXPECT_LE(noRequest, 12u) << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
    // Once the flood is over, a connection gets its own line again.
    size_t ownLines = occurrences(out, "No request found from");
    usleep(1100 * 1000);
    close(connectLoopback(server.port));
    EXPECT_TRUE(waitUntil([&] { return occurrences(server.currentOutput(), "No request found from") > ownLines; }))
        << server.currentOutput().substr(out.size());
}

} // namespace
