// diagnostics_test.cpp: the exact text that describes a connection, for
// requests fed through the real parser.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "internal.h"

namespace {

struct ConnectionFixture : public ::testing::Test {
    void SetUp() override {
        // A record as the accept loop makes it, with no server behind it.
        connection = (Connection*)calloc(1, sizeof(Connection));
        ASSERT_NE(nullptr, connection);
        strcpy(connection->remoteHost, "127.0.0.1");
        strcpy(connection->remotePort, "40000");
    }
    void TearDown() override {
        connectionFree(connection);
    }
    void receive(const std::string& bytes) {
        connection->status.bytesReceived += (int64_t)bytes.size();
        requestParse(&connection->request, bytes.data(), bytes.size());
    }
    std::string describe() {
        HeapString text = connectionDebugStringCreate(connection);
        std::string copy = text.contents == nullptr ? "" : std::string(text.contents, text.length);
        heapStringFreeContents(&text);
        return copy;
    }
    Connection* connection = nullptr;
};

TEST_F(ConnectionFixture, RequestWithoutHeadersBodyOrWarnings) {
    receive("GET /a%20b?x=1 HTTP/1.1\r\n\r\n");
    connection->status.bytesSent = 1234;
    EXPECT_EQ("GET /a%20b?x=1 from 127.0.0.1:40000\n"
              "Request URL Path decoded to '/a b?x=1'\n"
              "Bytes sent:1234\n"
              "Bytes received:27\n"
              "Final request parse state:10\n"
              "Header pool used:0\n"
              "Header count:0\n"
              "\n*** Request Headers ***\n"
              "\n*** Request Warnings ***\n"
              "No warnings\n",
              describe());
}

TEST_F(ConnectionFixture, HeadersInParsedOrderAndTheBodyReceivedSoFar) {
    receive("POST /escpos HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nab");
    EXPECT_EQ("POST /escpos from 127.0.0.1:40000\n"
              "Request URL Path decoded to '/escpos'\n"
              "Bytes sent:0\n"
              "Bytes received:55\n"
              "Final request parse state:8\n"
              "Header pool used:23\n"
              "Header count:2\n"
              "\n*** Request Headers ***\n"
              "'Host' = 'h'\n"
              "'Content-Length' = '5'\n"
              "\n*** Request Body ***\n"
              "ab\n"
              "\n*** Request Warnings ***\n"
              "No warnings\n",
              describe());
}

TEST_F(ConnectionFixture, BodySectionFollowsStorageNotArrivedBytes) {
    // A head alone holds no body block yet, so there is no section.
    receive("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n");
    std::string text = describe();
    EXPECT_EQ(std::string::npos, text.find("*** Request Body ***")) << text;

    // A NUL byte and a backslash in the body are shown escaped.
    receive(std::string("\0b\\", 3));
    text = describe();
    EXPECT_NE(std::string::npos, text.find("\n*** Request Body ***\n\\x00b\\\\\n\n*** Request Warnings ***\n")) << text;
}

TEST_F(ConnectionFixture, WarningsInFixedOrderWithoutNoWarningsLine) {
    receive("GET / HTTP/1.1\r\n\r\n");
    connection->request.warnings.bodyTruncated = true;
    std::string text = describe();
    const std::string tail = "\n*** Request Warnings ***\nbodyTruncated - you can increase REQUEST_MAX_BODY_LENGTH";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(tail, text.substr(text.size() - tail.size()));

    connection->request.warnings = Warnings{true, true, true, true, true, false};
    text = describe();
    const std::string all = "\n*** Request Warnings ***\n"
                            "headersStringPoolExhausted - try upping REQUEST_HEADERS_MAX_MEMORY\n"
                            "tooManyHeaders - try upping REQUEST_MAX_HEADERS\n"
                            "methodTruncated - you can increase the size of method[]\n"
                            "pathTruncated - you can increase the size of path[]\n"
                            "versionTruncated - you can increase the size of version[]\n";
    ASSERT_GE(text.size(), all.size());
    EXPECT_EQ(all, text.substr(text.size() - all.size()));
}

TEST_F(ConnectionFixture, TruncatedPathIsShownAsStored) {
    std::string longPath = "/" + std::string(1100, 'p');
    receive("GET " + longPath + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(connection->request.warnings.pathTruncated);
    std::string text = describe();
    std::string stored = longPath.substr(0, REQUEST_PATH_CAPACITY - 1);
    EXPECT_EQ(0u, text.find("GET " + stored + " from 127.0.0.1:40000\n")) << text.substr(0, 80);
    EXPECT_NE(std::string::npos, text.find("\npathTruncated - you can increase the size of path[]\n"));
}

} // namespace
