// The request parser: one table of well-formed requests and one of inputs
// that must be cut, flagged or left incomplete, each run whole, split at
// every position (and byte by byte) and as prefixes; then the warning lines
// and header lookup.
#include <algorithm>

#include "core_support.h"

using namespace std::string_literals;

namespace {

const size_t kNever = (size_t)-1;

struct ParserCase {
    std::string name;
    std::string input;
    std::string method, path, pathDecoded, version;
    std::vector<std::pair<std::string, std::string>> headers;
    bool hasBodyBlock = false;
    size_t bodyCapacity = 0;
    std::string body;
    Warnings warnings{};
    RequestBodyStatus bodyStatus = RequestBodyStatusNone;
    RequestParseState state = RequestParseStateDone;
    size_t completesAt = 0;     // bytes that complete the request; kNever: never
    size_t poolOffset = kNever; // checked when set

    ParserCase(std::string caseName, std::string bytes) : name(std::move(caseName)), input(std::move(bytes)) {
        completesAt = input.size();
    }
    ParserCase& line(const std::string& m, const std::string& p, const std::string& v) {
        method = m;
        path = p;
        pathDecoded = p;
        version = v;
        return *this;
    }
    ParserCase& decoded(const std::string& d) {
        pathDecoded = d;
        return *this;
    }
    ParserCase& header(const std::string& n, const std::string& v) {
        headers.emplace_back(n, v);
        return *this;
    }
    ParserCase& bodyBlock(size_t capacity, const std::string& bytes) {
        hasBodyBlock = true;
        bodyCapacity = capacity;
        body = bytes;
        if (bodyStatus == RequestBodyStatusNone) {
            bodyStatus = RequestBodyStatusLength;
        }
        return *this;
    }
    ParserCase& framing(RequestBodyStatus status) {
        bodyStatus = status;
        return *this;
    }
    // Refused at the byte that completes `prefix`: the rest is never read.
    ParserCase& refusedAfter(RequestBodyStatus status, const std::string& prefix) {
        bodyStatus = status;
        completesAt = prefix.size();
        return *this;
    }
    ParserCase& warn(bool Warnings::*flag) {
        warnings.*flag = true;
        return *this;
    }
    ParserCase& stopsIn(RequestParseState s) {
        state = s;
        completesAt = kNever;
        return *this;
    }
    ParserCase& completesAfter(size_t bytes) {
        completesAt = bytes;
        return *this;
    }
    ParserCase& pool(size_t offset) {
        poolOffset = offset;
        return *this;
    }
};

void PrintTo(const ParserCase& c, std::ostream* os) {
    *os << c.name;
}

void expectCase(const ParserCase& c, const Request& r) {
    EXPECT_EQ(c.method, std::string(r.method, r.methodLength));
    EXPECT_EQ(c.path, std::string(r.path, r.pathLength));
    EXPECT_EQ(c.pathDecoded, std::string(r.pathDecoded, r.pathDecodedLength));
    EXPECT_EQ(c.version, std::string(r.version, r.versionLength));
    EXPECT_EQ(c.headers.size(), r.headersCount);
    EXPECT_EQ(c.headers, headerTexts(r));
    EXPECT_EQ(c.hasBodyBlock, r.body.contents != NULL);
    EXPECT_EQ(c.bodyCapacity, r.body.capacity);
    EXPECT_EQ(c.body, bodyText(r));
    EXPECT_EQ(warningsText(c.warnings), warningsText(r.warnings));
    EXPECT_EQ(c.bodyStatus, r.bodyStatus);
    EXPECT_EQ(c.state, r.state);
    if (c.poolOffset != kNever) {
        EXPECT_EQ(c.poolOffset, r.headersStringPoolOffset);
    }
    expectRequestInvariants(r);
}

const std::string kLine = "GET / HTTP/1.1\r\n";

std::vector<ParserCase> wellFormedRequests() {
    std::vector<ParserCase> cases;
    cases.push_back(ParserCase("MinimalGet", kLine + "\r\n").line("GET", "/", "HTTP/1.1"));
    cases.push_back(ParserCase("BrowserGet", "GET /index.html?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8090\r\n"
                                             "User-Agent: Mozilla/5.0 (X11; Linux)\r\nAccept: */*\r\n\r\n")
                        .line("GET", "/index.html?x=1", "HTTP/1.1")
                        .header("Host", "127.0.0.1:8090")
                        .header("User-Agent", "Mozilla/5.0 (X11; Linux)")
                        .header("Accept", "*/*"));
    cases.push_back(ParserCase("PostWithBinaryBody", "POST /escpos HTTP/1.1\r\nHost: a\r\n"
                                                     "Content-Type: application/octet-stream\r\n"
                                                     "Content-Length: 11\r\n\r\n\x1b@Hello\r\n\0\x1d"s)
                        .line("POST", "/escpos", "HTTP/1.1")
                        .header("Host", "a")
                        .header("Content-Type", "application/octet-stream")
                        .header("Content-Length", "11")
                        .bodyBlock(11, "\x1b@Hello\r\n\0\x1d"s));
    cases.push_back(ParserCase("PreflightOptions", "OPTIONS /escpos HTTP/1.1\r\nOrigin: http://localhost:3000\r\n"
                                                   "Access-Control-Request-Method: POST\r\n"
                                                   "Access-Control-Request-Headers: content-type\r\n\r\n")
                        .line("OPTIONS", "/escpos", "HTTP/1.1")
                        .header("Origin", "http://localhost:3000")
                        .header("Access-Control-Request-Method", "POST")
                        .header("Access-Control-Request-Headers", "content-type"));
    cases.push_back(ParserCase("LengthHeaderFoundInAnyLetterCase", kLine + "cONTENT-lENGTH: 3\r\n\r\nabc")
                        .line("GET", "/", "HTTP/1.1")
                        .header("cONTENT-lENGTH", "3")
                        .bodyBlock(3, "abc"));
    cases.push_back(ParserCase("BodyOfOneByte", kLine + "Content-Length: 1\r\n\r\nZ")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "1")
                        .bodyBlock(1, "Z"));
    cases.push_back(ParserCase("ValueKeepsTabAndInnerAndTrailingSpaces",
                               kLine + "X-A:    spaced  value  \r\nX-Tab: \tv\r\nX-B:v\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("X-A", "spaced  value  ")
                        .header("X-Tab", "\tv")
                        .header("X-B", "v"));
    cases.push_back(ParserCase("TargetIsDecoded", "GET /a%20b+c%2Fd%00e?q=%41 HTTP/1.1\r\n\r\n")
                        .line("GET", "/a%20b+c%2Fd%00e?q=%41", "HTTP/1.1")
                        .decoded("/a b c/d\0e?q=A"s));
    cases.push_back(ParserCase("SecondSpaceEndsAnEmptyTarget", "GET  HTTP/1.1\r\n\r\n").line("GET", "", "HTTP/1.1"));
    cases.push_back(
        ParserCase("LaterSpacesBelongToVersion", "GET / HTTP/1.1 x\r\n\r\n").line("GET", "/", "HTTP/1.1 x"));
    cases.push_back(ParserCase("BareLFInMethodIsStoredAndRefused", "G\nET / HTTP/1.1\r\n\r\n")
                        .line("G\nET", "/", "HTTP/1.1")
                        .framing(RequestBodyStatusRequestLineControl));
    cases.push_back(ParserCase("ByteAfterRequestLineCRIsDropped", "GET / HTTP/1.1\rXHost: a\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Host", "a")
                        .framing(RequestBodyStatusHeadMalformed));
    cases.push_back(ParserCase("BareLFInValueIsStored", kLine + "X: a\nb\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("X", "a\nb"));
    cases.push_back(
        ParserCase("HeadersWithEmptyValueAreNotCounted", kLine + "X-Empty:\r\nX-Blank:   \r\nHost: a\r\n\r\n")
            .line("GET", "/", "HTTP/1.1")
            .header("Host", "a"));
    // A colon as the first byte of a line ends an empty name at once.
    cases.push_back(ParserCase("LeadingColonMakesAnEmptyName", kLine + ":Content-Length: 5\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .framing(RequestBodyStatusHeadMalformed));
    // After a CR that no LF follows, the next byte is lost, here the 'Y'.
    cases.push_back(ParserCase("CRWithoutLFInsideHead", kLine + "X: a\rY: b\r\nZ: c\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("X", "a")
                        .header("Z", "c")
                        .framing(RequestBodyStatusHeadMalformed));
    cases.push_back(ParserCase("CRWithoutLFAtEmptyLine", kLine + "A: 1\r\n\rXB: 2\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("A", "1")
                        .header("B", "2")
                        .framing(RequestBodyStatusHeadMalformed));
    cases.push_back(ParserCase("ContentLengthZero", kLine + "Content-Length: 0\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "0")
                        .framing(RequestBodyStatusLength));
    // A length that is not plain digits must not be guessed at: no body is read.
    const std::pair<const char*, const char*> invalidLengths[] = {
        {"Negative", "-5"},          {"WithoutDigits", "abc"}, {"SignWithoutDigits", "+"}, {"WithTrailingText", "4xyz"},
        {"AfterTabAndPlus", "\t+3"}, {"Hexadecimal", "0x10"},  {"List", "3, 3"},
    };
    for (const auto& invalid : invalidLengths) {
        cases.push_back(ParserCase(std::string("ContentLength") + invalid.first,
                                   kLine + "Content-Length: " + invalid.second + "\r\n\r\n")
                            .line("GET", "/", "HTTP/1.1")
                            .header("Content-Length", invalid.second)
                            .framing(RequestBodyStatusLengthInvalid));
    }
    cases.push_back(ParserCase("ContentLengthWithBlanksAround", kLine + "Content-Length: \t3 \t\r\n\r\nabc")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "\t3 \t")
                        .bodyBlock(3, "abc"));
    cases.push_back(ParserCase("ConflictingContentLengths", kLine + "Content-Length: 3\r\nContent-Length: 5\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "3")
                        .header("Content-Length", "5")
                        .framing(RequestBodyStatusLengthInvalid));
    cases.push_back(ParserCase("EqualContentLengthsAgree", kLine + "Content-Length: 3\r\ncontent-length: 3\r\n\r\nabc")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "3")
                        .header("content-length", "3")
                        .bodyBlock(3, "abc"));
    cases.push_back(ParserCase("SpaceBeforeColonIsMalformed", kLine + "Content-Length : 3\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length ", "3")
                        .framing(RequestBodyStatusHeadMalformed));
    cases.push_back(ParserCase("LineWithoutColonIsMalformed", kLine + "Content-Length 3\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .framing(RequestBodyStatusHeadMalformed));

    const std::string chunkedHead = "POST /escpos HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    auto chunked = [&](const std::string& name, const std::string& chunks) {
        return ParserCase(name, chunkedHead + chunks)
            .line("POST", "/escpos", "HTTP/1.1")
            .header("Transfer-Encoding", "chunked")
            .framing(RequestBodyStatusChunked);
    };
    cases.push_back(chunked("ChunkedOneChunk", "5\r\nhello\r\n0\r\n\r\n").bodyBlock(5, "hello"));
    cases.push_back(
        chunked("ChunkedManyWithHexSizes", "a\r\n0123456789\r\n1A\r\n" + std::string(26, 'z') + "\r\n00\r\n\r\n")
            .bodyBlock(36, "0123456789" + std::string(26, 'z')));
    cases.push_back(
        chunked("ChunkedOneByteChunks", "1\r\n\x1b\r\n1\r\n@\r\n1\r\n\0\r\n0\r\n\r\n"s).bodyBlock(3, "\x1b@\0"s));
    cases.push_back(
        chunked("ChunkedDataHoldsLineEnds", "7\r\n\r\n0\r\n\r\n\r\n0\r\n\r\n").bodyBlock(7, "\r\n0\r\n\r\n"));
    cases.push_back(chunked("ChunkedExtensionsAndTrailersAreDropped",
                            "4;name=value;x\r\nabcd\r\n3 ; ext=\"q\"\r\nefg\r\n0;last\r\nTrailer-A: 1\r\nX: y\r\n\r\n")
                        .bodyBlock(7, "abcdefg"));
    cases.push_back(chunked("ChunkedEmptyBody", "0\r\n\r\n"));
    cases.push_back(ParserCase("ChunkedCodingIgnoresCaseAndTrailingBlanks",
                               kLine + "Transfer-Encoding: CHUNKED \t\r\n\r\n2\r\nok\r\n0\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Transfer-Encoding", "CHUNKED \t")
                        .bodyBlock(2, "ok")
                        .framing(RequestBodyStatusChunked));
    // The lookup compares whole names, so a NUL inside one is no early end.
    cases.push_back(ParserCase("NulInsideNameHidesTheLength", kLine + "Content-Length\0x: 3\r\n\r\n"s)
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length\0x"s, "3"));
    cases.push_back(
        ParserCase("BodyOfExactlyTheFirstBlock", kLine + "Content-Length: 65536\r\n\r\n" + std::string(65536, 'b'))
            .line("GET", "/", "HTTP/1.1")
            .header("Content-Length", "65536")
            .bodyBlock(65536, std::string(65536, 'b')));
    return cases;
}

std::string headerLines(size_t count, size_t lengthHeaderAt = kNever) {
    std::string lines;
    for (size_t i = 0; i < count; i++) {
        if (i == lengthHeaderAt) {
            lines += "Content-Length: 2\r\n";
        } else {
            char line[32];
            snprintf(line, sizeof line, "H%02zu: v\r\n", i);
            lines += line;
        }
    }
    return lines;
}

ParserCase& withHeaderLines(ParserCase& c, size_t count, size_t lengthHeaderAt = kNever) {
    for (size_t i = 0; i < count; i++) {
        if (i == lengthHeaderAt) {
            c.header("Content-Length", "2");
        } else {
            char n[32];
            snprintf(n, sizeof n, "H%02zu", i);
            c.header(n, "v");
        }
    }
    return c;
}

// A pool holding name "N" (index 0) and a value of valueLength bytes from
// index 2 ends at offset valueLength + 2.
std::string poolFiller(size_t valueLength) {
    return "N: " + std::string(valueLength, 'v') + "\r\n";
}

std::vector<ParserCase> cutOrFlaggedRequests() {
    std::vector<ParserCase> cases;
    const std::string m63(63, 'M'), t1023 = "/" + std::string(1022, 't'), v15 = "HTTP/1.1-abcdef";

    cases.push_back(ParserCase("MethodOf63IsKept", m63 + " / HTTP/1.1\r\n\r\n").line(m63, "/", "HTTP/1.1"));
    cases.push_back(ParserCase("MethodOf64IsCut", m63 + "X / HTTP/1.1\r\n\r\n")
                        .line(m63, "/", "HTTP/1.1")
                        .warn(&Warnings::methodTruncated)
                        .framing(RequestBodyStatusHeadCut));
    cases.push_back(
        ParserCase("TargetOf1023IsKept", "GET " + t1023 + " HTTP/1.1\r\n\r\n").line("GET", t1023, "HTTP/1.1"));
    cases.push_back(ParserCase("TargetOf1024IsCut", "GET " + t1023 + "X HTTP/1.1\r\n\r\n")
                        .line("GET", t1023, "HTTP/1.1")
                        .warn(&Warnings::pathTruncated)
                        .framing(RequestBodyStatusHeadCut));
    cases.push_back(ParserCase("VersionOf15IsKept", "GET / " + v15 + "\r\n\r\n").line("GET", "/", v15));
    cases.push_back(ParserCase("VersionOf16IsCut", "GET / " + v15 + "X\r\n\r\n")
                        .line("GET", "/", v15)
                        .warn(&Warnings::versionTruncated)
                        .framing(RequestBodyStatusHeadCut));

    ParserCase h64("SixtyFourHeadersAreKept", kLine + headerLines(64, 10) + "\r\nab");
    withHeaderLines(h64.line("GET", "/", "HTTP/1.1"), 64, 10).bodyBlock(2, "ab");
    cases.push_back(h64);
    // A cut head is complete at its empty line: its body is never read.
    ParserCase h65("SixtyFifthHeaderIsSkipped", kLine + headerLines(66, 10) + "\r\nab");
    withHeaderLines(h65.line("GET", "/", "HTTP/1.1"), 64, 10)
        .warn(&Warnings::tooManyHeaders)
        .refusedAfter(RequestBodyStatusHeadCut, kLine + headerLines(66, 10) + "\r\n");
    cases.push_back(h65);
    ParserCase lengthSkipped("LengthHeaderBeyondSixtyFourIsIgnored", kLine + headerLines(65, 64) + "\r\n");
    withHeaderLines(lengthSkipped.line("GET", "/", "HTTP/1.1"), 64)
        .warn(&Warnings::tooManyHeaders)
        .framing(RequestBodyStatusHeadCut);
    cases.push_back(lengthSkipped);

    cases.push_back(ParserCase("PoolFilledToItsLastWritableByte", kLine + poolFiller(8185) + "\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("N", std::string(8185, 'v'))
                        .pool(8187));
    cases.push_back(ParserCase("PoolOverflowCutsTheValue", kLine + poolFiller(8186) + "Content-Length: 1\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("N", std::string(8185, 'v'))
                        .warn(&Warnings::headersStringPoolExhausted)
                        .framing(RequestBodyStatusHeadCut)
                        .pool(8187));
    cases.push_back(
        ParserCase("HeaderAfterFullPoolIsDropped", kLine + poolFiller(8185) + "Content-Length: 1\r\nHost: a\r\n\r\n")
            .line("GET", "/", "HTTP/1.1")
            .header("N", std::string(8185, 'v'))
            .warn(&Warnings::headersStringPoolExhausted)
            .framing(RequestBodyStatusHeadCut)
            .pool(8187));
    cases.push_back(ParserCase("NameStartedAtOffset8186TakesNoByte", kLine + poolFiller(8184) + "Ab: c\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("N", std::string(8184, 'v'))
                        .warn(&Warnings::headersStringPoolExhausted)
                        .framing(RequestBodyStatusHeadCut)
                        .pool(8187));
    cases.push_back(ParserCase("ValueCutAtOffset8187IsStillCounted", kLine + poolFiller(8181) + "A: cd\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("N", std::string(8181, 'v'))
                        .header("A", "c")
                        .warn(&Warnings::headersStringPoolExhausted)
                        .framing(RequestBodyStatusHeadCut)
                        .pool(8187));

    const std::string lengthLine = kLine + "Content-Length: ";
    // The block follows what arrived, never the declared length up front.
    cases.push_back(ParserCase("LengthOf128MiBIsKept", lengthLine + "134217728\r\n\r\nab")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "134217728")
                        .bodyBlock(65536, "ab")
                        .stopsIn(RequestParseStateBody));
    // 2^32 + 5: a length that wrapped to 32 bits would read as 5.
    const std::pair<const char*, const char*> tooLarge[] = {
        {"LengthAbove128MiBIsRefused", "134217729"},
        {"LengthAbove32BitRangeDoesNotWrap", "4294967301"},
        {"LengthOfTwentyDigitsIsRefused", "99999999999999999999"},
    };
    for (const auto& large : tooLarge) {
        std::string head = lengthLine + large.second + "\r\n\r\n";
        cases.push_back(ParserCase(large.first, head + "abcde")
                            .line("GET", "/", "HTTP/1.1")
                            .header("Content-Length", large.second)
                            .refusedAfter(RequestBodyStatusTooLarge, head));
    }
    cases.push_back(ParserCase("LengthBelow32BitRangeIsInvalid", lengthLine + "-4294967301\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "-4294967301")
                        .framing(RequestBodyStatusLengthInvalid));
    const std::string bothHead = kLine + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n";
    cases.push_back(ParserCase("LengthAndTransferCodingTogether", bothHead + "5\r\nhello\r\n0\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "5")
                        .header("Transfer-Encoding", "chunked")
                        .refusedAfter(RequestBodyStatusLengthAndTransferCoding, bothHead));
    const std::pair<const char*, const char*> otherCodings[] = {
        {"GzipThenChunkedIsNotImplemented", "Transfer-Encoding: gzip, chunked\r\n"},
        {"IdentityIsNotImplemented", "Transfer-Encoding: identity\r\n"},
        {"TwoCodingHeadersAreNotImplemented", "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"},
    };
    for (const auto& coding : otherCodings) {
        std::string head = kLine + coding.second + "\r\n";
        ParserCase c(coding.first, head + "0\r\n\r\n");
        c.line("GET", "/", "HTTP/1.1").refusedAfter(RequestBodyStatusTransferCodingUnsupported, head);
        c.headers = headerTexts(*parseWhole(head));
        cases.push_back(c);
    }

    // Broken chunk syntax ends the request at the byte that breaks it, and
    // what was stored of the body is given back.
    const std::string chunkedHead = kLine + "Transfer-Encoding: chunked\r\n\r\n";
    const std::pair<const char*, const char*> malformedChunks[] = {
        {"ChunkSizeWithoutDigits", "\r"},
        {"ChunkSizeWithSign", "+"},
        {"ChunkSizeWithTrailingLetter", "5x"},
        {"ChunkSizeLineWithBareLF", "5\n"},
        {"ChunkExtensionWithBareLF", "5;a\n"},
        {"ChunkSizeCRWithoutLF", "5\rx"},
        {"ChunkDataLongerThanItsSize", "3\r\nabcd"},
        {"ChunkDataCRWithoutLF", "3\r\nabc\rx"},
        {"TrailerLineCRWithoutLF", "0\r\nX: 1\rx"},
        {"LastLineCRWithoutLF", "1\r\na\r\n0\r\n\rx"},
    };
    for (const auto& malformed : malformedChunks) {
        std::string upToFault = chunkedHead + malformed.second;
        cases.push_back(ParserCase(malformed.first, upToFault + "\r\n0\r\n\r\n")
                            .line("GET", "/", "HTTP/1.1")
                            .header("Transfer-Encoding", "chunked")
                            .refusedAfter(RequestBodyStatusChunkMalformed, upToFault));
    }
    std::string longLine = chunkedHead + "1;" + std::string(REQUEST_MAX_CHUNK_LINE_LENGTH - 2, 'e');
    cases.push_back(ParserCase("ChunkLineAtItsLimitIsRead", longLine + "\r\nz\r\n0\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Transfer-Encoding", "chunked")
                        .bodyBlock(1, "z")
                        .framing(RequestBodyStatusChunked));
    cases.push_back(ParserCase("ChunkLineBeyondItsLimitIsMalformed", longLine + "e\r\nz\r\n0\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Transfer-Encoding", "chunked")
                        .refusedAfter(RequestBodyStatusChunkMalformed, longLine + "e"));
    cases.push_back(ParserCase("ChunkOf128MiBIsKept", chunkedHead + "8000000\r\nab")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Transfer-Encoding", "chunked")
                        .bodyBlock(65536, "ab")
                        .framing(RequestBodyStatusChunked)
                        .stopsIn(RequestParseStateChunkData));
    cases.push_back(ParserCase("ChunkPastTheLimitIsRefused", chunkedHead + "8000001\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Transfer-Encoding", "chunked")
                        .refusedAfter(RequestBodyStatusTooLarge, chunkedHead + "8000001"));
    cases.push_back(ParserCase("ChunksSummingPastTheLimitAreRefused", chunkedHead + "1\r\na\r\n8000000\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Transfer-Encoding", "chunked")
                        .refusedAfter(RequestBodyStatusTooLarge, chunkedHead + "1\r\na\r\n8000000"));
    cases.push_back(ParserCase("ChunkSizeOfManyDigitsCannotOverflow", chunkedHead + "10000000000000000005\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Transfer-Encoding", "chunked")
                        .refusedAfter(RequestBodyStatusTooLarge, chunkedHead + "10000000"));

    const std::string withBody = lengthLine + "3\r\n\r\n";
    cases.push_back(ParserCase("BodyBeyondDeclaredLengthIsCut", withBody + "abcdef")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "3")
                        .bodyBlock(3, "abc")
                        .warn(&Warnings::bodyTruncated)
                        .completesAfter(withBody.size() + 3));
    cases.push_back(ParserCase("ShortBodyNeverCompletes", withBody + "ab")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Content-Length", "3")
                        .bodyBlock(3, "ab")
                        .stopsIn(RequestParseStateBody));
    cases.push_back(ParserCase("BytesAfterRequestWithoutBodyLeaveNoTrace", kLine + "\r\n" + kLine + "\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .completesAfter(kLine.size() + 2));
    cases.push_back(ParserCase("BareLFLineEndsNeverComplete", "GET / HTTP/1.1\nHost: a\n\n")
                        .line("GET", "/", "HTTP/1.1\nHost: ")
                        .warn(&Warnings::versionTruncated)
                        .stopsIn(RequestParseStateVersion));
    cases.push_back(ParserCase("TargetWithoutSpaceNeverCompletes", "GET /a%20b")
                        .line("GET", "/a%20b", "")
                        .decoded("")
                        .stopsIn(RequestParseStatePath));
    // The text of a line that is not counted must not become part of the
    // next header, neither as its name nor as its value.
    cases.push_back(ParserCase("UncountedLineWithoutColonIsForgotten", kLine + "NoColon\r\nHost: a\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Host", "a")
                        .framing(RequestBodyStatusHeadMalformed));
    cases.push_back(ParserCase("UncountedLineWithEmptyNameIsForgotten", kLine + ": stray\r\nHost: a\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Host", "a")
                        .framing(RequestBodyStatusHeadMalformed));
    cases.push_back(ParserCase("UncountedLineWithEmptyValueIsForgotten", kLine + "Stray:\r\n: a\r\nHost: b\r\n\r\n")
                        .line("GET", "/", "HTTP/1.1")
                        .header("Host", "b")
                        .framing(RequestBodyStatusHeadMalformed));
    return cases;
}

std::string caseName(const testing::TestParamInfo<ParserCase>& info) {
    return info.param.name;
}

// Cut positions to try: all of them for short inputs, an even spread plus
// the last few for long ones.
std::vector<size_t> cutPositions(size_t length) {
    std::vector<size_t> cuts;
    size_t stride = std::max<size_t>(1, length / 400);
    for (size_t cut = 1; cut < length; cut += stride) {
        cuts.push_back(cut);
    }
    for (size_t cut = length > 8 ? length - 8 : 1; cut < length; cut++) {
        cuts.push_back(cut);
    }
    return cuts;
}

void runSplits(const ParserCase& c) {
    RequestPtr whole = parseWhole(c.input);
    for (size_t cut : cutPositions(c.input.size())) {
        RequestPtr split = parseSplit(c.input, {cut});
        expectSameRequest(*whole, *split, "cut at " + std::to_string(cut));
        if (testing::Test::HasFailure()) {
            return;
        }
    }
    std::vector<size_t> everyByte;
    for (size_t cut = 1; cut < c.input.size(); cut++) {
        everyByte.push_back(cut);
    }
    RequestPtr bytewise = parseSplit(c.input, everyByte);
    expectSameRequest(*whole, *bytewise, "one byte at a time");
    bytewise.reset(); // its share of the body budget, for the next record
    // Empty fragments between the bytes change nothing either.
    RequestPtr withEmpty = newRequest();
    for (size_t i = 0; i < c.input.size(); i++) {
        requestParse(withEmpty.get(), c.input.data() + i, 0);
        requestParse(withEmpty.get(), c.input.data() + i, 1);
    }
    expectSameRequest(*whole, *withEmpty, "with empty fragments");
}

// Byte by byte, the request must reach Done exactly at completesAt and
// stay there.
void runIncrementalCompletion(const ParserCase& c) {
    RequestPtr request = newRequest();
    for (size_t i = 0; i < c.input.size(); i++) {
        bool shouldBeDone = c.completesAt != kNever && i >= c.completesAt;
        ASSERT_EQ(shouldBeDone, request->state == RequestParseStateDone) << "after " << i << " bytes";
        requestParse(request.get(), c.input.data() + i, 1);
    }
}

class WellFormedRequest : public testing::TestWithParam<ParserCase> {};

TEST_P(WellFormedRequest, WholeFragmentGivesTheExpectedRecord) {
    RequestPtr request = parseWhole(GetParam().input);
    expectCase(GetParam(), *request);
}

TEST_P(WellFormedRequest, EverySplitGivesTheSameRecord) {
    runSplits(GetParam());
}

TEST_P(WellFormedRequest, EveryProperPrefixStaysIncomplete) {
    const std::string& input = GetParam().input;
    ASSERT_EQ(input.size(), GetParam().completesAt);
    for (size_t length = 0; length < input.size(); length++) {
        RequestPtr prefix = parseWhole(input.substr(0, length));
        ASSERT_NE(RequestParseStateDone, prefix->state) << "prefix of " << length << " bytes";
        expectRequestInvariants(*prefix);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, WellFormedRequest, testing::ValuesIn(wellFormedRequests()), caseName);

class CutOrFlaggedRequest : public testing::TestWithParam<ParserCase> {};

TEST_P(CutOrFlaggedRequest, WholeFragmentGivesTheExpectedRecord) {
    RequestPtr request = parseWhole(GetParam().input);
    expectCase(GetParam(), *request);
}

TEST_P(CutOrFlaggedRequest, SplitsGiveTheSameRecord) {
    runSplits(GetParam());
}

TEST_P(CutOrFlaggedRequest, CompletesExactlyWhereExpected) {
    runIncrementalCompletion(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, CutOrFlaggedRequest, testing::ValuesIn(cutOrFlaggedRequests()), caseName);

TEST(RequestBody, LargestBodyCompletesAndFurtherBytesAreFlagged) {
    RequestPtr request = parseWhole(kLine + "Content-Length: 134217728\r\n\r\n");
    ASSERT_EQ(RequestParseStateBody, request->state);
    ASSERT_EQ(nullptr, request->body.contents) << "a head alone holds no body block";
    std::string chunk(1 << 20, 'b');
    for (size_t sent = 0; sent < REQUEST_MAX_BODY_LENGTH; sent += chunk.size()) {
        ASSERT_NE(RequestParseStateDone, request->state);
        requestParse(request.get(), chunk.data(), chunk.size());
    }
    EXPECT_EQ(RequestParseStateDone, request->state);
    EXPECT_FALSE(request->warnings.bodyTruncated);
    EXPECT_EQ(REQUEST_MAX_BODY_LENGTH, request->body.length);
    EXPECT_EQ(REQUEST_MAX_BODY_LENGTH, request->body.capacity) << "never more than declared";
    EXPECT_EQ('\0', request->body.contents[REQUEST_MAX_BODY_LENGTH]);
    requestParse(request.get(), "x", 1);
    EXPECT_TRUE(request->warnings.bodyTruncated);
    EXPECT_EQ(REQUEST_MAX_BODY_LENGTH, request->body.length);
}

TEST(RequestBody, BodyArrivingInALaterFragmentCompletesAtItsLastByte) {
    RequestPtr request = parseWhole(kLine + "Content-Length: 4\r\n\r\n");
    ASSERT_EQ(RequestParseStateBody, request->state);
    requestParse(request.get(), "ab", 2);
    EXPECT_EQ(RequestParseStateBody, request->state);
    requestParse(request.get(), "cd", 2);
    EXPECT_EQ(RequestParseStateDone, request->state);
    EXPECT_EQ("abcd", bodyText(*request));
    EXPECT_FALSE(request->warnings.bodyTruncated);
}

// The budget is shared by all requests and counts the blocks bodies grew to
// with what arrived; every body gives its share back exactly once, however it
// ends.
TEST(RequestBody, MemoryBudgetRefusesWhatDoesNotFitAndIsGivenBackOnce) {
    BodyMemory memory = {{0}, 100};
    RequestBodyMemory inMemory(&memory);
    ASSERT_EQ(0u, bodyMemoryHeld(100));
    RequestPtr first = parseWhole(kLine + "Content-Length: 60\r\n\r\nab");
    EXPECT_EQ(RequestParseStateBody, first->state);
    EXPECT_EQ(60u, bodyMemoryHeld(100));

    RequestPtr promise = parseWhole(kLine + "Content-Length: 134217728\r\n\r\n");
    EXPECT_EQ(RequestParseStateBody, promise->state);
    EXPECT_EQ(60u, bodyMemoryHeld(100)) << "a declared length alone holds nothing";

    RequestPtr refused = parseWhole(kLine + "Content-Length: 41\r\n\r\nab");
    EXPECT_EQ(RequestBodyStatusOverBudget, refused->bodyStatus);
    EXPECT_EQ(RequestParseStateDone, refused->state);
    EXPECT_EQ(nullptr, refused->body.contents) << "nothing of a refused body is stored";
    EXPECT_EQ(60u, bodyMemoryHeld(100));

    RequestPtr chunked = parseWhole(kLine + "Transfer-Encoding: chunked\r\n\r\n28\r\nab");
    EXPECT_EQ(RequestParseStateChunkData, chunked->state);
    EXPECT_EQ(100u, bodyMemoryHeld(100));
    std::string rest = std::string(38, 'c') + "\r\n1\r\nd";
    requestParse(chunked.get(), rest.data(), rest.size());
    EXPECT_EQ(RequestBodyStatusOverBudget, chunked->bodyStatus);
    EXPECT_EQ(nullptr, chunked->body.contents) << "what was stored is given back at the refusal";
    EXPECT_EQ(60u, bodyMemoryHeld(100));

    requestFreeBody(first.get());
    requestFreeBody(first.get());
    EXPECT_EQ(0u, bodyMemoryHeld(100));
    RequestPtr whole = parseWhole(kLine + "Content-Length: 100\r\n\r\n");
    EXPECT_EQ(RequestParseStateBody, whole->state) << "the whole budget is usable again";
    whole.reset();
    first.reset();
    EXPECT_EQ(0u, bodyMemoryHeld(100));
}

TEST(RequestPool, HeadersArePackedWithOneZeroBetween) {
    RequestPtr request = parseWhole(kLine + "Host: a\r\nAccept: */*\r\n\r\n");
    ASSERT_EQ(2u, request->headersCount);
    EXPECT_EQ(0, memcmp(request->headersStringPool, "Host\0a\0Accept\0*/*\0", 18));
    EXPECT_EQ(request->headersStringPool, request->headers[0].name.contents);
    EXPECT_EQ(request->headersStringPool + 14, request->headers[1].value.contents);
    EXPECT_EQ(17u, request->headersStringPoolOffset);
}

TEST(HeaderLookup, MatchesWholeNamesIgnoringLetterCase) {
    RequestPtr request = parseWhole(kLine + "Host: a\r\nX-Len: 1\r\nhost: b\r\n\r\n");
    ASSERT_EQ(3u, request->headersCount);
    EXPECT_EQ(&request->headers[0], headerInRequest("HOST", request.get()));
    EXPECT_EQ(&request->headers[1], headerInRequest("x-len", request.get()));
    EXPECT_EQ(nullptr, headerInRequest("Hos", request.get()));
    EXPECT_EQ(nullptr, headerInRequest("Host ", request.get()));
    EXPECT_EQ(nullptr, headerInRequest("X-Length", request.get()));
    EXPECT_EQ(nullptr, headerInRequest("", request.get()));
}

TEST(HeaderLookup, OnlyCompleteHeadersAreSearched) {
    RequestPtr request = parseWhole(kLine + "Host: a\r\nAccept: te");
    ASSERT_EQ(RequestParseStateHeaderValue, request->state);
    EXPECT_NE(nullptr, headerInRequest("Host", request.get()));
    EXPECT_EQ(nullptr, headerInRequest("Accept", request.get()));
}

TEST(RequestWarnings, NothingIsPrintedWithoutFlags) {
    RequestPtr request = parseWhole(kLine + "\r\n");
    EXPECT_EQ("", captureStdout([&] { requestPrintWarnings(request.get(), "127.0.0.1", "5000"); }));
}

TEST(RequestWarnings, EveryFlagPrintsItsLineInOrder) {
    std::string input =
        std::string(64, 'M') + " /" + std::string(1023, 'p') + " HTTP/1.1-abcdefgh\r\n" + poolFiller(8186) + "\r\n";
    RequestPtr request = parseWhole(input);
    request->warnings.tooManyHeaders = true; // cannot coexist with a full pool in one parse
    std::string expected =
        "Warning: Request from 10.0.0.7:40000 exhausted the header string pool so some information will be lost. "
        "You can try increasing REQUEST_HEADERS_MAX_MEMORY which is currently 8192 bytes\n"
        "Warning: Request from 10.0.0.7:40000 had too many headers and we dropped some. You can try increasing "
        "REQUEST_MAX_HEADERS which is currently 64\n"
        "Warning: Request from 10.0.0.7:40000 method was truncated to " +
        std::string(63, 'M') + "\n" + "Warning: Request from 10.0.0.7:40000 path was truncated to /" +
        std::string(1022, 'p') + "\n" +
        "Warning: Request from 10.0.0.7:40000 version was truncated to HTTP/1.1-abcdef\n";
    EXPECT_EQ(expected, captureStdout([&] { requestPrintWarnings(request.get(), "10.0.0.7", "40000"); }));
}

TEST(RequestWarnings, BytesOfThePeerAreEscapedAndEachLineIsWhole) {
    const std::string odd = "\n\r\x1b\\";
    RequestPtr request =
        parseWhole(odd + std::string(70, 'M') + " /" + odd + std::string(1100, 'p') + " HTTP/1.1\r\n\r\n");
    const std::string escaped = "\\x0A\\x0D\\x1B\\\\";
    const std::string lines = "Warning: Request from h:p method was truncated to " + escaped + std::string(59, 'M') +
                              "\nWarning: Request from h:p path was truncated to /" + escaped + std::string(1018, 'p') +
                              "\n";
    EXPECT_EQ(lines, captureStdout([&] { requestPrintWarnings(request.get(), "h", "p"); }));

    // Connections report at once: every line still comes out whole. The
    // module's own threads, which the Windows build of these tests has too.
    const int threads = 8, rounds = 50;
    struct Reporter {
        static void* report(void* request) {
            for (int round = 0; round < rounds; round++) {
                requestPrintWarnings((const Request*)request, "h", "p");
            }
            return nullptr;
        }
    };
    std::string together = captureStdout([&] {
        pthread_t reporters[threads];
        int started = 0;
        while (started < threads &&
               0 == pthread_create(&reporters[started], nullptr, Reporter::report, request.get())) {
            started++;
        }
        for (int i = 0; i < started; i++) {
            pthread_join(reporters[i], nullptr);
        }
        EXPECT_EQ(threads, started);
    });
    const std::string methodLine = lines.substr(0, lines.find('\n') + 1);
    const std::string pathLine = lines.substr(methodLine.size());
    size_t methodLines = 0, pathLines = 0;
    for (size_t at = 0; at < together.size();) {
        size_t end = together.find('\n', at);
        ASSERT_NE(std::string::npos, end) << "a line without its end";
        std::string line = together.substr(at, end + 1 - at);
        ASSERT_TRUE(line == methodLine || line == pathLine) << "a spliced line: " << line.substr(0, 120);
        (line == methodLine ? methodLines : pathLines)++;
        at = end + 1;
    }
    EXPECT_EQ((size_t)(threads * rounds), methodLines);
    EXPECT_EQ((size_t)(threads * rounds), pathLines);
}

TEST(RequestWarnings, BodyLineReportsTheDeclaredLength) {
    RequestPtr request = parseWhole(kLine + "Content-Length: 3\r\n\r\nabcdefgh");
    EXPECT_EQ("Warning: Request from ::1:8 body was truncated to 3 bytes\n",
              captureStdout([&] { requestPrintWarnings(request.get(), "::1", "8"); }));
}

TEST(RequestWarnings, TooManyHeadersLineAlone) {
    RequestPtr request = parseWhole(kLine + headerLines(65) + "\r\n");
    EXPECT_EQ("Warning: Request from h:p had too many headers and we dropped some. You can try increasing "
              "REQUEST_MAX_HEADERS which is currently 64\n",
              captureStdout([&] { requestPrintWarnings(request.get(), "h", "p"); }));
}

} // namespace

namespace {

// A connection's first bytes, received in these parts, make it this kind.
TEST(FirstBytes, TellRawStreamsFromHttpAndFromNeither) {
    const struct {
        std::vector<std::string> parts;
        StreamKind kind;
    } cases[] = {
        {{"\x1b@"}, StreamRaw},
        {{"\x10\x04\x01"}, StreamRaw},
        {{"\x1dVA\x03"}, StreamRaw},
        {{"\x1c"}, StreamRaw},
        {{"Hello\n"}, StreamRaw},
        {{"TOTAL 12.00\n", "CASH 20.00\n"}, StreamRaw},
        {{"Thank you\x1b\x64\x03"}, StreamRaw}, // text, then a printer command
        {{"GET /sta", "tus now\n"}, StreamRaw},
        {{"GET  /"}, StreamRaw},
        {{std::string(200, 'M') + " /escpos HTTX/1.1\r\n"}, StreamRaw},
        {{"GET /status HTTP/1.1\r\n"}, StreamHTTP},
        {{"G", "E", "T", " ", "/", " ", "H", "T", "T", "P", "/"}, StreamHTTP},
        {{std::string(64, 'M') + " /escpos HTTP/1.1\r\n"}, StreamHTTP},
        {{std::string(RECOGNITION_LIMIT, 'M')}, StreamHTTP}, // longer than a request line is kept
        {{"GET /a\x01"}, StreamHTTP},                        // a malformed request line, answered
        {{"Hello"}, StreamUndecided},
        {{"POST /esc"}, StreamUndecided},
        {{std::string("\x16\x03\x01\x00\xa5", 5)}, StreamNeither},
        {{std::string("\0abc", 4)}, StreamNeither},
        {{"\x7f"}, StreamNeither},
    };
    for (const auto& c : cases) {
        StreamRecognizer recognizer;
        streamRecognizerInit(&recognizer);
        std::string all;
        for (const std::string& part : c.parts) {
            recognizeReceived(&recognizer, part.data(), part.size());
            all += part;
        }
        EXPECT_EQ(c.kind, recognizer.kind) << all.substr(0, 24);
        if (c.kind == StreamUndecided) {
            EXPECT_EQ(all, std::string(recognizer.pending, recognizer.pendingLength));
        }
    }
}

} // namespace
