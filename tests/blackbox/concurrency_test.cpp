// The built server over loopback with many clients at once and with peers
// that go quiet: every job reaches the printer exactly once and whole, and an
// idle peer is dropped after the idle limit (shortened through the test-hooks
// program) without holding up anybody else for longer than that.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "serverprocess.h"

using namespace blackbox;

namespace {

const std::string CORS = "Access-Control-Allow-Origin: *\r\n"
                         "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
                         "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n";
const std::string OK_WITH_CORS = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nServer: "
                                 "Ostrelin/1.1.3\r\nConnection: close\r\n" +
                                 CORS + "\r\n";

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

    void start(const std::string& binary, const std::vector<std::string>& environment) {
        ASSERT_FALSE(dir.path.empty());
        device = dir.file("printer");
        writeFile(device, "");
        std::string error;
        ASSERT_TRUE(startServer(&server, binary, {"--device", device}, environment, dir.path, &error)) << error;
    }

    std::string printed() const {
        return readFile(device);
    }

    void TearDown() override {
        if (server.pid > 0) {
            ServerExit exit = stopServer(&server);
            EXPECT_TRUE(exit.wasRunning) << exit.out << exit.err;
            EXPECT_FALSE(outputHasSanitizerReport(exit.err)) << exit.err;
        }
    }
};

TEST_F(ServerTest, ManyHttpJobsAndRawStreamsAtOnceEachPrintExactlyOnceAndWhole) {
    start(QUORVEL2_BINARY, {});
    const int HTTP_JOBS = 50;
    const int RAW_STREAMS = 10;
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

    EXPECT_EQ(OK_WITH_CORS, converse(server.port, "OPTIONS /escpos HTTP/1.1\r\n\r\n"));
}

class IdleTest : public ServerTest {
  protected:
    void SetUp() override {
        start(QUORVEL2_TESTHOOKS_BINARY, {"Q2_TEST_IDLE_MS=" + std::to_string(IDLE_MS)});
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

TEST_F(IdleTest, SilentRawStreamEndsItsJobWithWhatArrived) {
    int fd = connectLoopback(server.port);
    ASSERT_GE(fd, 0);
    const std::string arrived = "\x1b@half a receipt";
    ASSERT_TRUE(sendAll(fd, arrived));
    long long started = monotonicMs();
    bool timedOut = false;
    EXPECT_EQ("", readUntilClosed(fd, IDLE_MS + SLACK_MS, &timedOut));
    long long took = monotonicMs() - started;
    close(fd);
    EXPECT_FALSE(timedOut) << "the idle raw stream was not dropped";
    EXPECT_GE(took, IDLE_MS - 100);
    EXPECT_EQ(arrived, printed());
    // The printer was released.
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, post("next"), SLACK_MS));
    EXPECT_EQ(arrived + "next", printed());
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

} // namespace
