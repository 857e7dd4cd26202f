// Feeds arbitrary bytes (chunked bodies included) to requestParse in fuzzer-chosen fragments and checks
// the record's invariants after every fragment; the final record must equal
// the one parsed from the same bytes in a single fragment.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "internal.h"

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);                          \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

static void checkTerminatedInside(const char* buffer, size_t capacity, size_t length) {
    CHECK(length < capacity);
    CHECK(buffer[length] == '\0');
}

static void checkInvariants(const Request* r) {
    checkTerminatedInside(r->method, sizeof r->method, r->methodLength);
    checkTerminatedInside(r->version, sizeof r->version, r->versionLength);
    checkTerminatedInside(r->path, sizeof r->path, r->pathLength);
    checkTerminatedInside(r->pathDecoded, sizeof r->pathDecoded, r->pathDecodedLength);
    CHECK(r->pathDecodedLength <= r->pathLength);
    CHECK(r->headersStringPoolOffset <= REQUEST_HEADERS_POOL_LIMIT);
    for (size_t i = REQUEST_HEADERS_POOL_LIMIT; i < REQUEST_HEADERS_MAX_MEMORY; i++) {
        CHECK(r->headersStringPool[i] == '\0');
    }
    CHECK(r->headersCount <= REQUEST_MAX_HEADERS);
    const char* poolStart = r->headersStringPool;
    const char* poolLimit = r->headersStringPool + REQUEST_HEADERS_POOL_LIMIT;
    for (size_t i = 0; i < r->headersCount; i++) {
        const PoolString* parts[] = {&r->headers[i].name, &r->headers[i].value};
        for (const PoolString* s : parts) {
            CHECK(s->contents != NULL);
            CHECK(s->length > 0);
            CHECK(s->contents >= poolStart && s->contents + s->length <= poolLimit);
            CHECK(s->contents[s->length] == '\0');
        }
    }
    if (r->body.contents != NULL) {
        CHECK(r->body.capacity > 0 && r->body.capacity <= REQUEST_MAX_BODY_LENGTH);
        CHECK(r->body.length <= r->body.capacity);
        CHECK(r->body.contents[r->body.length] == '\0');
    } else {
        CHECK(r->body.capacity == 0 && r->body.length == 0);
    }
    CHECK(r->state <= RequestParseStateTrailerEndLF);
    CHECK(r->body.capacity <= r->bodyExpected && r->bodyExpected <= REQUEST_MAX_BODY_LENGTH);
    CHECK(r->bodyReserved == r->body.capacity); // the budget holds the blocks, never a declared length
    CHECK(r->chunkLineLength <= REQUEST_MAX_CHUNK_LINE_LENGTH);
    // A refused body stores nothing and reads no further.
    CHECK(!requestBodyRefused(r) || (r->body.contents == NULL && r->state == RequestParseStateDone));
}

static bool sameSlice(const Request* a, const PoolString* x, const Request* b, const PoolString* y) {
    return x->length == y->length && (x->contents == NULL) == (y->contents == NULL) &&
           (x->contents == NULL || x->contents - a->headersStringPool == y->contents - b->headersStringPool);
}

static void checkSameRecord(const Request* a, const Request* b) {
    CHECK(a->methodLength == b->methodLength && memcmp(a->method, b->method, sizeof a->method) == 0);
    CHECK(a->versionLength == b->versionLength && memcmp(a->version, b->version, sizeof a->version) == 0);
    CHECK(a->pathLength == b->pathLength && memcmp(a->path, b->path, sizeof a->path) == 0);
    CHECK(a->pathDecodedLength == b->pathDecodedLength &&
          memcmp(a->pathDecoded, b->pathDecoded, sizeof a->pathDecoded) == 0);
    CHECK(a->headersCount == b->headersCount);
    for (size_t i = 0; i < a->headersCount; i++) {
        CHECK(sameSlice(a, &a->headers[i].name, b, &b->headers[i].name));
        CHECK(sameSlice(a, &a->headers[i].value, b, &b->headers[i].value));
    }
    CHECK(a->headersStringPoolOffset == b->headersStringPoolOffset);
    CHECK(memcmp(a->headersStringPool, b->headersStringPool, sizeof a->headersStringPool) == 0);
    CHECK((a->body.contents == NULL) == (b->body.contents == NULL));
    CHECK(a->body.capacity == b->body.capacity && a->body.length == b->body.length);
    CHECK(a->body.length == 0 || memcmp(a->body.contents, b->body.contents, a->body.length) == 0);
    CHECK(memcmp(&a->warnings, &b->warnings, sizeof a->warnings) == 0);
    CHECK(a->bodyStatus == b->bodyStatus && a->bodyExpected == b->bodyExpected);
    CHECK(a->chunkRemaining == b->chunkRemaining && a->chunkLineLength == b->chunkLineLength);
    CHECK(a->state == b->state);
}

static Request* newRequest() {
    return (Request*)calloc(1, sizeof(Request));
}

static void freeRequest(Request* request) {
    requestFreeBody(request);
    free(request);
}

// Every share of the body memory budget came back.
static bool wholeBodyBudgetIsFree() {
    return requestDefaultBodyMemory()->inUse.load() == 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Malformed escapes in targets print warnings; keep the fuzzer's output readable.
    if (freopen("/dev/null", "w", stdout) == NULL) {
        return 0;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The last four bytes choose the split points, the rest is the stream, so
    // a seed is a plain request followed by four bytes.
    FuzzedDataProvider provider(data, size);
    uint32_t splitSeed = provider.ConsumeIntegral<uint32_t>();
    std::string stream = provider.ConsumeRemainingBytesAsString();
    if (splitSeed == 0) {
        splitSeed = 0x9E3779B9u; // xorshift never leaves 0: every fragment would be empty
    }

    Request* split = newRequest();
    size_t offset = 0;
    while (offset < stream.size()) {
        // xorshift32: short fragments (single bytes, CR/LF pairs cut apart)
        // as often as long ones; empty fragments too.
        splitSeed ^= splitSeed << 13;
        splitSeed ^= splitSeed >> 17;
        splitSeed ^= splitSeed << 5;
        size_t length = (splitSeed & 1) ? (splitSeed >> 1) % 4 : (splitSeed >> 1) % 2048;
        length = std::min(length, stream.size() - offset);
        requestParse(split, stream.data() + offset, length);
        offset += length;
        checkInvariants(split);
    }
    Request* whole = newRequest();
    requestParse(whole, stream.data(), stream.size());
    checkInvariants(whole);
    checkSameRecord(whole, split);
    if (whole->state == RequestParseStateDone) {
        headerInRequest("Content-Length", whole);
        requestPrintWarnings(whole, "127.0.0.1", "1");
    }
    freeRequest(whole);
    freeRequest(split);
    CHECK(wholeBodyBudgetIsFree());
    return 0;
}
