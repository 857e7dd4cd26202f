// The built server over loopback, one connection at a time: the exact bytes
// of every route's answer, what reaches the printer device, the answers when
// the printer is missing or refuses the job, and the server's messages for
// connections that never make a request; against a simulated printer that
// answers, the printer's status, jobs it refuses and its replies to raw
// clients.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device.h"
#include "escpos.h"
#include "serverprocess.h"
#include "simulated_printer.h"

using namespace blackbox;
using q2test::PrinterMode;
using q2test::SimulatedPrinter;

namespace {

const std::string CORS = "Access-Control-Allow-Origin: *\r\n"
                         "Access-Control-Allow-Headers: Content-Type, Authorization, Idempotency-Key\r\n"
                         "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n"
                         "Access-Control-Expose-Headers: Job-Id, Idempotent-Replayed\r\n";
// What a print answer carries besides: its job's id, masked by the exchanges.
const std::string JOB_CORS = CORS + "Job-Id: *\r\n";

std::string answer(const std::string& statusLine, const std::string& extraHeaders, const std::string& body = "") {
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nServer: Ostrelin/1.1.3\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

const std::string OK_WITH_CORS = answer("200 OK", CORS);
const std::string PRINTED = answer("200 OK", JOB_CORS);
const std::string NOT_FOUND = answer("404 Not Found", "");
const std::string UNAVAILABLE = answer("503 Service Unavailable", "");

// The answer to GET /status with this JSON.
std::string statusAnswer(const std::string& json) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
           "\r\nServer: Ostrelin/1.1.3\r\nConnection: close\r\n" + CORS + "Cache-Control: no-store\r\n\r\n" + json;
}

// The JSON of a printer that could not be asked, in the given state.
std::string unaskedJson(const std::string& state) {
    return "{\"printer\": \"" + state +
           "\", \"online\": null, \"coverOpen\": null, \"paper\": null, \"drawerPin3High\": null, \"error\": "
           "null, \"status\": [null, null, null, null], \"jobLog\": null}";
}

// The bytes of the first PEM block in `pem` (base64 between its BEGIN and END lines).
std::string derOfPem(const std::string& pem) {
    static const std::string DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t begin = pem.find('\n', pem.find("-----BEGIN")), end = pem.find("-----END");
    std::string der;
    unsigned bits = 0, count = 0;
    for (size_t i = begin; begin != std::string::npos && i < end; i++) {
        size_t digit = DIGITS.find(pem[i]);
        if (digit != std::string::npos) {
            bits = bits << 6 | (unsigned)digit;
            if ((count += 6) >= 8) {
                der += (char)(bits >> (count -= 8) & 0xff);
            }
        }
    }
    return der;
}

// The answer to GET /ca.crt: the authority's certificate of the server's state folder.
std::string authorityAnswer(const std::string& stateFolder) {
    std::string der = derOfPem(readFile(stateFolder + "/ca.crt"));
    return "HTTP/1.1 200 OK\r\nContent-Type: application/x-x509-ca-cert\r\nContent-Length: " +
           std::to_string(der.size()) + "\r\nServer: Ostrelin/1.1.3\r\nConnection: close\r\n" + CORS +
           "Content-Disposition: attachment; filename=\"quorvel2-ca.crt\"\r\n\r\n" + der;
}

// What a job check sends before a job: DLE EOT 2, then DLE EOT 4.
const std::string JOB_CHECK = "\x10\x04\x02\x10\x04\x04";

const std::string CANNOT_OPEN_TEXT = "The printer device could not be opened; nothing was printed.\n";
const std::string WRITE_FAILED_TEXT = "Writing to the printer device failed; the receipt was not printed whole.\n";
const std::string NO_DEVICE_TEXT = "No printer device is configured; nothing was printed.\n";
const std::string OVER_BUDGET_TEXT = "Too many print jobs in progress; nothing was printed.\n";
const std::string LINE_TOO_LONG_TEXT = "The request line is too long; nothing was printed.\n";
const std::string LINE_CONTROL_TEXT = "The request line holds a control byte; nothing was printed.\n";
const std::string HEADERS_TOO_LARGE_TEXT =
    "The request's header lines are too many or too long; nothing was printed.\n";
const std::string MALFORMED_HEADER_TEXT = "A header line of the request is malformed; nothing was printed.\n";
const std::string LENGTH_INVALID_TEXT = "The request's body length is missing or invalid; nothing was printed.\n";
const std::string LENGTH_AND_CODING_TEXT =
    "The request has both a body length and a transfer coding; nothing was printed.\n";
const std::string CODING_TEXT = "The request's transfer coding is not supported; nothing was printed.\n";
const std::string CHUNKS_TEXT = "The request's chunked body is malformed; nothing was printed.\n";
const std::string TOO_LARGE_TEXT = "The request's body is larger than 128 MiB; nothing was printed.\n";
const std::string IPP_TEXT =
    "This is not a print server for IPP; send the ESC/POS bytes themselves (a raw socket:// queue).\n";
const std::string NAVIGATION_TEXT = "A page navigation may not print; nothing was printed.\n";

// A print request with the given header lines (each ending in CR LF) and body.
std::string postEscpos(const std::string& headerLines, const std::string& body = "") {
    return "POST /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headerLines + "\r\n" + body;
}

std::string lengthLine(size_t length) {
    return "Content-Length: " + std::to_string(length) + "\r\n";
}

const std::string CHUNKED = "Transfer-Encoding: chunked\r\n";

// `count` header lines of the form "Hnn: v".
std::string fillerHeaders(size_t count) {
    std::string lines;
    for (size_t i = 0; i < count; i++) {
        lines += "H" + std::to_string(i) + ": v\r\n";
    }
    return lines;
}

// The request's bytes one per part.
std::vector<std::string> bytewise(const std::string& bytes) {
    std::vector<std::string> parts;
    for (char c : bytes) {
        parts.emplace_back(1, c);
    }
    return parts;
}

std::string request(const std::string& method, const std::string& target, const std::string& body = "") {
    std::string head = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!body.empty() || method == "POST") {
        head += "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return head + "\r\n" + body;
}

// Reads exactly the interim "100 Continue" answer, which the server sends
// once it has taken the head and holds the body's memory.
std::string readContinue(int socket) {
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    std::string got;
    long long deadline = monotonicMs() + DEFAULT_TIMEOUT_MS;
    while (got.size() < interim.size() && monotonicMs() < deadline) {
        char buffer[64];
        ssize_t n = recv(socket, buffer, interim.size() - got.size(), 0);
        if (n <= 0) {
            break;
        }
        got.append(buffer, (size_t)n);
    }
    return got;
}

// One server with the given --device (none when empty), the further options
// set before start() and optional extra environment, in a private directory;
// stopped when the test ends, which must find it still running without
// sanitizer reports.
class ServerTest : public ::testing::Test {
  protected:
    TempDir dir;
    ServerProcess server;
    std::string device;
    std::vector<std::string> options;

    void start(const std::string& devicePath, const std::vector<std::string>& environment = {},
               const std::string& binary = QUORVEL2_BINARY) {
        ASSERT_FALSE(dir.path.empty());
        device = devicePath;
        std::vector<std::string> arguments;
        if (!device.empty()) {
            arguments = {"--device", device};
        }
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::string error;
        ASSERT_TRUE(startServer(&server, binary, arguments, environment, dir.path, &error)) << error;
    }

    std::string printed() const {
        return readFile(device);
    }

    ServerExit stop() {
        ServerExit exit = stopServer(&server);
        EXPECT_TRUE(exit.wasRunning) << exit.out << exit.err;
        EXPECT_FALSE(outputHasSanitizerReport(exit.err)) << exit.err;
        return exit;
    }

    void TearDown() override {
        if (server.pid > 0) {
            stop();
        }
    }
};

class PrinterFileTest : public ServerTest {
  protected:
    void SetUp() override {
        writeFile(dir.file("printer"), "");
        start(dir.file("printer"));
    }
};

TEST_F(PrinterFileTest, EveryRouteAnswersWithItsExactBytes) {
    struct Case {
        std::string request;
        std::string expected;
    };
    const Case cases[] = {
        {request("OPTIONS", "/escpos"), OK_WITH_CORS},
        {request("OPTIONS", "/escpos?copies=2"), OK_WITH_CORS},
        {request("OPTIONS", "/pagercall?code=7"), OK_WITH_CORS},
        {request("OPTIONS", "/pagercall?code="), OK_WITH_CORS},
        {request("GET", "/pagercall?code=7"), UNAVAILABLE},
        {request("GET", "/pagercall"), NOT_FOUND},
        {request("POST", "/pagercall?code=7", "x"), NOT_FOUND},
        {request("GET", "/escpos"), NOT_FOUND},
        {request("PUT", "/escpos", "\x1b@put"), NOT_FOUND},
        {request("post", "/escpos", "\x1b@lower"), NOT_FOUND},
        {request("POST", "/escpos/", "\x1b@slash"), NOT_FOUND},
        {request("POST", "/escposx", "\x1b@x"), NOT_FOUND},
        {request("POST", "/ESCPOS", "\x1b@upper"), NOT_FOUND},
        {request("POST", "/%65scpos", "\x1b@encoded"), NOT_FOUND},
        {request("POST", "/escpos%3Fcopies=2", "\x1b@encoded"), NOT_FOUND},
        {request("GET", "/"), NOT_FOUND},
        {request("OPTIONS", "/status"), OK_WITH_CORS},
        {request("GET", "/status"), statusAnswer(unaskedJson("no-answer"))},
        {request("GET", "/status?x=1"), statusAnswer(unaskedJson("no-answer"))},
        {request("POST", "/status", "x"), NOT_FOUND},
        {request("GET", "/statusx"), NOT_FOUND},
        {request("OPTIONS", "/ca.crt"), OK_WITH_CORS},
        {request("OPTIONS", "/jobs"), OK_WITH_CORS},
        {request("GET", "/jobs?limit=0"),
         "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 43\r\n"
         "Server: Ostrelin/1.1.3\r\nConnection: close\r\n" +
             CORS + "Cache-Control: no-store\r\n\r\nThe limit must be a number from 1 to 1000.\n"},
        {request("GET", "/ca.crt"), authorityAnswer(dir.file("state"))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, converse(server.port, c.request)) << c.request;
    }
    EXPECT_EQ("", printed()) << "none of these requests prints";
}

// Every answer of a print request over a real socket: the exact status line
// with the CORS lines (a page must read every one of them), the one-line
// reason, Connection: close, and the exact bytes that reached the printer.
TEST_F(PrinterFileTest, EveryPrintAnswerTellsTheTruth) {
    struct Case {
        std::string name;
        std::vector<std::string> parts;
        std::string statusLine, reason, printed;
    };
    const std::string receipt = "\x1b@receipt\n\x1dVA\x03", ok = "200 OK", bad = "400 Bad Request",
                      tooLarge = "413 Payload Too Large", headersTooLarge = "431 Request Header Fields Too Large";
    const std::string withLength = lengthLine(receipt.size());
    // Host, its value, Content-Length and "14" take the pool up to offset 34:
    // a value of 8152 bytes after "N" fills it to its last writable byte.
    ASSERT_EQ(14u, receipt.size());
    auto poolFilledBy = [&](size_t valueLength) {
        return postEscpos(withLength + "N: " + std::string(valueLength, 'v') + "\r\n", receipt);
    };
    auto withLine = [&](const std::string& requestLine) {
        return requestLine + "\r\n" + withLength + "\r\n" + receipt;
    };
    const std::string formText("a=\x1bp\x00\x19\xfa\r\n", 10); // the drawer kick, as a form's text
    const Case cases[] = {
        {"ChunkedOneChunk", {postEscpos(CHUNKED, "5\r\nhello\r\n0\r\n\r\n")}, ok, "", "hello"},
        {"ChunkedManyChunksSplitAcrossReads",
         {postEscpos(CHUNKED, "3\r\n\x1b@a"), "\r\n4\r", "\nbcde\r\n1",
          "0\r\n" + std::string(16, 'f') + "\r\n0\r\n\r\n"},
         ok,
         "",
         "\x1b@abcde" + std::string(16, 'f')},
        {"ChunkedOneByteChunksByteByByte", bytewise(postEscpos(CHUNKED, "1\r\n\x1b\r\n1\r\n@\r\n1\r\nz\r\n0\r\n\r\n")),
         ok, "", "\x1b@z"},
        {"ChunkedAfterATab", {postEscpos("Transfer-Encoding:\t\tchunked\r\n", "2\r\nhi\r\n0\r\n\r\n")}, ok, "", "hi"},
        {"ChunkedExtensionsAndTrailers",
         {postEscpos(CHUNKED, "4;a=b\r\nabcd\r\n2 ;x\r\nef\r\n0;end\r\nChecksum: 1\r\nX: 2\r\n\r\n")},
         ok,
         "",
         "abcdef"},
        {"ChunkSizeMalformed", {postEscpos(CHUNKED, "zz\r\nhello\r\n0\r\n\r\n")}, bad, CHUNKS_TEXT, ""},
        {"ChunkDataOverItsSize", {postEscpos(CHUNKED, "2\r\nabc\r\n0\r\n\r\n")}, bad, CHUNKS_TEXT, ""},
        {"ChunkPastTheLimit", {postEscpos(CHUNKED, "8000001\r\nabc")}, tooLarge, TOO_LARGE_TEXT, ""},
        {"OtherTransferCoding",
         {postEscpos("Transfer-Encoding: gzip, chunked\r\n", "3\r\nabc\r\n0\r\n\r\n")},
         "501 Not Implemented",
         CODING_TEXT,
         ""},
        {"LengthAndTransferCoding",
         {postEscpos(lengthLine(3) + CHUNKED, "3\r\nabc\r\n0\r\n\r\n")},
         bad,
         LENGTH_AND_CODING_TEXT,
         ""},
        {"LengthNotANumber", {postEscpos("Content-Length: abc\r\n", "abc")}, bad, LENGTH_INVALID_TEXT, ""},
        {"LengthInHex", {postEscpos("Content-Length: 0x10\r\n", receipt)}, bad, LENGTH_INVALID_TEXT, ""},
        {"LengthNegative", {postEscpos("Content-Length: -1\r\n", receipt)}, bad, LENGTH_INVALID_TEXT, ""},
        {"BlankBeforeColon", {postEscpos("Content-Length : 5\r\n", "abcde")}, bad, MALFORMED_HEADER_TEXT, ""},
        {"TwoDifferentLengths", {postEscpos(lengthLine(3) + lengthLine(5), "abcde")}, bad, LENGTH_INVALID_TEXT, ""},
        {"LengthOver128MiBIsRefusedUnread",
         {postEscpos(lengthLine(134217728 + 10)), std::string(1 << 20, 'x')},
         tooLarge,
         TOO_LARGE_TEXT,
         ""},
        {"SixtyFourHeadersPrint", {postEscpos(fillerHeaders(62) + withLength, receipt)}, ok, "", receipt},
        {"SixtyFiveHeaders",
         {postEscpos(fillerHeaders(63) + withLength, receipt)},
         headersTooLarge,
         HEADERS_TOO_LARGE_TEXT,
         ""},
        {"SeventyHeadersBeforeTheLength",
         {postEscpos(fillerHeaders(70) + withLength, receipt)},
         headersTooLarge,
         HEADERS_TOO_LARGE_TEXT,
         ""},
        {"PoolFilledToItsLastByte", {poolFilledBy(8152)}, ok, "", receipt},
        {"PoolOneByteOver", {poolFilledBy(8153)}, headersTooLarge, HEADERS_TOO_LARGE_TEXT, ""},
        {"OneHeaderOf9000Bytes",
         {postEscpos("X-Long: " + std::string(9000, 'x') + "\r\n" + withLength, receipt)},
         headersTooLarge,
         HEADERS_TOO_LARGE_TEXT,
         ""},
        {"TargetCut", {withLine("POST /escpos?" + std::string(1100, 'q') + " HTTP/1.1")}, bad, LINE_TOO_LONG_TEXT, ""},
        {"VersionCut", {withLine("POST /escpos HTTP/1.1-abcdefghij")}, bad, LINE_TOO_LONG_TEXT, ""},
        {"NulInTheTarget", {withLine(std::string("POST /escpos\0x HTTP/1.1", 23))}, bad, LINE_CONTROL_TEXT, ""},
        {"NulInTheMethod", {withLine(std::string("POST\0X /escpos HTTP/1.1", 23))}, bad, LINE_CONTROL_TEXT, ""},
        {"IPPRequestOfASpooler",
         {postEscpos("Content-Type: Application/IPP\r\n" + lengthLine(9),
                     std::string("\x02\x00\x00\x02\x00\x00\x00\x01\x03", 9))},
         "415 Unsupported Media Type",
         IPP_TEXT,
         ""},
        {"FormSubmittedByAPage",
         {postEscpos("Content-Type: text/plain\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n" +
                         lengthLine(formText.size()),
                     formText)},
         "403 Forbidden",
         NAVIGATION_TEXT,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string before = printed();
        std::string got = converseInParts(server.port, c.parts);
        EXPECT_EQ(answer(c.statusLine, JOB_CORS, c.reason), got);
        EXPECT_NE(std::string::npos, got.find("\r\nConnection: close\r\n"));
        EXPECT_EQ(c.printed, printed().substr(before.size()));
    }
}

// Every combination of the two headers by which a browser marks a
// navigation: any navigation is refused, anything else prints.
TEST_F(PrinterFileTest, NavigationsAreRefusedInEveryCombination) {
    const char* const modes[] = {nullptr, "navigate", "NAVIGATE", "cors", "no-cors", "same-origin"};
    const char* const destinations[] = {nullptr, "document", "iframe", "frame", "embed", "object", "empty", "script"};
    const std::string navigatingDestinations = "document iframe frame embed object";
    std::string expectedPrint;
    for (const char* mode : modes) {
        for (const char* destination : destinations) {
            std::string headers;
            if (mode) {
                headers += std::string("Sec-Fetch-Mode: ") + mode + "\r\n";
            }
            if (destination) {
                headers += std::string("Sec-Fetch-Dest: ") + destination + "\r\n";
            }
            bool navigation = (mode && std::string(mode) == "navigate") || (mode && std::string(mode) == "NAVIGATE") ||
                              (destination && navigatingDestinations.find(destination) != std::string::npos);
            std::string body = "\x1b@" + headers;
            SCOPED_TRACE(headers);
            std::string got = converse(server.port, postEscpos(headers + lengthLine(body.size()), body));
            if (navigation) {
                EXPECT_EQ(answer("403 Forbidden", JOB_CORS, NAVIGATION_TEXT), got);
            } else {
                EXPECT_EQ(PRINTED, got);
                expectedPrint += body;
            }
            EXPECT_EQ(expectedPrint, printed());
        }
    }
}

// 128 MiB exactly is taken (the client is told to send it), one byte more is
// refused from the head alone, without the go-ahead.
TEST_F(PrinterFileTest, LargestBodyIsDecidedFromTheDeclaredLength) {
    int socket = connectLoopback(server.port);
    ASSERT_GE(socket, 0);
    ASSERT_TRUE(sendAll(socket, postEscpos("Expect: 100-continue\r\n" + lengthLine(134217728))));
    EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", readContinue(socket));
    close(socket);
    EXPECT_EQ(answer("413 Payload Too Large", JOB_CORS, TOO_LARGE_TEXT),
              converse(server.port, postEscpos("Expect: 100-continue\r\n" + lengthLine(134217729))));
    EXPECT_EQ("", printed());
}

TEST_F(PrinterFileTest, PostPrintsTheBodyAsOneJob) {
    const std::string first = "\x1b@first receipt\n\x1d\x56\x41\x03";
    const std::string second = "\x1b@second, with copies=2\n";
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", first)));
    EXPECT_EQ(first, printed());
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos?copies=2", second)));
    EXPECT_EQ(first + second, printed()) << "the query is not read: one copy";
}

TEST_F(PrinterFileTest, PostBodyWithNulBytesIsPrintedExactly) {
    const std::string body("\x1b@\0A\0\0B\x1d\x21\x00"
                           "C\0",
                           13);
    ASSERT_EQ(13u, body.size());
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", body)));
    EXPECT_EQ(body, printed());
}

TEST_F(PrinterFileTest, PostWithEmptyBodyPrintsNothingAndSucceeds) {
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "")));
    EXPECT_EQ("", printed());
}

TEST_F(PrinterFileTest, RequestArrivingOneByteAtATimeIsAnswered) {
    const std::string body = "\x1b@byte by byte\n";
    const std::string bytes = request("POST", "/escpos", body);
    int fd = connectLoopback(server.port);
    ASSERT_GE(fd, 0);
    for (char c : bytes) {
        ASSERT_TRUE(sendAll(fd, std::string(1, c)));
        usleep(1000); // pacing, so that most bytes arrive in a receive of their own
    }
    bool timedOut = false;
    std::string got = readUntilClosed(fd, DEFAULT_TIMEOUT_MS, &timedOut);
    close(fd);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(PRINTED, got);
    EXPECT_EQ(body, printed());
}

TEST_F(PrinterFileTest, ClientExpectingContinueIsToldToSendTheBody) {
    // Such a client sends the head, then waits for "100 Continue" before the body.
    int socket = connectLoopback(server.port);
    ASSERT_GE(socket, 0);
    std::string body = "\x1b@after continue";
    ASSERT_TRUE(sendAll(socket, "POST /escpos HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n"));
    std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    std::string got;
    long long deadline = monotonicMs() + DEFAULT_TIMEOUT_MS;
    while (got.size() < interim.size() && monotonicMs() < deadline) {
        char buffer[64];
        ssize_t n = recv(socket, buffer, interim.size() - got.size(), 0);
        if (n <= 0) {
            break;
        }
        got.append(buffer, (size_t)n);
    }
    EXPECT_EQ(interim, got);
    ASSERT_TRUE(sendAll(socket, body));
    EXPECT_EQ(PRINTED, readUntilClosed(socket));
    close(socket);
    EXPECT_EQ(body, readFile(device));

    // Without the expectation nothing comes before the answer.
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "plain")));
}

TEST_F(PrinterFileTest, BytesAfterTheCompleteRequestAreNotRead) {
    const std::string body = "\x1b@counted\n";
    std::string got = converse(server.port, request("POST", "/escpos", body) + "\x1b@surplus bytes");
    EXPECT_EQ(PRINTED, got);
    EXPECT_EQ(body, printed());
}

// A connection is told apart by its first bytes (every kind of first bytes
// is a row of FirstBytes in the core tests): text that stops matching an
// HTTP request line prints like any raw stream, from its first byte; a TLS
// handshake is served with the server's certificate; any other first byte
// that is neither text nor a printer command closes it with one line.
TEST_F(PrinterFileTest, FirstBytesTellRawStreamsFromHttpAndFromNeither) {
    struct Case {
        std::vector<std::string> parts;
        std::string answer, printed, logged;
    };
    std::string longText;
    for (int i = 0; longText.size() < 100000; i++) {
        longText += "Line " + std::to_string(i) + ": Espresso 2.50\n";
    }
    const std::string clientHello("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11);
    const Case cases[] = {
        {{"Hello\n"}, "", "Hello\n", ""},
        {{"POST /esc"}, "", "", "No request found from"}, // still a request line when its client stopped
        {{longText}, "", longText, ""},
        {{"GET /sta", "tus now\n"}, "", "GET /status now\n", ""},
        {{std::string(64, 'M') + " /escpos HTTP/1.1\r\n\r\n"}, NOT_FOUND, "", ""},
        {{request("GET", "/status")}, statusAnswer(unaskedJson("no-answer")), "", ""},
        {{clientHello},
         "",
         "",
         "its TLS handshake failed: the client went away during the handshake"}, // served over TLS
        {{std::string("\0abc", 4)}, "", "", "first byte 0x00 begins neither"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parts[0].substr(0, 24));
        std::string before = printed();
        EXPECT_EQ(c.answer, converseInParts(server.port, c.parts));
        EXPECT_EQ(c.printed, printed().substr(before.size()));
        if (!c.logged.empty()) {
            EXPECT_TRUE(waitUntil([&] { return server.currentOutput().find(c.logged) != std::string::npos; }));
        }
    }
}

// After a refused head the server reads on for a while only when a body may
// follow: what the client sends after the answer is then taken, not reset.
TEST_F(PrinterFileTest, RefusedHeadIsDrainedOnlyWhenItDeclaredABody) {
    const struct {
        std::string head;
        bool drained;
    } cases[] = {
        {"GET /escpos HTTP/1.1\r\n" + fillerHeaders(70) + "\r\n", false},
        {"POST /escpos HTTP/1.1\r\n" + fillerHeaders(70) + lengthLine(5) + "\r\n", true},
    };
    for (const auto& c : cases) {
        int fd = connectLoopback(server.port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, c.head));
        EXPECT_EQ(0u, readUntilClosed(fd).find("HTTP/1.1 4")) << c.head.substr(0, 5);
        bool reset = waitUntil([&] { return !sendAll(fd, "x"); }, 500);
        EXPECT_EQ(c.drained, !reset) << c.head.substr(0, 5);
        close(fd);
    }
}

TEST_F(PrinterFileTest, RawStreamInSeveralChunksIsPrintedWhole) {
    // Numbered lines, more than one large read: a piece out of place or lost shows.
    std::string lines;
    for (int line = 0; lines.size() < 200 * 1024; line++) {
        lines += "line " + std::to_string(line) + "\n";
    }
    const std::string chunks[] = {"\x1b@raw ", "second chunk ", std::string("with\0nul ", 9), lines, "and the end\n"};
    int fd = connectLoopback(server.port);
    ASSERT_GE(fd, 0);
    std::string expected;
    for (const std::string& chunk : chunks) {
        ASSERT_TRUE(sendAll(fd, chunk));
        expected += chunk;
        // Each chunk reaches the device before the next is sent, so the
        // server sees them as separate receives.
        EXPECT_TRUE(waitUntil([&] { return printed() == expected; })) << printed();
    }
    shutdown(fd, SHUT_WR);
    bool timedOut = false;
    EXPECT_EQ("", readUntilClosed(fd, DEFAULT_TIMEOUT_MS, &timedOut)) << "a raw stream gets no answer";
    EXPECT_FALSE(timedOut);
    close(fd);
    EXPECT_EQ(expected, printed());
    // The job is closed: the printer takes the next one.
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "next")));
    EXPECT_EQ(expected + "next", printed());
}

TEST_F(PrinterFileTest, PeerThatConnectsAndClosesGetsNoAnswerAndIsReported) {
    int fd = connectLoopback(server.port);
    ASSERT_GE(fd, 0);
    const std::string message = "No request found from 127.0.0.1:" + std::to_string(localPort(fd)) +
                                "? Closing connection. Here's the last bytes we received in the request (length "
                                "0). The total bytes received on this connection: 0 :\n";
    shutdown(fd, SHUT_WR);
    bool timedOut = false;
    EXPECT_EQ("", readUntilClosed(fd, DEFAULT_TIMEOUT_MS, &timedOut));
    EXPECT_FALSE(timedOut);
    close(fd);
    EXPECT_TRUE(waitUntil([&] { return server.currentOutput().find(message) != std::string::npos; }))
        << server.currentOutput();
    EXPECT_EQ("", printed());
}

TEST_F(PrinterFileTest, PartialRequestThenCloseIsReportedWithItsByteCount) {
    const std::string partial = "POST /escpos HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly part";
    int fd = connectLoopback(server.port);
    ASSERT_GE(fd, 0);
    const std::string message = "No request found from 127.0.0.1:" + std::to_string(localPort(fd)) +
                                "? Closing connection. Here's the last bytes we received in the request (length "
                                "0). The total bytes received on this connection: " +
                                std::to_string(partial.size()) + " :\n";
    ASSERT_TRUE(sendAll(fd, partial));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ("", readUntilClosed(fd));
    close(fd);
    EXPECT_TRUE(waitUntil([&] { return server.currentOutput().find(message) != std::string::npos; }))
        << server.currentOutput();
    EXPECT_EQ("", printed());
}

class NoDeviceTest : public ServerTest {
  protected:
    void SetUp() override {
        start("");
    }
};

TEST_F(NoDeviceTest, PostAnswers503WithCorsAndReasonAndRoutesStillWork) {
    const std::string noDevice = answer("503 Service Unavailable", JOB_CORS, NO_DEVICE_TEXT);
    EXPECT_EQ(statusAnswer(unaskedJson("no-device")), converse(server.port, request("GET", "/status")));
    EXPECT_EQ(noDevice, converse(server.port, request("POST", "/escpos", "\x1b@nothing")));
    EXPECT_EQ(noDevice, converse(server.port, request("POST", "/escpos?copies=2", "\x1b@nothing")));
    EXPECT_EQ(OK_WITH_CORS, converse(server.port, request("OPTIONS", "/escpos")));
    EXPECT_EQ(NOT_FOUND, converse(server.port, request("GET", "/escpos")));
}

TEST_F(NoDeviceTest, RawStreamIsReadToItsEndWithoutAnswer) {
    int fd = connectLoopback(server.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "\x1b@dropped"));
    // Still open and silent until we close.
    bool timedOut = false;
    EXPECT_EQ("", readUntilClosed(fd, 200, &timedOut));
    EXPECT_TRUE(timedOut) << "the server closed a raw stream before its peer did";
    shutdown(fd, SHUT_WR);
    EXPECT_EQ("", readUntilClosed(fd, DEFAULT_TIMEOUT_MS, &timedOut));
    EXPECT_FALSE(timedOut);
    close(fd);
}

// A device that cannot be opened or takes no bytes fails the print request
// visibly: 503 with the CORS lines (a web page must be able to read it) and a
// short reason.
TEST_F(ServerTest, MissingDeviceAnswers503WithCorsAndReason) {
    start(dir.file("missing"));
    EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, CANNOT_OPEN_TEXT),
              converse(server.port, request("POST", "/escpos", "\x1b@lost")));
    EXPECT_EQ(statusAnswer(unaskedJson("unavailable")), converse(server.port, request("GET", "/status")));
    struct stat st;
    EXPECT_NE(0, stat(device.c_str(), &st)) << "the device must not be created";
    // Nothing to print: nothing failed.
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "")));
    // A key whose job printed nothing is free for the retry once the printer is back.
    const std::string keyed = postEscpos("Idempotency-Key: k\r\n" + lengthLine(5), "\x1b@key");
    EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, CANNOT_OPEN_TEXT), converse(server.port, keyed));
    writeFile(device, "");
    EXPECT_EQ(PRINTED, converse(server.port, keyed));
    EXPECT_EQ("\x1b@key", printed());
}

// The shop's certificate files are read again while the server runs once
// they change; a key of another certificate (a renewal half done) is not
// taken, and there is no authority of the server's own to hand out.
TEST_F(ServerTest, ShopsCertificateFilesAreReadAgainAfterTheyChange) {
    q2test::TestCertificates certificates;
    ASSERT_EQ("", certificates.error);
    const std::string chain = dir.addFile("chain.pem", certificates.chain("first"));
    const std::string key = dir.addFile("key.pem", certificates.key("first"));
    options = {"--tls-cert=" + chain, "--tls-key=" + key};
    start("", {"Q2_TEST_CERTIFICATE_CHECK_MS=100"}, QUORVEL2_TESTHOOKS_BINARY);
    auto servedName = [&] {
        std::string out =
            q2test::runProgram("/usr/bin/openssl", {"s_client", "-connect", "127.0.0.1:" + std::to_string(server.port),
                                                    "-CAfile", certificates.caPath, "-verify_return_error"})
                .out;
        size_t at = out.find("subject=CN = ");
        return at == std::string::npos ? out : out.substr(at + 13, out.find('\n', at) - at - 13);
    };
    EXPECT_EQ("first", servedName());
    writeFile(key, certificates.key("second"));
    EXPECT_TRUE(waitUntil([&] { return readFile(server.errPath).find("does not belong") != std::string::npos; }));
    EXPECT_EQ("first", servedName());
    writeFile(chain, certificates.chain("second"));
    EXPECT_TRUE(waitUntil([&] { return servedName() == "second"; }));
    EXPECT_EQ(NOT_FOUND, converse(server.port, request("GET", "/ca.crt")));
}

// The server's own certificate, made again while a raw stream over TLS goes
// on (here at every check): the stream keeps its connection and prints whole.
TEST_F(ServerTest, RenewedCertificateLeavesAnOpenTLSStreamAlone) {
    writeFile(dir.file("printer"), "");
    start(dir.file("printer"), {"Q2_TEST_CERTIFICATE_CHECK_MS=100", "Q2_TEST_RENEW_DAYS=398"},
          QUORVEL2_TESTHOOKS_BINARY);
    const std::string script = "(printf '\\033@before\\n'; sleep 1; printf 'after\\n') | openssl s_client -quiet "
                               "-no_ign_eof -verify_return_error -CAfile " +
                               dir.file("state/ca.crt") + " -connect 127.0.0.1:" + std::to_string(server.port);
    EXPECT_EQ(0, q2test::runProgram("/bin/bash", {"-c", script}).exitStatus);
    EXPECT_EQ("\x1b@before\nafter\n", printed());
    const std::string log = server.currentOutput();
    size_t renewals = 0;
    for (size_t at = log.find("Made a server certificate"); at != std::string::npos;
         at = log.find("Made a server certificate", at + 1)) {
        renewals++;
    }
    EXPECT_GE(renewals, 3u) << log;
}

TEST_F(ServerTest, ListeningOnOneAddressLeavesTheOthersClosed) {
    options = {"--listen", "127.0.0.1"};
    start(dir.addFile("printer"));
    EXPECT_EQ(-1, connectLoopback(server.port, nullptr, 0, "127.0.0.2"));
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "\x1b@here")));
    EXPECT_EQ("\x1b@here", printed());
}

// The value of the answer's head line `name`, or "-" when it has none.
std::string headerValue(const std::string& answer, const std::string& name) {
    size_t at = answer.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > answer.find("\r\n\r\n")) {
        return "-";
    }
    at += name.size() + 4;
    return answer.substr(at, answer.find("\r\n", at) - at);
}

// Each kind of Origin against the allow-list on every route: the code, the
// CORS origin line, Vary, and what reached the printer. A raw stream carries
// no origin and always prints.
TEST_F(ServerTest, OnlyListedOriginsGetAnAnswerOnEveryRoute) {
    const std::vector<std::string> none,
        listed = {"--allow-origin=http://Till.example:8080", "--allow-origin", "https://pos.example"};
    std::vector<std::string> listedWithNull = listed;
    listedWithNull.push_back("--allow-origin=null");
    struct Case {
        const char* what;
        const std::vector<std::string>* list;
        const char* origin; // null: no Origin line
        const char* allowOrigin;
        const char* vary;
    };
    const Case cases[] = {
        {"no list, no origin", &none, nullptr, "*", "-"},
        {"no list, any origin", &none, "http://evil.example", "*", "-"},
        {"no origin", &listed, nullptr, "-", "Origin"},
        {"listed", &listed, "http://till.example:8080", "http://till.example:8080", "Origin"},
        {"other letter case", &listed, "HTTP://TILL.Example:8080", "HTTP://TILL.Example:8080", "Origin"},
        {"default port", &listed, "https://pos.example:443", "https://pos.example:443", "Origin"},
        {"other port", &listed, "http://till.example:8081", nullptr, "Origin"},
        {"other scheme", &listed, "https://till.example:8080", nullptr, "Origin"},
        {"unlisted null", &listed, "null", nullptr, "Origin"},
        {"listed null", &listedWithNull, "null", "null", "Origin"},
        {"malformed", &listed, "till.example:8080", nullptr, "Origin"},
        {"with a path", &listed, "http://till.example:8080/", nullptr, "Origin"},
    };
    const std::string refused = answer("403 Forbidden", "Vary: Origin\r\n",
                                       "This page's origin is not allowed to print here; nothing was printed.\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        options = *c.list;
        start(dir.addFile("printer"));
        std::string originLine = c.origin ? std::string("Origin: ") + c.origin + "\r\n" : "";
        std::string job = std::string("\x1b@") + c.what;
        const std::string requests[] = {
            postEscpos(originLine + lengthLine(job.size()), job),
            "OPTIONS /escpos HTTP/1.1\r\nHost: 127.0.0.1\r\n" + originLine +
                "Access-Control-Request-Method: POST\r\n\r\n",
            "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n" + originLine + "\r\n",
        };
        for (const std::string& sent : requests) {
            std::string got = converse(server.port, sent);
            if (c.allowOrigin == nullptr) {
                EXPECT_EQ(refused, got) << sent;
            } else {
                EXPECT_EQ("200", got.substr(9, 3)) << sent << got;
                EXPECT_EQ(c.allowOrigin, headerValue(got, "Access-Control-Allow-Origin")) << sent;
                EXPECT_EQ(c.vary, headerValue(got, "Vary")) << sent;
            }
        }
        EXPECT_EQ("", converse(server.port, "\x1b@raw"));
        std::string expected = (c.allowOrigin ? job : "") + "\x1b@raw";
        EXPECT_TRUE(waitUntil([&] { return printed() == expected; })) << printed();
        stop();
    }
}

// A request whose Host gives this machine a DNS name of some other site
// comes from a page that re-pointed its name here, and prints nothing.
TEST_F(PrinterFileTest, HostMustNameThisMachine) {
    char name[256] = {0};
    ASSERT_EQ(0, gethostname(name, sizeof(name) - 1));
    std::string shortName = std::string(name).substr(0, std::string(name).find('.'));
    const std::string port = ":" + std::to_string(server.port);
    struct Case {
        std::string hostLine;
        bool prints;
    };
    const Case cases[] = {
        {"Host: 127.0.0.1" + port, true},
        {"Host: [::1]" + port, true},
        {"Host: localhost" + port, true},
        {"Host: x.LocalHost", true},
        {"Host: " + shortName + port, true},
        {"Host: " + shortName + ".local", true},
        {"", true}, // HTTP/1.0 without Host
        {"Host: rebind.example" + port, false},
        {"Host: 127.0.0.1.rebind.example", false},
        {"Host: localhost.rebind.example", false},
    };
    std::string expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hostLine);
        std::string job = "\x1b@" + c.hostLine;
        std::string got =
            converse(server.port, "POST /escpos HTTP/1.0\r\n" + c.hostLine + (c.hostLine.empty() ? "" : "\r\n") +
                                      lengthLine(job.size()) + "\r\n" + job);
        if (c.prints) {
            EXPECT_EQ(PRINTED, got);
            expected += job;
        } else {
            EXPECT_EQ(answer("403 Forbidden", "",
                             "Requests must name this machine by its address or as localhost; nothing was printed.\n"),
                      got);
        }
        EXPECT_EQ(expected, printed());
    }
}

TEST_F(ServerTest, FifoWithoutReaderAnswers503WithCors) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    start(fifo);
    EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, CANNOT_OPEN_TEXT),
              converse(server.port, request("POST", "/escpos", "\x1b@nobody reads")));
}

TEST_F(ServerTest, DeviceRefusingWritesAnswers503WithCors) {
    // A node of our own for the full device, so that no other test's lock on
    // /dev/full can get in the way.
    std::string full = dir.path + "/full";
    if (0 != mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7))) {
        full = "/dev/full";
    }
    start(full);
    std::string got = converse(server.port, request("POST", "/escpos", "\x1b@disk full"));
    EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, WRITE_FAILED_TEXT), got);
    // The failed job released the printer: the next one fails the same way
    // instead of waiting for it.
    EXPECT_EQ(got, converse(server.port, request("POST", "/escpos", "\x1b@again")));
}

TEST_F(ServerTest, StalledDeviceAnswers503WithCorsAfterTheStallLimit) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // A reader that never reads: the pipe fills and the printer stalls.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    start(fifo, {"Q2_TEST_STALL_MS=300"}, QUORVEL2_TESTHOOKS_BINARY);
    std::string body(1 << 20, 'x');
    body[0] = 0x1b;
    long long started = monotonicMs();
    std::string got = converse(server.port, request("POST", "/escpos", body));
    long long took = monotonicMs() - started;
    close(reader);
    EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, WRITE_FAILED_TEXT), got);
    EXPECT_GE(took, 250);
}

// A printer that answers status requests: on a pseudo-terminal, and on the network.
enum class PrinterLine { Terminal, Network };

class SimulatedPrinterTest : public ServerTest, public ::testing::WithParamInterface<PrinterLine> {
  protected:
    std::unique_ptr<SimulatedPrinter> owned{
        GetParam() == PrinterLine::Network ? new SimulatedPrinter(q2test::NetworkPrinter{}) : new SimulatedPrinter()};
    SimulatedPrinter& printer = *owned;
    void SetUp() override {
        ASSERT_FALSE(printer.path().empty());
    }
    std::string status() {
        return converse(server.port, request("GET", "/status"));
    }
    // POSTs body; *took receives the milliseconds until the answer.
    std::string post(const std::string& body, long long* took = nullptr) {
        long long started = monotonicMs();
        std::string got = converse(server.port, request("POST", "/escpos", body));
        if (took != nullptr) {
            *took = monotonicMs() - started;
        }
        return got;
    }
};

TEST_P(SimulatedPrinterTest, StatusTellsEveryStateOfThePrinter) {
    start(printer.path());
    struct Case {
        const char* what;
        PrinterMode mode;
        bool drawerHigh;
        const char* json;
    };
    const Case cases[] = {
        {"ready", PrinterMode::Ready, false,
         "{\"printer\": \"ready\", \"online\": true, \"coverOpen\": false, \"paper\": \"ok\", \"drawerPin3High\": "
         "false, \"error\": null, \"status\": [18, 18, 18, 18], \"jobLog\": null}"},
        {"drawer pin high", PrinterMode::Ready, true,
         "{\"printer\": \"ready\", \"online\": true, \"coverOpen\": false, \"paper\": \"ok\", \"drawerPin3High\": "
         "true, \"error\": null, \"status\": [22, 18, 18, 18], \"jobLog\": null}"},
        {"paper near end", PrinterMode::PaperNearEnd, false,
         "{\"printer\": \"ready\", \"online\": true, \"coverOpen\": false, \"paper\": \"near-end\", "
         "\"drawerPin3High\": false, \"error\": null, \"status\": [18, 18, 18, 30], \"jobLog\": null}"},
        {"paper out", PrinterMode::PaperOut, false,
         "{\"printer\": \"paper-out\", \"online\": false, \"coverOpen\": false, \"paper\": \"out\", "
         "\"drawerPin3High\": false, \"error\": null, \"status\": [26, 50, 18, 126], \"jobLog\": null}"},
        {"cover open", PrinterMode::CoverOpen, false,
         "{\"printer\": \"cover-open\", \"online\": false, \"coverOpen\": true, \"paper\": \"ok\", "
         "\"drawerPin3High\": false, \"error\": null, \"status\": [26, 22, 18, 18], \"jobLog\": null}"},
        {"offline", PrinterMode::Offline, false,
         "{\"printer\": \"offline\", \"online\": false, \"coverOpen\": false, \"paper\": \"ok\", "
         "\"drawerPin3High\": false, \"error\": null, \"status\": [26, 18, 18, 18], \"jobLog\": null}"},
        {"error", PrinterMode::Error, false,
         "{\"printer\": \"error\", \"online\": false, \"coverOpen\": false, \"paper\": \"ok\", "
         "\"drawerPin3High\": false, \"error\": \"autocutter\", \"status\": [26, 82, 26, 18], \"jobLog\": null}"},
    };
    for (const Case& c : cases) {
        printer.setMode(c.mode);
        printer.setDrawerPin3High(c.drawerHigh);
        EXPECT_EQ(statusAnswer(c.json), status()) << c.what;
    }
    std::string asked;
    for (int n = 1; n <= 4; n++) {
        asked += std::string("\x10\x04") + (char)n;
    }
    std::string expected;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        expected += asked;
    }
    EXPECT_EQ(expected, printer.received()) << "a status request sends DLE EOT 1..4 and nothing else";

    // A reply nobody asked for is dropped before asking.
    printer.setMode(PrinterMode::Ready);
    printer.setDrawerPin3High(false);
    printer.sendUnasked("\x1a\x1a");
    usleep(20000);
    EXPECT_EQ(statusAnswer(cases[0].json), status()) << "stale replies first";

    // Replies that come late but within the timeout count, and four of them
    // at the very end of it still make an answer within the second.
    for (int delayMs : {EscposLimits().statusReplyMs / 4, EscposLimits().statusReplyMs * 9 / 10}) {
        printer.setReplyDelayMs(delayMs);
        long long started = monotonicMs();
        EXPECT_EQ(statusAnswer(cases[0].json), status()) << "slow printer " << delayMs;
        EXPECT_LT(monotonicMs() - started, 1000) << delayMs;
    }

    // A printer that stays mute, or answers after the timeout, is asked once
    // and counts as not answering: a late reply is never taken for the
    // answer to a later request, nor left for a later client. Line noise in
    // place of a reply is no reply either: a status byte has bit 7 clear. A
    // network printer that answered before and takes the connection but
    // answers nothing is busy, as one that serves another host and keeps the
    // connection in its queue is (the two cannot be told apart). Three
    // replies at the end of their time and a fourth that never comes, after
    // a short wait for a raw job that still holds the printer, still make an
    // answer within the second.
    printer.setMode(PrinterMode::CoverOpen);
    const bool network = GetParam() == PrinterLine::Network;
    struct Silent {
        const char* what;
        bool mute;
        int delayMs;
        const char* noise; // sent once the printer was asked
        bool held;         // a network printer serving another host
        int lateReplies;   // answered (late) before it goes mute
        int heldMs;        // a raw job holds the printer about this long when it is asked
    };
    const int replyMs = EscposLimits().statusReplyMs;
    const Silent silent[] = {{"mute", true, 0, "", false, 0, 0},
                             {"line noise with bit 7 set", true, 0, "\x92", false, 0, 0},
                             {"too slow", false, replyMs * 5 / 4, "", false, 0, 0},
                             {"held by another host", false, 0, "", true, 0, 0},
                             {"three late replies, then none", false, replyMs * 19 / 20, "", false, 3, replyMs / 2}};
    for (const Silent& c : silent) {
        if (c.held && !network) {
            continue;
        }
        printer.setMute(c.mute);
        printer.setReplyDelayMs(c.delayMs);
        printer.setStopAccepting(c.held);
        if (c.heldMs > 0) {
            // A raw job's end waits a reply time after its last bytes.
            size_t before = printer.received().size();
            int raw = connectLoopback(server.port);
            ASSERT_TRUE(raw >= 0 && sendAll(raw, "\x1b@"));
            close(raw);
            ASSERT_TRUE(printer.waitForReceived(before + 2));
            usleep((useconds_t)(replyMs - c.heldMs) * 1000);
        }
        int requestsBefore = printer.statusRequests();
        long long started = monotonicMs();
        std::string got;
        std::thread asking([&] { got = status(); });
        if (c.noise[0] != '\0' && waitUntil([&] { return printer.statusRequests() > requestsBefore; })) {
            printer.sendUnasked(c.noise);
        }
        if (c.lateReplies > 0 &&
            waitUntil([&] { return printer.statusRequests() >= requestsBefore + c.lateReplies; })) {
            printer.setMute(true);
        }
        asking.join();
        EXPECT_EQ(statusAnswer(c.lateReplies > 0
                                   ? "{\"printer\": \"cover-open\", \"online\": false, \"coverOpen\": true, "
                                     "\"paper\": null, \"drawerPin3High\": false, \"error\": null, "
                                     "\"status\": [26, 22, 18, null], \"jobLog\": null}"
                                   : unaskedJson(network ? "busy" : "no-answer")),
                  got)
            << c.what;
        EXPECT_LT(monotonicMs() - started, 1000) << c.what;
        printer.setStopAccepting(false);
        printer.setMute(false);
        EXPECT_TRUE(waitUntil([&] { return printer.statusRequests() == requestsBefore + c.lateReplies + 1; }))
            << c.what << ": asked on after no answer";
    }
    printer.setReplyDelayMs(0);
    int raw = connectLoopback(server.port);
    ASSERT_GE(raw, 0);
    ASSERT_TRUE(sendAll(raw, "\x10\x04\x04"));
    shutdown(raw, SHUT_WR);
    EXPECT_EQ("\x12", readUntilClosed(raw)) << "only its own reply after a late one";
    close(raw);
}

TEST_P(SimulatedPrinterTest, StatusIsBusyWhileAnotherJobHoldsThePrinter) {
    start(printer.path());
    int raw = connectLoopback(server.port);
    ASSERT_GE(raw, 0);
    ASSERT_TRUE(sendAll(raw, "\x1b@held"));
    ASSERT_TRUE(printer.waitForReceived(6));
    long long started = monotonicMs();
    EXPECT_EQ(statusAnswer(unaskedJson("busy")), status());
    EXPECT_GE(monotonicMs() - started, EscposLimits().statusPrinterWaitMs - 10) << "waited a short while first";
    EXPECT_EQ(GetParam() == PrinterLine::Network ? 1 : 0, printer.connections()) << "no connect while a job holds it";
    close(raw);
    EXPECT_TRUE(waitUntil([&] { return status().find("\"printer\": \"ready\"") != std::string::npos; }));
}

TEST_P(SimulatedPrinterTest, JobIsRefusedAtOnceWhenThePrinterCannotPrint) {
    start(printer.path());
    struct Case {
        PrinterMode mode;
        std::string text; // empty: printed
    };
    const Case cases[] = {
        {PrinterMode::CoverOpen, "The printer's cover is open; nothing was printed.\n"},
        {PrinterMode::PaperOut, "The printer is out of paper; nothing was printed.\n"},
        {PrinterMode::Error, "The printer reports an error; nothing was printed.\n"},
        {PrinterMode::Ready, ""},
        {PrinterMode::PaperNearEnd, ""},
        {PrinterMode::Offline, ""},
    };
    std::string expected;
    for (const Case& c : cases) {
        printer.setMode(c.mode);
        std::string body = "\x1b@job in mode " + std::to_string((int)c.mode) + "\n";
        if (c.text.empty()) {
            EXPECT_EQ(PRINTED, post(body)) << (int)c.mode;
            expected += JOB_CHECK + body;
        } else {
            EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, c.text), post(body));
            expected += JOB_CHECK;
        }
        EXPECT_TRUE(printer.waitForReceived(expected.size()));
        EXPECT_EQ(expected, printer.received()) << (int)c.mode;
    }
    // Nothing to print: the printer is not asked.
    printer.setMode(PrinterMode::CoverOpen);
    EXPECT_EQ(PRINTED, post(""));
    usleep(20000);
    EXPECT_EQ(expected, printer.received());
}

TEST_P(SimulatedPrinterTest, MutePrinterCostsOneTimeoutAndIsAskedAgainAfterAWhile) {
    const int recheckMs = 600;
    start(printer.path(), {"Q2_TEST_RECHECK_MS=" + std::to_string(recheckMs)}, QUORVEL2_TESTHOOKS_BINARY);
    printer.setMute(true);
    long long first = 0, second = 0, third = 0;
    EXPECT_EQ(PRINTED, post("first", &first));
    long long rememberedBy = monotonicMs();
    EXPECT_EQ(PRINTED, post("second", &second));
    EXPECT_TRUE(printer.waitForReceived(3 + 11));
    EXPECT_EQ("\x10\x04\x02"
              "firstsecond",
              printer.received())
        << "asked once, then printed as before";
    EXPECT_GE(first, EscposLimits().statusReplyMs - 10);
    EXPECT_LT(first, 3 * EscposLimits().statusReplyMs) << "its reply timeout and the wait for a late reply";
    EXPECT_LT(second, EscposLimits().statusReplyMs) << "the second job waits for no reply";

    usleep((useconds_t)(recheckMs - (monotonicMs() - rememberedBy) + 50) * 1000);
    printer.setMute(false);
    EXPECT_EQ(PRINTED, post("third", &third));
    EXPECT_TRUE(printer.waitForReceived(14 + JOB_CHECK.size() + 5));
    EXPECT_EQ("\x10\x04\x02"
              "firstsecond" +
                  JOB_CHECK + "third",
              printer.received())
        << "asked again after a while";
}

// What only a printer behind a device name has: a line speed, terminal
// settings, a path that can be named another way.
class TerminalPrinterTest : public SimulatedPrinterTest {};
INSTANTIATE_TEST_SUITE_P(Line, TerminalPrinterTest, ::testing::Values(PrinterLine::Terminal));

// A serial line's status is busy only while its driver holds bytes, never
// from its line speed alone: a line that took a long job at once (a USB
// printer posing as a serial port) is ready right after it, and one whose
// driver tells nothing (a pseudo-terminal) is asked within the second. The
// job check waits until the line has sent what it holds, the printer is not
// taken for a mute one, and the user's line settings stay.
TEST_P(TerminalPrinterTest, SlowLineIsBusyOnlyWhileItsDriverHoldsBytesAndKeepsItsSettings) {
    printer.setIxon(true);
    start(printer.path());
    struct Case {
        int baud;
        bool paced; // takes bytes at the line's pace, not at once
        size_t length;
        const char* state;
    };
    const Case cases[] = {{19200, true, 6000, "no-answer"}, {9600, false, 96 * 1024, "ready"}};
    const std::string refused =
        answer("503 Service Unavailable", JOB_CORS, "The printer's cover is open; nothing was printed.\n");
    std::string expected;
    for (const Case& c : cases) {
        printer.setMode(PrinterMode::Ready);
        printer.setLineSpeed(c.baud, c.paced);
        const std::string longJob = "\x1b@" + std::string(c.length, 'x');
        EXPECT_EQ(PRINTED, post(longJob));
        expected += JOB_CHECK + longJob;
        ASSERT_TRUE(c.paced || printer.waitForReceived(expected.size()));
        long long started = monotonicMs();
        std::string got = status();
        EXPECT_LT(monotonicMs() - started, 1000) << c.baud;
        EXPECT_NE(std::string::npos, got.find(std::string("\"printer\": \"") + c.state + "\"")) << c.baud << got;
        expected += c.paced ? "\x10\x04\x01" : "\x10\x04\x01\x10\x04\x02\x10\x04\x03\x10\x04\x04";
        if (c.paced) {
            printer.setMode(PrinterMode::CoverOpen);
            EXPECT_EQ(refused, post("\x1b@right after"));
            EXPECT_EQ(refused, post("\x1b@and again")) << "not taken for a mute printer";
            expected += JOB_CHECK + JOB_CHECK;
        }
    }
    EXPECT_TRUE(printer.waitForReceived(expected.size()));
    EXPECT_EQ(expected.size(), printer.received().size());
    EXPECT_TRUE(expected == printer.received());
    struct termios modes = printer.lineModes();
    EXPECT_NE(0u, modes.c_iflag & IXON);
    EXPECT_EQ((speed_t)B9600, cfgetospeed(&modes));
    EXPECT_EQ((tcflag_t)CS8, modes.c_cflag & CSIZE);
}

// A long device name (here a link to the printer) is opened whole.
TEST_P(TerminalPrinterTest, LongDeviceNameIsOpenedWhole) {
    std::string link = dir.path + "/";
    link += std::string(120 - link.size(), 'l');
    ASSERT_EQ(0, symlink(printer.path().c_str(), link.c_str()));
    start(link);
    EXPECT_EQ(PRINTED, post("\x1b@post\n"));
    EXPECT_EQ("\x12", converse(server.port, "\x1b@raw\x10\x04\x04"));
    q2test::ProgramRun run = q2test::runProgram(QUORVEL2_BINARY, {"--test", "-d", link});
    EXPECT_EQ(0, run.exitStatus) << run.err;
    const std::string expected = JOB_CHECK + "\x1b@post\n\x1b@raw\x10\x04\x04";
    EXPECT_TRUE(printer.waitForReceived(expected.size() + 68));
    EXPECT_EQ(expected, printer.received().substr(0, expected.size()));
    EXPECT_EQ(expected.size() + 68, printer.received().size()) << "and the test receipt";
}

TEST_P(SimulatedPrinterTest, RawClientGetsThePrinterRepliesAndOnlyItsOwn) {
    start(printer.path());
    printer.setMode(PrinterMode::CoverOpen);
    // The first client asks twice; the second reply comes late, after it left.
    int first = connectLoopback(server.port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(sendAll(first, "\x1b@\x10\x04\x01"));
    EXPECT_EQ("\x1a", readAtLeast(first, 1));
    printer.setReplyDelayMs(300);
    ASSERT_TRUE(sendAll(first, "\x10\x04\x02"));
    close(first);
    EXPECT_TRUE(waitUntil([&] { return printer.statusRequests() == 2; }));
    usleep(400000); // the late reply is waiting in the device now

    printer.setReplyDelayMs(0);
    int second = connectLoopback(server.port);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(sendAll(second, "\x1b@\x10\x04\x04\x10\x04\x02"));
    EXPECT_EQ("\x12\x16", readAtLeast(second, 2)) << "its own replies, in order, without the late one";
    shutdown(second, SHUT_WR);
    EXPECT_EQ("", readUntilClosed(second));
    close(second);

    // A client that shuts its sending side right after asking still gets
    // the reply, every time; replies that come together are read together.
    std::string sent = "\x1b@\x10\x04\x01\x10\x04\x02\x1b@\x10\x04\x04\x10\x04\x02";
    int gotWhole = 0;
    for (int run = 0; run < 20; run++) {
        gotWhole += "\x1a" == converse(server.port, "\x10\x04\x01") ? 1 : 0;
        sent += "\x10\x04\x01";
    }
    EXPECT_EQ(20, gotWhole) << "half-closing clients that got their reply";
    const std::string all = "\x10\x04\x01\x10\x04\x02\x10\x04\x03\x10\x04\x04";
    int together = connectLoopback(server.port);
    ASSERT_GE(together, 0);
    ASSERT_TRUE(sendAll(together, all));
    char replies[16];
    EXPECT_EQ(4, recv(together, replies, sizeof(replies), 0)) << "the four replies in one read";
    close(together);
    sent += all;

    // A client that asks nothing gets nothing.
    EXPECT_EQ("", converse(server.port, "\x1b@quiet\n"));
    sent += "\x1b@quiet\n";
    EXPECT_TRUE(printer.waitForReceived(sent.size()));
    EXPECT_EQ(sent, printer.received());
}

// A POST and a raw stream after it arrive whole and in order; a network
// printer is named by its host name here, which is looked up at each job.
TEST_P(SimulatedPrinterTest, PostAndRawStreamArriveWholeAndInOrder) {
    std::string name = printer.path();
    if (GetParam() == PrinterLine::Network) {
        name.replace(name.find("127.0.0.1"), 9, "localhost");
    }
    start(name);
    std::string body(300 * 1024, 'p'); // more than the socket buffers on the way hold
    body[0] = 0x1b;
    body[body.size() - 1] = '\n';
    EXPECT_EQ(PRINTED, post(body));
    EXPECT_EQ("", converseInParts(server.port, {"\x1b@raw ", "in parts\n"}));
    const std::string expected = JOB_CHECK + body + "\x1b@raw in parts\n";
    EXPECT_TRUE(printer.waitForReceived(expected.size()));
    EXPECT_TRUE(expected == printer.received()) << printer.received().size();
}

INSTANTIATE_TEST_SUITE_P(Lines, SimulatedPrinterTest, ::testing::Values(PrinterLine::Terminal, PrinterLine::Network),
                         [](const ::testing::TestParamInfo<PrinterLine>& info) {
                             return info.param == PrinterLine::Network ? "Network" : "Terminal";
                         });

// A network printer that cannot be reached, stops reading or goes away
// mid-job fails that job visibly, and the next job connects afresh; a job is
// answered 200 only once the printer has acknowledged every byte, and the
// status of a printer that takes no connection is known within the second.
TEST_F(ServerTest, NetworkPrinterFailuresAnswer503AndTheNextJobConnectsAfresh) {
    struct Case {
        const char* what;
        void (*arrange)(SimulatedPrinter&); // null: nothing listens on the port
        size_t length;                      // of the job
        const std::string& text;
        const char* status; // the state /status then tells, or null: not asked
    };
    const Case cases[] = {
        {"refused", nullptr, 1 << 20, CANNOT_OPEN_TEXT, "unavailable"},
        {"stops reading", [](SimulatedPrinter& p) { p.setStopReading(true); }, 1 << 20, WRITE_FAILED_TEXT, nullptr},
        {"acknowledges nothing of a job the buffers hold", [](SimulatedPrinter& p) { p.setStopReading(true); },
         20 * 1024, WRITE_FAILED_TEXT, nullptr},
        {"closes mid-job", [](SimulatedPrinter& p) { p.closeAfter(1000); }, 1 << 20, WRITE_FAILED_TEXT, nullptr},
        {"takes no connection", [](SimulatedPrinter& p) { p.setQueueFull(true); }, 1000, CANNOT_OPEN_TEXT,
         "unavailable"},
    };
    const int connectMs = 1500;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedPrinter printer{q2test::NetworkPrinter{}};
        ASSERT_FALSE(printer.path().empty());
        std::string name = printer.path();
        if (nullptr == c.arrange) {
            name = "socket://127.0.0.1:" + std::to_string(q2test::pickFreePort());
        } else {
            c.arrange(printer);
        }
        start(name, {"Q2_TEST_STALL_MS=300", "Q2_TEST_CONNECT_MS=" + std::to_string(connectMs)},
              QUORVEL2_TESTHOOKS_BINARY);
        std::string body(c.length, 'x');
        body[0] = 0x1b;
        long long started = monotonicMs();
        EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, c.text),
                  converse(server.port, request("POST", "/escpos", body)));
        EXPECT_LT(monotonicMs() - started, connectMs + 1000);
        if (nullptr != c.status) {
            started = monotonicMs();
            std::string got = converse(server.port, request("GET", "/status"));
            EXPECT_LT(monotonicMs() - started, 1000);
            EXPECT_EQ(statusAnswer(unaskedJson(c.status)), got);
        }
        if (nullptr != c.arrange) {
            printer.setStopReading(false);
            printer.setQueueFull(false);
            int before = printer.connections();
            EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "\x1b@next\n")));
            EXPECT_TRUE(waitUntil([&] { return printer.received().find("\x1b@next\n") != std::string::npos; }));
            EXPECT_LE(printer.connections(), before + 9) << "one more, and those that filled its queue";
        }
        stop();
    }
}

TEST(TerminalPrinter, BytesArriveUnalteredEvenFromATerminalNobodySetToRaw) {
    SimulatedPrinter printer(true);
    ASSERT_FALSE(printer.path().empty());
    TempDir dir;
    ServerProcess server;
    std::string error;
    ASSERT_TRUE(startServer(&server, QUORVEL2_BINARY, {"--device", printer.path()}, {}, dir.path, &error)) << error;
    static const char BYTES[] = "\x1b@line\nnext\r\n\t\x7f\x03\x11\x13\0end\n";
    const std::string body(BYTES, sizeof(BYTES) - 1);
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", body)));
    EXPECT_TRUE(printer.waitForReceived(JOB_CHECK.size() + body.size()));
    EXPECT_EQ(JOB_CHECK + body, printer.received());
    ServerExit exit = stopServer(&server);
    EXPECT_FALSE(outputHasSanitizerReport(exit.err)) << exit.err;
}

// The bodies of all connections share one memory budget, counting the
// blocks they grew to with what arrived: promises of the largest body hold
// one block each, a body whose growth does not fit in what is left is
// refused, and the budget comes back when the job that held it is done.
TEST_F(ServerTest, MemoryBudgetRefusesTheOverBudgetBodyAndPrintsNothing) {
    writeFile(dir.file("printer"), "");
    const size_t FIRST_BLOCK = 65536;
    start(dir.file("printer"), {"Q2_TEST_BODY_BUDGET=" + std::to_string(2 * FIRST_BLOCK + 1050)},
          QUORVEL2_TESTHOOKS_BINARY);
    std::vector<int> promises;
    for (const char* peer : {"127.0.0.2", "127.0.0.3"}) {
        promises.push_back(connectLoopback(server.port, peer));
        ASSERT_TRUE(sendAll(promises.back(), postEscpos(lengthLine(134217728), "\x1b")));
    }
    const std::string kibibyte = "\x1b@" + std::string(1022, 'k');
    EXPECT_EQ(PRINTED, converse(server.port, postEscpos(lengthLine(kibibyte.size()), kibibyte), 1000, "127.0.0.4"))
        << "promises hold only what arrived";
    const std::string held = "\x1b@held" + std::string(592, 'h');
    int socket = connectLoopback(server.port);
    ASSERT_GE(socket, 0);
    ASSERT_TRUE(sendAll(socket, postEscpos("Expect: 100-continue\r\n" + lengthLine(held.size()))));
    ASSERT_EQ("HTTP/1.1 100 Continue\r\n\r\n", readContinue(socket));
    ASSERT_TRUE(sendAll(socket, held.substr(0, 10)));
    usleep(200 * 1000); // its block is held once these bytes are read

    const std::string second = "\x1b@second" + std::string(491, 's'); // 598 + 501 > the 1050 the promises leave
    EXPECT_EQ(answer("503 Service Unavailable", JOB_CORS, OVER_BUDGET_TEXT),
              converse(server.port, postEscpos(lengthLine(second.size()), second)));
    EXPECT_EQ(PRINTED, converse(server.port, postEscpos(lengthLine(400), std::string(400, 'f'))))
        << "what is left still serves a body that fits";
    EXPECT_EQ(kibibyte + std::string(400, 'f'), printed());

    ASSERT_TRUE(sendAll(socket, held.substr(10)));
    EXPECT_EQ(PRINTED, readUntilClosed(socket));
    close(socket);
    EXPECT_EQ(PRINTED, converse(server.port, postEscpos(lengthLine(second.size()), second)));
    EXPECT_EQ(kibibyte + std::string(400, 'f') + held + second, printed());
    for (int fd : promises) {
        close(fd);
    }
}

// A body whose memory cannot be had costs its own connection, never the
// process: under a small address-space limit the server drops that
// connection with a line and serves the next request.
TEST_F(ServerTest, BodyBeyondTheAddressSpaceDropsOnlyItsConnection) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under a small address-space limit";
#endif
    writeFile(dir.file("printer"), "");
    device = dir.file("printer");
    std::string error;
    const size_t limit = 96u << 20;
    ASSERT_TRUE(startServer(&server, QUORVEL2_BINARY, {"--device", device}, {}, dir.path, &error, limit)) << error;
    int socket = connectLoopback(server.port);
    ASSERT_GE(socket, 0);
    const std::string message = "Dropping the connection from 127.0.0.1:" + std::to_string(localPort(socket)) +
                                ": no memory for its request body of 134217728 bytes\n";
    ASSERT_TRUE(sendAll(socket, postEscpos(lengthLine(134217728))));
    const std::string piece(1 << 20, 'x');
    for (size_t sent = 0; sent < 134217728 && sendAll(socket, piece); sent += piece.size()) {
    }
    EXPECT_EQ("", readUntilClosed(socket)) << "a dropped connection gets no answer";
    close(socket);
    EXPECT_TRUE(waitUntil([&] { return server.currentOutput().find(message) != std::string::npos; }))
        << server.currentOutput();
    EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "\x1b@after")));
    EXPECT_EQ("\x1b@after", printed());
}

// ---- Jobs: their ids, their keys and their log ---------------------------------

const std::string REPLAYED = "Idempotent-Replayed: true\r\n";
const std::string KEY_TEXT = "The Idempotency-Key must be 1 to 255 visible ASCII characters; nothing was printed.\n";
const std::string OTHER_BODY_TEXT = "This Idempotency-Key came with another body before; nothing was printed.\n";
const std::string INTERRUPTED_TEXT = "The first attempt with this Idempotency-Key was interrupted and may have "
                                     "printed in part; nothing was printed.\n";

std::string keyedPost(const std::string& key, const std::string& body) {
    return postEscpos("Idempotency-Key: " + key + "\r\n" + lengthLine(body.size()), body);
}

// What GET /jobs<query> lists (discarded when it is not JSON).
nlohmann::json jobsListed(int port, const std::string& query = "") {
    std::string got = converse(port, request("GET", "/jobs" + query));
    return nlohmann::json::parse(got.substr(got.find("\r\n\r\n") + 4), nullptr, false);
}

// The first job with the key that /jobs lists, or null.
nlohmann::json jobWithKey(int port, const std::string& key) {
    nlohmann::json first;
    for (const nlohmann::json& job : jobsListed(port)) {
        first = job["key"] == key ? job : first;
    }
    return first;
}

class JobTest : public PrinterFileTest {
  protected:
    int holder = -1;

    // A raw stream that holds the printer until release().
    void holdPrinter() {
        holder = connectLoopback(server.port);
        ASSERT_TRUE(sendAll(holder, "\x1b@held\n"));
        ASSERT_TRUE(waitUntil([&] { return printed().find("held") != std::string::npos; }));
    }
    void release() {
        close(holder);
    }
    // Sends a keyed job that waits for the held printer, once its start is on the disk.
    int sendWaitingJob(const std::string& key, const std::string& body) {
        int client = connectLoopback(server.port);
        EXPECT_TRUE(sendAll(client, keyedPost(key, body)));
        EXPECT_TRUE(waitUntil([&] { return readFile(dir.file("state/jobs.log")).find(key) != std::string::npos; }));
        return client;
    }
};

TEST_F(JobTest, KeyedRequestsPrintOncePerKey) {
    struct Case {
        std::string name, key, body, statusLine, reason;
        bool replayed;
        std::string printed;
    };
    const std::string longest(255, 'k'), ok = "200 OK", bad = "400 Bad Request";
    const Case cases[] = {
        {"FirstPrints", "k-1", "\x1b@one\n", ok, "", false, "\x1b@one\n"},
        {"SameKeyAndBodyIsTheFirstAnswer", "k-1", "\x1b@one\n", ok, "", true, ""},
        {"OtherBody", "k-1", "\x1b@two\n", "422 Unprocessable Content", OTHER_BODY_TEXT, false, ""},
        {"LongestKey", longest, "\x1b@long\n", ok, "", false, "\x1b@long\n"},
        {"KeyTooLong", longest + "k", "x", bad, KEY_TEXT, false, ""},
        {"BlankInTheKey", "a b", "x", bad, KEY_TEXT, false, ""},
        {"NotASCII", "k\xc3\xa9", "x", bad, KEY_TEXT, false, ""},
    };
    std::string firstId;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string before = printed(), id;
        std::string got = withJobIdMasked(q2test::converse(server.port, keyedPost(c.key, c.body)), &id);
        EXPECT_EQ(answer(c.statusLine, JOB_CORS + (c.replayed ? REPLAYED : ""), c.reason), got);
        EXPECT_EQ(c.printed, printed().substr(before.size()));
        firstId = firstId.empty() ? id : firstId;
        EXPECT_EQ(c.replayed, id == firstId && c.name != "FirstPrints") << id;
    }
}

TEST_F(JobTest, RetryOfAClientThatGaveUpGetsTheFirstJobsAnswer) {
    holdPrinter();
    closeWithReset(sendWaitingJob("gave-up", "\x1b@once\n"));
    release();
    ASSERT_TRUE(waitUntil([&] { return printed() == "\x1b@held\n\x1b@once\n"; })) << printed();
    std::string id;
    EXPECT_EQ(answer("200 OK", JOB_CORS + REPLAYED),
              withJobIdMasked(q2test::converse(server.port, keyedPost("gave-up", "\x1b@once\n")), &id));
    EXPECT_EQ(id, jobWithKey(server.port, "gave-up")["id"]);
    EXPECT_EQ("\x1b@held\n\x1b@once\n", printed());
}

TEST_F(JobTest, EightRequestsWithOneKeyAtOncePrintOnce) {
    holdPrinter();
    std::vector<std::string> answers(8), ids(8);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < answers.size(); i++) {
        clients.emplace_back([&, i] {
            answers[i] = withJobIdMasked(q2test::converse(server.port, keyedPost("eight", "\x1b@eight\n")), &ids[i]);
        });
    }
    usleep(300000); // the requests arrive and wait
    release();
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(7, std::count(answers.begin(), answers.end(), answer("200 OK", JOB_CORS + REPLAYED)));
    EXPECT_EQ(1, std::count(answers.begin(), answers.end(), PRINTED));
    EXPECT_EQ(8, std::count(ids.begin(), ids.end(), ids[0]));
    EXPECT_EQ("\x1b@held\n\x1b@eight\n", printed());
}

TEST_F(JobTest, KeysOutliveARestartAndAJobCutByAKillIsNotPrintedAgain) {
    std::string id;
    EXPECT_EQ(PRINTED, withJobIdMasked(q2test::converse(server.port, keyedPost("kept", "\x1b@kept\n")), &id));
    holdPrinter();
    int client = sendWaitingJob("cut", "\x1b@cut\n");
    kill(server.pid, SIGKILL);
    stopServer(&server);
    close(client);
    release();
    start(device);
    std::string replayedId;
    EXPECT_EQ(answer("200 OK", JOB_CORS + REPLAYED),
              withJobIdMasked(q2test::converse(server.port, keyedPost("kept", "\x1b@kept\n")), &replayedId));
    EXPECT_EQ(id, replayedId);
    EXPECT_EQ(answer("409 Conflict", JOB_CORS, INTERRUPTED_TEXT),
              converse(server.port, keyedPost("cut", "\x1b@cut\n")));
    EXPECT_EQ("interrupted", jobWithKey(server.port, "cut")["result"]);
    EXPECT_EQ("\x1b@kept\n\x1b@held\n", printed());
}

// Web jobs and raw streams, printed and refused, as /jobs lists them and
// /jobs/<id> shows them, newest first, never with their bytes.
TEST_F(JobTest, JobsTellWhatPrintedAndWhatWasRefused) {
    const std::string shop = "Origin: http://shop.example\r\n";
    converse(server.port, postEscpos(shop + lengthLine(8), "\x1b@secret"));
    converse(server.port, postEscpos("Content-Type: application/ipp\r\n" + lengthLine(4), "ippx"));
    converse(server.port, "\x1b@raw secret\n");
    converse(server.port, "\x10\x04\x01");                       // asks the printer's state only: no job
    converse(server.port, std::string("\x1d(L\x10\x00\x30", 6)); // a command half sent holds the printer: a job
    struct Row {
        const char *kind, *origin;
        int received, printed;
        const char* result;
        nlohmann::json status, reason;
    };
    const Row rows[] = {
        {"raw", nullptr, 6, 6, "printed", nullptr, nullptr},
        {"raw", nullptr, 13, 13, "printed", nullptr, nullptr},
        {"web", nullptr, 4, 0, "refused", 415, IPP_TEXT},
        {"web", "http://shop.example", 8, 8, "printed", 200, nullptr},
    };
    nlohmann::json jobs = jobsListed(server.port);
    ASSERT_EQ(4u, jobs.size()) << jobs;
    for (size_t i = 0; i < 4; i++) {
        const nlohmann::json& job = jobs[i];
        SCOPED_TRACE(job.dump());
        EXPECT_EQ(rows[i].kind, job["kind"]);
        EXPECT_EQ(nullptr == rows[i].origin ? nlohmann::json() : rows[i].origin, job["origin"]);
        EXPECT_EQ("127.0.0.1", job["peer"]);
        EXPECT_EQ(rows[i].received, job["bytesReceived"]);
        EXPECT_EQ(rows[i].printed, job["bytesPrinted"]);
        EXPECT_EQ(rows[i].result, job["result"]);
        EXPECT_EQ(rows[i].status, job["status"]);
        EXPECT_EQ(rows[i].reason, job["reason"]);
        EXPECT_EQ(24u, job["done"].get<std::string>().size()) << "an ISO 8601 time in UTC, to the millisecond";
        EXPECT_EQ(job, jobsListed(server.port, "/" + job["id"].get<std::string>()));
    }
    EXPECT_EQ(jobs[0], jobsListed(server.port, "?limit=1")[0]);
    EXPECT_EQ(1u, jobsListed(server.port, "?limit=1").size());
    std::string page = converse(server.port, "GET /jobs HTTP/1.1\r\nAccept: text/html,*/*;q=0.8\r\n\r\n");
    EXPECT_NE(std::string::npos, page.find("Content-Type: text/html\r\n"));
    EXPECT_NE(std::string::npos, page.find(jobs[3]["id"].get<std::string>()));
    for (const std::string& answer : {converse(server.port, request("GET", "/jobs")), page}) {
        EXPECT_EQ(std::string::npos, answer.find("secret")) << "no job bytes";
    }
    EXPECT_EQ(0u, converse(server.port, request("GET", "/jobs/0000")).find("HTTP/1.1 404 Not Found\r\n"));
}

// A script that starts `binary` with `folder` mounted read-only in a mount
// namespace of its own (root passes permission bits by), a server
// certificate made earlier there first copied to the port it gets; "" when
// this machine does not let a test do that.
std::string readOnlyStarter(const TempDir& dir, const std::string& folder, const std::string& binary) {
    const std::string mount = "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && ";
    const std::string script =
        dir.addFile("read-only.sh", "#!/bin/sh\ncp '" + folder + "'/server-*.pem '" + folder +
                                        "'/server-$2.pem\nexec /usr/bin/unshare -m sh -c '" + mount + "exec \"$@\"' '" +
                                        folder + "' '" + binary + "' \"$@\"\n");
    bool refused =
        0 != q2test::runProgram("/usr/bin/unshare", {"-m", "sh", "-c", mount + "! touch \"$0/x\"", folder}).exitStatus;
    return refused || 0 != chmod(script.c_str(), 0755) ? "" : script;
}

// A log that cannot be written (a folder where its file would be, a
// read-only state folder) never stops printing; only jobs with a key are
// refused, and /status says why. A read-only folder serves HTTPS with the
// certificates made in it earlier, and without them refuses TLS as a
// server without a certificate does.
TEST_F(ServerTest, UnwritableJobLogPrintsUnkeyedJobsAndRefusesKeyedOnes) {
    const struct {
        std::string name, why;
        bool readOnly, https;
    } rows[] = {
        {"folder", "Is a directory", false, true},
        {"empty", "Read-only file system", true, false},
        {"earlier", "Read-only file system", true, true},
    };
    for (const auto& row : rows) {
        const std::string folder = dir.file(row.name), environment = "STATE_DIRECTORY=" + folder;
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
        writeFile(dir.file(row.name + "-printer"), "");
        std::string binary = row.readOnly ? readOnlyStarter(dir, folder, QUORVEL2_BINARY) : QUORVEL2_BINARY;
        if (binary.empty()) {
            GTEST_SKIP() << "a read-only state folder needs unshare -m and mount, which this machine refuses";
        } else if (!row.readOnly) {
            ASSERT_EQ(0, mkdir((folder + "/jobs.log").c_str(), 0700));
        } else if (row.https) {
            start(dir.file(row.name + "-printer"), {environment}); // makes the certificates
            stop();
        }
        start(dir.file(row.name + "-printer"), {environment}, binary);
        EXPECT_EQ(PRINTED, converse(server.port, request("POST", "/escpos", "\x1b@plain"))) << row.name;
        const std::string problem = "The job log " + folder + "/jobs.log cannot be opened (" + row.why + ").";
        EXPECT_EQ(
            answer("503 Service Unavailable", JOB_CORS,
                   problem + " A job with an Idempotency-Key could print twice without it; nothing was printed.\n"),
            converse(server.port, keyedPost("k", "\x1b@keyed")));
        EXPECT_NE(std::string::npos,
                  converse(server.port, request("GET", "/status")).find("\"jobLog\": \"" + problem + "\"}"));
        std::vector<std::string> curl = {"-sS",
                                         "-o",
                                         "/dev/null",
                                         "-w",
                                         "%{http_code}",
                                         "--cacert",
                                         folder + "/ca.crt",
                                         "--data-binary",
                                         "+tls",
                                         "https://127.0.0.1:" + std::to_string(server.port) + "/escpos"};
        EXPECT_EQ(row.https ? "200" : "000", q2test::runProgram("/usr/bin/curl", curl).out) << row.name;
        EXPECT_EQ(row.https ? "\x1b@plain+tls" : "\x1b@plain", printed()) << row.name;
        EXPECT_EQ(!row.https, std::string::npos != server.currentOutput().find("(a TLS handshake: this port speaks "
                                                                               "http://, not https://)"));
        stop();
    }
}

} // namespace
