// server_test.cpp: file responses through a real socket. The server runs in
// this process on 127.0.0.1 with a port the system chooses; the embedding
// callback serves /files/... from a temporary document root.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "embedding.h"
#include "resources.h"
#include "testsupport.h"
#include "internal.h"

namespace {

const int CLIENT_TIMEOUT_MS = 10000;

// One server on its own thread, from start until stop.
struct TestServer {
    Server server{};
    std::thread acceptThread;
    int acceptResult = -1;
    uint16_t port = 0;

    // True once the listener is up and its port is known.
    bool start() {
        serverInit(&server);
        acceptThread = std::thread([this]() {
            struct sockaddr_in address;
            memset(&address, 0, sizeof(address));
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = 0;
            acceptResult = acceptConnectionsUntilStopped(&server, (const struct sockaddr*)&address, sizeof(address));
        });
        for (int attempt = 0; attempt < 500 && port == 0; attempt++) {
            serverMutexLock(&server);
            if (server.listenerOpen) {
                struct sockaddr_in bound;
                socklen_t boundLength = sizeof(bound);
                if (0 == getsockname(server.listenerfd, (struct sockaddr*)&bound, &boundLength)) {
                    port = ntohs(bound.sin_port);
                }
            }
            serverMutexUnlock(&server);
            if (port == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return port != 0;
    }

    void stop() {
        if (acceptThread.joinable()) {
            serverStop(&server);
            acceptThread.join();
            serverDeInit(&server);
        }
    }
};

struct HTTPAnswer {
    bool complete = false; // the peer closed the connection
    std::string head;      // up to and including the blank line
    std::string body;
    int code = 0;
    std::string contentType;
    long long contentLength = -1;
};

std::string headerValue(const std::string& head, const std::string& name) {
    std::string key = "\r\n" + name + ": ";
    size_t at = head.find(key);
    if (at == std::string::npos) {
        return "";
    }
    at += key.size();
    return head.substr(at, head.find("\r\n", at) - at);
}

void splitAnswer(const std::string& received, HTTPAnswer* answer) {
    size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        answer->head = received;
        return;
    }
    answer->head = received.substr(0, headEnd + 4);
    answer->body = received.substr(headEnd + 4);
    sscanf(answer->head.c_str(), "HTTP/1.1 %d", &answer->code);
    answer->contentType = headerValue(answer->head, "Content-Type");
    std::string length = headerValue(answer->head, "Content-Length");
    if (!length.empty()) {
        answer->contentLength = std::stoll(length);
    }
}

// Sends a GET for target and reads until the server closes (bounded in time).
HTTPAnswer get(uint16_t port, const std::string& target) {
    HTTPAnswer answer;
    int fd = q2test::connectLoopback(port);
    if (fd < 0) {
        ADD_FAILURE() << "could not connect to port " << port;
        return answer;
    }
    std::string received;
    if (q2test::sendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
        bool timedOut = true;
        received = q2test::readUntilClosed(fd, CLIENT_TIMEOUT_MS, &timedOut);
        answer.complete = !timedOut;
    }
    close(fd);
    splitAnswer(received, &answer);
    return answer;
}

// Reads only the head of the answer to target, then drops the connection.
HTTPAnswer getHeadOnly(uint16_t port, const std::string& target) {
    HTTPAnswer answer;
    int fd = q2test::connectLoopback(port);
    if (fd < 0) {
        ADD_FAILURE() << "could not connect to port " << port;
        return answer;
    }
    std::string received;
    if (q2test::sendAll(fd, "GET " + target + " HTTP/1.1\r\n\r\n")) {
        char buffer[4096];
        for (int reads = 0; reads < 100 && received.find("\r\n\r\n") == std::string::npos; reads++) {
            ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0) {
                break;
            }
            received.append(buffer, (size_t)got);
        }
    }
    close(fd);
    splitAnswer(received, &answer);
    return answer;
}

using q2test::writeFile;

std::string patternedBytes(size_t length) {
    std::string bytes(length, '\0');
    uint32_t state = 12345;
    for (size_t i = 0; i < length; i++) {
        state = state * 1103515245u + 12345u;
        bytes[i] = (char)(state >> 16);
    }
    return bytes;
}

// A name that would break out of the href and inject a script if shown raw.
const std::string LIST_ENTRY_WITH_MARKUP = "x\" <script>alert(1).txt";

class FileServing : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder.reset(new q2test::TempDir());
        ASSERT_FALSE(folder->path.empty());
        root = folder->path;
        embeddingConfig.documentRoot = root;
        embeddingConfig.readErrorPath = root + "/list";
        embeddingConfig.longHeadPath = root + "/hello.txt";

        bigFile = patternedBytes(3 * CONNECTION_BUFFER_SIZE + 1234);
        writeFile(root + "/big.bin", bigFile);
        writeFile(root + "/empty.txt", "");
        writeFile(root + "/.secret", "password=hunter2");
        writeFile(root + "/hello.txt", "hello\n");
        std::filesystem::create_directories(root + "/.git");
        writeFile(root + "/.git/config", "token=hunter2");
        std::filesystem::create_directories(root + "/site");
        writeFile(root + "/site/index.html", "<h1>index</h1>");
        std::filesystem::create_directories(root + "/list");
        writeFile(root + "/list/" + LIST_ENTRY_WITH_MARKUP, "x");
        ASSERT_TRUE(std::filesystem::exists(root + "/list/" + LIST_ENTRY_WITH_MARKUP));
        writeFile(root + "/list/a b.txt", "ab");
        std::filesystem::create_directories(root + "/.site/.private");
        writeFile(root + "/.site/page.txt", "from a dot-folder");
        writeFile(root + "/.site/.private/key", "hunter2");
        std::filesystem::create_directories(root + "/sp ace");
        writeFile(root + "/sp ace/f.txt", "f");
    }
    static void TearDownTestSuite() {
        folder.reset();
    }
    void SetUp() override {
        descriptorsBefore = q2test::openDescriptorCount();
        ASSERT_TRUE(server.start()) << "the server did not start listening";
    }
    // Once stopped, the server has closed every file it answered with, on
    // every path (sent whole, failed after the head, replaced by an error).
    void TearDown() override {
        server.stop();
        EXPECT_EQ(0, server.acceptResult);
        EXPECT_EQ(descriptorsBefore, q2test::openDescriptorCount()) << "a descriptor was left open";
    }

    static std::unique_ptr<q2test::TempDir> folder;
    static std::string root;
    static std::string bigFile;
    TestServer server;
    int descriptorsBefore = -1;
};

std::unique_ptr<q2test::TempDir> FileServing::folder;
std::string FileServing::root;
std::string FileServing::bigFile;

TEST_F(FileServing, FileLargerThanTheBufferArrivesByteExact) {
    HTTPAnswer answer = get(server.port, "/files/big.bin");
    EXPECT_TRUE(answer.complete);
    EXPECT_EQ(200, answer.code);
    EXPECT_EQ("application/binary", answer.contentType);
    EXPECT_EQ((long long)bigFile.size(), answer.contentLength);
    EXPECT_EQ(0u, answer.head.find("HTTP/1.1 200 OK\r\n")) << answer.head;
    ASSERT_EQ(bigFile.size(), answer.body.size());
    EXPECT_TRUE(bigFile == answer.body) << "the body differs from the file";
}

TEST_F(FileServing, SmallTextFileWithDetectedType) {
    HTTPAnswer answer = get(server.port, "/files/hello.txt");
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\nServer: Ostrelin/1.1.3\r\n"
              "Connection: close\r\n\r\n",
              answer.head);
    EXPECT_EQ("hello\n", answer.body);
    EXPECT_TRUE(answer.complete);
}

TEST_F(FileServing, DirectoryWithIndexServesTheIndex) {
    HTTPAnswer answer = get(server.port, "/files/site/");
    EXPECT_EQ(200, answer.code);
    EXPECT_EQ("text/html; charset=UTF-8", answer.contentType);
    EXPECT_EQ("<h1>index</h1>", answer.body);
}

TEST_F(FileServing, ListingEscapesNamesForHTMLAndLinksForURLs) {
    HTTPAnswer answer = get(server.port, "/files/list");
    EXPECT_EQ(200, answer.code);
    EXPECT_EQ("text/html; charset=UTF-8", answer.contentType);
    EXPECT_EQ((long long)answer.body.size(), answer.contentLength);
    EXPECT_EQ(0u, answer.body.find("<html><head><title>Directory Reading</title><body>"));
    EXPECT_NE(std::string::npos, answer.body.find("<a href=\"list/a%20b.txt\">a&nbsp;b.txt</a><br>\n")) << answer.body;
    EXPECT_NE(std::string::npos, answer.body.find("<a href=\"list/x%22%20%3cscript%3ealert%281%29.txt\">"
                                                  "x&quot;&nbsp;&lt;script&gt;alert(1).txt</a><br>\n"))
        << answer.body;
    EXPECT_EQ(std::string::npos, answer.body.find("<script>"));

    // With a trailing slash the links are the names alone.
    answer = get(server.port, "/files/list/");
    EXPECT_NE(std::string::npos, answer.body.find("<a href=\"a%20b.txt\">a&nbsp;b.txt</a><br>\n")) << answer.body;

    // The request's last segment used as link prefix is escaped as well.
    answer = get(server.port, "/files/sp%20ace");
    EXPECT_NE(std::string::npos, answer.body.find("<a href=\"sp%20ace/f.txt\">f.txt</a><br>\n")) << answer.body;
}

TEST_F(FileServing, EmptyFileWithoutTypeIsAnInternalError) {
    HTTPAnswer answer = get(server.port, "/files/empty.txt");
    EXPECT_EQ(500, answer.code);
    EXPECT_NE(std::string::npos, answer.body.find("fread for MIME type detection failed"));
    EXPECT_EQ((long long)answer.body.size(), answer.contentLength);
    EXPECT_TRUE(answer.complete);
}

TEST_F(FileServing, MissingPathAndDotNamesAreNotFound) {
    HTTPAnswer answer = get(server.port, "/files/absent.txt");
    EXPECT_EQ(404, answer.code);
    EXPECT_NE(std::string::npos, answer.body.find("absent.txt"));

    answer = get(server.port, "/files/.secret");
    EXPECT_EQ(404, answer.code);
    EXPECT_EQ(std::string::npos, answer.body.find("hunter2"));

    // Nor anything inside a dot-directory.
    answer = get(server.port, "/files/.git/config");
    EXPECT_EQ(404, answer.code);
    EXPECT_EQ(std::string::npos, answer.body.find("hunter2"));
    answer = get(server.port, "/files/.git/");
    EXPECT_EQ(404, answer.code);

    // "." and ".." segments are not hidden names.
    answer = get(server.port, "/files/./site/../hello.txt");
    EXPECT_EQ(200, answer.code);
    EXPECT_EQ("hello\n", answer.body);
}

TEST_F(FileServing, EncodedClimbAboveTheRootIsForbidden) {
    HTTPAnswer answer = get(server.port, "/files/%2e%2e/etc/passwd");
    EXPECT_EQ(403, answer.code);
    EXPECT_EQ("<html><head><title>Forbidden</title></head><body>You are not allowed to access this URL</body></html>",
              answer.body);
}

TEST_F(FileServing, ReadErrorAfterTheHeadEndsTheTransferWithoutASecondHead) {
    // A directory opened as a file: on file systems that report a length for
    // it, the first read fails only after the head has gone out.
    FILE* directory = fopen(embeddingConfig.readErrorPath.c_str(), "rb");
    ASSERT_NE(nullptr, directory);
    bool hasLength = 0 == fseeko(directory, 0, SEEK_END) && ftello(directory) > 0;
    fclose(directory);
    if (!hasLength) {
        GTEST_SKIP() << "this file system reports no length for a directory";
    }
    HTTPAnswer answer = get(server.port, READ_ERROR_ROUTE);
    EXPECT_TRUE(answer.complete) << "the server should close the connection";
    EXPECT_EQ(200, answer.code);
    EXPECT_GT(answer.contentLength, (long long)answer.body.size());
    EXPECT_EQ(std::string::npos, answer.body.find("HTTP/1.1"));
}

TEST_F(FileServing, HeadTooLongForTheBufferIsReplacedByAnError) {
    HTTPAnswer answer = get(server.port, LONG_HEAD_ROUTE);
    EXPECT_TRUE(answer.complete);
    EXPECT_EQ(500, answer.code);
    EXPECT_NE(std::string::npos, answer.body.find("The response head was too long"));
    EXPECT_EQ(std::string::npos, answer.head.find("X-Padding"));
    EXPECT_EQ((long long)answer.body.size(), answer.contentLength);
}

TEST_F(FileServing, FileBeyondFourGibibytesAnnouncesItsRealLength) {
    const std::string sparsePath = root + "/sparse.bin";
    const long long sparseLength = (1LL << 32) + 10;
    int fd = open(sparsePath.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    bool sized = 0 == ftruncate(fd, (off_t)sparseLength);
    close(fd);
    if (!sized) {
        std::filesystem::remove(sparsePath);
        GTEST_SKIP() << "cannot create a sparse file here";
    }
    HTTPAnswer answer = getHeadOnly(server.port, "/files/sparse.bin");
    EXPECT_EQ(200, answer.code);
    EXPECT_EQ(sparseLength, answer.contentLength);
    server.stop(); // the send that fails after the close ends the transfer
    std::filesystem::remove(sparsePath);
}

class FileServingWithoutListings : public FileServing {
  protected:
    void SetUp() override {
        // Set before the server's threads exist, restored after they ended.
        OptionListDirectoryContents = false;
        FileServing::SetUp();
    }
    void TearDown() override {
        FileServing::TearDown();
        OptionListDirectoryContents = true;
    }
};

class FileServingFromADotFolder : public FileServing {
  protected:
    void SetUp() override {
        embeddingConfig.documentRoot = root + "/.site";
        FileServing::SetUp();
    }
    void TearDown() override {
        FileServing::TearDown();
        embeddingConfig.documentRoot = root;
    }
};

TEST_F(FileServingFromADotFolder, RootsOwnNameDoesNotHideItsFiles) {
    HTTPAnswer answer = get(server.port, "/files/page.txt");
    EXPECT_EQ(200, answer.code);
    EXPECT_EQ("from a dot-folder", answer.body);
    answer = get(server.port, "/files/");
    EXPECT_EQ(200, answer.code);
    EXPECT_NE(std::string::npos, answer.body.find("<a href=\"page.txt\">page.txt</a>")) << answer.body;
    // Below the root the rule holds as before.
    answer = get(server.port, "/files/.private/key");
    EXPECT_EQ(404, answer.code);
    EXPECT_EQ(std::string::npos, answer.body.find("hunter2"));
}

TEST_F(FileServingWithoutListings, DirectoryIsForbiddenEvenWithAnIndex) {
    const char* forbidden = "<html><head><title>403 - Forbidden</title></head><body>You are forbidden from accessing "
                            "this URL.</body></html>";
    HTTPAnswer answer = get(server.port, "/files/site/");
    EXPECT_EQ(403, answer.code);
    EXPECT_EQ(forbidden, answer.body);
    answer = get(server.port, "/files/list");
    EXPECT_EQ(403, answer.code);
    // Files are still served.
    answer = get(server.port, "/files/hello.txt");
    EXPECT_EQ(200, answer.code);
    EXPECT_EQ("hello\n", answer.body);
}

} // namespace
