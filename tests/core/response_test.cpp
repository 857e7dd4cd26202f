// Response constructors, their ownership and the exact bytes of the head.
#include "core_support.h"
#include "../support/resources.h"

namespace {

struct ResponseDeleter {
    void operator()(Response* response) const {
        responseFree(response);
    }
};
using ResponsePtr = std::unique_ptr<Response, ResponseDeleter>;

std::string bodyOf(const Response& r) {
    return r.body.contents ? std::string(r.body.contents, r.body.length) : std::string();
}

std::string orNull(const char* text) {
    return text ? std::string(text) : std::string("(null)");
}

struct ConstructorCase {
    const char* name;
    std::function<Response*()> make;
    int code;
    const char* status;
    const char* contentType;
    std::string body;
};

void PrintTo(const ConstructorCase& c, std::ostream* os) {
    *os << c.name;
}

const char* const kHTML = "text/html; charset=UTF-8";

std::vector<ConstructorCase> constructorCases() {
    return {
        {"HTML", [] { return responseAllocHTML("<p>hi</p>"); }, 200, "OK", kHTML, "<p>hi</p>"},
        {"HTMLWithFormat", [] { return responseAllocHTMLWithFormat("<b>%d-%s</b>", 42, "x"); }, 200, "OK", kHTML,
         "<b>42-x</b>"},
        {"HTMLWithStatus", [] { return responseAllocHTMLWithStatus(503, "Busy", "wait"); }, 503, "Busy", kHTML, "wait"},
        {"JSON", [] { return responseAllocJSON("{\"a\":1}"); }, 200, "OK", "application/json", "{\"a\":1}"},
        {"JSONWithFormat", [] { return responseAllocJSONWithFormat("{\"n\":%u}", 7u); }, 200, "OK", "application/json",
         "{\"n\":7}"},
        {"JSONWithStatus", [] { return responseAllocJSONWithStatus(409, "Conflict", "[]"); }, 409, "Conflict",
         "application/json", "[]"},
        {"WithFormat", [] { return responseAllocWithFormat(201, "Created", "text/plain", "%s=%c", "k", 'v'); }, 201,
         "Created", "text/plain", "k=v"},
        {"BadRequestWithMessage", [] { return responseAlloc400BadRequestHTML("Missing <b>code</b>"); }, 400,
         "Bad Request", kHTML,
         "<html><head><title>400 - Bad Request</title></head><body>The request made was invalid. Missing "
         "<b>code</b>"},
        {"BadRequestWithoutMessage", [] { return responseAlloc400BadRequestHTML(NULL); }, 400, "Bad Request", kHTML,
         "<html><head><title>400 - Bad Request</title></head><body>The request made was invalid. An unspecified "
         "error occurred"},
        {"NotFoundWithPath", [] { return responseAlloc404NotFoundHTML("/x"); }, 404, "Not Found", kHTML,
         "<html><head><title>404 Not Found</title></head><body>The resource you specified ('/x') could not be "
         "found</body></html>"},
        {"NotFoundEscapesThePath", [] { return responseAlloc404NotFoundHTML("/<script>'a'&\"b\""); }, 404, "Not Found",
         kHTML,
         "<html><head><title>404 Not Found</title></head><body>The resource you specified "
         "('/&lt;script&gt;&#039;a&#039;&amp;&quot;b&quot;') could not be found</body></html>"},
        {"NotFoundWithoutPath", [] { return responseAlloc404NotFoundHTML(NULL); }, 404, "Not Found", kHTML,
         "<html><head><title>404 Not Found</title></head><body>The resource you specified could not be "
         "found</body></html>"},
        {"InternalErrorWithText", [] { return responseAlloc500InternalErrorHTML("disk full"); }, 500, "Internal Error",
         kHTML,
         "<html><head><title>500 Internal Error</title></head><body>There was an internal error while completing "
         "your request. disk full</body></html>"},
        {"InternalErrorWithoutText", [] { return responseAlloc500InternalErrorHTML(NULL); }, 500, "Internal Error",
         kHTML,
         "<html><head><title>500 Internal Error</title></head><body>There was an internal error while completing "
         "your request</body></html>"},
    };
}

class ResponseConstructor : public testing::TestWithParam<ConstructorCase> {};

TEST_P(ResponseConstructor, SetsCodeStatusTypeAndBody) {
    const ConstructorCase& c = GetParam();
    ResponsePtr r(c.make());
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(c.code, r->code);
    EXPECT_EQ(orNull(c.status), orNull(r->status));
    EXPECT_EQ(orNull(c.contentType), orNull(r->contentType));
    EXPECT_EQ(c.body, bodyOf(*r));
    EXPECT_EQ(nullptr, r->filenameToSend);
    EXPECT_EQ(nullptr, r->extraHeaders);
    EXPECT_TRUE(heapStringIsSaneCString(&r->body));
}

INSTANTIATE_TEST_SUITE_P(All, ResponseConstructor, testing::ValuesIn(constructorCases()),
                         [](const testing::TestParamInfo<ConstructorCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ResponseAlloc, ZeroCapacityLeavesNoBlock) {
    ResponsePtr r(responseAlloc(204, NULL, NULL, 0));
    EXPECT_EQ(204, r->code);
    EXPECT_EQ(nullptr, r->body.contents);
    EXPECT_EQ(0u, r->body.capacity);
    EXPECT_EQ(nullptr, r->status);
    EXPECT_EQ(nullptr, r->contentType);
}

TEST(ResponseAlloc, BodyBlockHasExactlyTheCapacityAndIsZeroed) {
    ResponsePtr r(responseAlloc(200, "OK", "text/plain", 10));
    ASSERT_NE(nullptr, r->body.contents);
    EXPECT_EQ(10u, r->body.capacity);
    EXPECT_EQ(0u, r->body.length);
    for (size_t i = 0; i < 10; i++) {
        EXPECT_EQ('\0', r->body.contents[i]);
    }
    // The block is usable as a heap string without further growth.
    heapStringAppendString(&r->body, "123456789");
    EXPECT_EQ(10u, r->body.capacity);
    EXPECT_EQ("123456789", bodyOf(*r));
}

TEST(ResponseAlloc, TextsAreCopies) {
    char status[] = "OK";
    char type[] = "text/plain";
    ResponsePtr r(responseAlloc(200, status, type, 0));
    status[0] = 'X';
    type[0] = 'X';
    EXPECT_STREQ("OK", r->status);
    EXPECT_STREQ("text/plain", r->contentType);
}

TEST(ResponseAlloc, EmptyHTMLHasA256ByteBlockAndContentLengthZero) {
    ResponsePtr r(responseAllocHTML(""));
    ASSERT_NE(nullptr, r->body.contents);
    EXPECT_EQ(0u, r->body.length);
    EXPECT_EQ(256u, r->body.capacity);
    char head[CONNECTION_RESPONSE_HEADER_SIZE];
    snprintfResponseHeader(head, sizeof head, r->code, r->status, r->contentType, r->extraHeaders, r->body.length);
    EXPECT_NE(nullptr, strstr(head, "\r\nContent-Length: 0\r\n"));
}

TEST(ResponseAlloc, FileResponseKeepsTheNameAndAnOptionalType) {
    ResponsePtr typed(responseAllocWithFile("/srv/a.png", "image/png"));
    EXPECT_EQ(200, typed->code);
    EXPECT_STREQ("OK", typed->status);
    EXPECT_STREQ("/srv/a.png", typed->filenameToSend);
    EXPECT_STREQ("image/png", typed->contentType);
    EXPECT_EQ(nullptr, typed->body.contents);
    ResponsePtr untyped(responseAllocWithFile("/srv/b", NULL));
    EXPECT_STREQ("/srv/b", untyped->filenameToSend);
    EXPECT_EQ(nullptr, untyped->contentType);
}

// Builds and frees one response of each kind, every owned field set.
void allocateAndFreeEveryKind() {
    Response* r = responseAllocJSON("{}");
    r->extraHeaders = strdup("Access-Control-Allow-Origin: *\r\n");
    free(r->status);
    r->status = strdup("Fine");
    responseFree(r);
    responseFree(responseAllocWithFile("f", "t"));
    responseFree(responseAlloc(200, NULL, NULL, 0));
}

TEST(ResponseFree, ReleasesEveryOwnedField) {
    allocateAndFreeEveryKind(); // one-time allocations (locks, stdio) happen here
    if (!q2test::heapGaugeSeesFrees()) {
        GTEST_SKIP() << "this process cannot tell the heap in use";
    }
    long long before = q2test::heapBytesInUse();
    allocateAndFreeEveryKind();
    EXPECT_EQ(before, q2test::heapBytesInUse());
}

TEST(StrdupIfNotNull, CopiesOrPassesNull) {
    EXPECT_EQ(nullptr, strdupIfNotNull(NULL));
    const char* original = "text";
    char* copy = strdupIfNotNull(original);
    EXPECT_NE(original, copy);
    EXPECT_STREQ("text", copy);
    free(copy);
}

std::string head(int code, const char* status, const char* type, const char* extra, size_t length) {
    char buffer[CONNECTION_RESPONSE_HEADER_SIZE];
    int n = snprintfResponseHeader(buffer, sizeof buffer, code, status, type, extra, length);
    EXPECT_EQ((size_t)n, strlen(buffer));
    return buffer;
}

TEST(ResponseHead, NotFoundWithoutExtraLines) {
    EXPECT_EQ("HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
              "Server: Ostrelin/1.1.3\r\nConnection: close\r\n\r\n",
              head(404, "Not Found", "text/plain", NULL, 0));
}

TEST(ResponseHead, ExtraLinesSitBetweenServerAndTheEmptyLine) {
    EXPECT_EQ(
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\nServer: Ostrelin/1.1.3\r\n"
        "Connection: close\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: POST, OPTIONS\r\n\r\n",
        head(200, "OK", "text/plain",
             "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: POST, OPTIONS\r\n", 12));
    EXPECT_EQ(head(200, "OK", "text/plain", NULL, 12), head(200, "OK", "text/plain", "", 12));
}

TEST(ResponseHead, LengthBeyond32BitsIsWrittenWhole) {
    EXPECT_NE(std::string::npos,
              head(200, "OK", "video/mp4", NULL, (size_t)5000000000ULL).find("\r\nContent-Length: 5000000000\r\n"));
}

TEST(ResponseHead, NullContentTypeAndStatusStillGiveAWellFormedHead) {
    EXPECT_EQ("HTTP/1.1 200 \r\nContent-Type: application/octet-stream\r\nContent-Length: 3\r\n"
              "Server: Ostrelin/1.1.3\r\nConnection: close\r\n\r\n",
              head(200, NULL, NULL, NULL, 3));
}

TEST(ResponseHead, ResultIsTheFullLengthEvenWhenCut) {
    const std::string full = head(404, "Not Found", "text/plain", NULL, 0);
    char small[16];
    memset(small, 'x', sizeof small);
    int n = snprintfResponseHeader(small, sizeof small, 404, "Not Found", "text/plain", NULL, 0);
    EXPECT_EQ(full.size(), (size_t)n);
    EXPECT_EQ(full.substr(0, 15), std::string(small));
}

TEST(ResponseHead, OverlongHeadDoesNotFitTheConnectionBuffer) {
    std::string extra = "X-Long: " + std::string(1000, 'a') + "\r\n";
    char buffer[CONNECTION_RESPONSE_HEADER_SIZE];
    int n = snprintfResponseHeader(buffer, sizeof buffer, 200, "OK", "text/plain", extra.c_str(), 0);
    EXPECT_GE((size_t)n, sizeof buffer);
    EXPECT_EQ(sizeof buffer - 1, strlen(buffer));
}

} // namespace
