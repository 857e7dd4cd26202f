// Helpers shared by the core tests: zero-filled requests, fragment feeding,
// record comparison, invariant checks and stdout capture.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "internal.h"

struct RequestDeleter {
    void operator()(Request* request) const {
        requestFreeBody(request);
        free(request);
    }
};
using RequestPtr = std::unique_ptr<Request, RequestDeleter>;

// The body memory that requests made by newRequest hold; null: the pool of
// the default budget. Set for a scope by RequestBodyMemory.
inline BodyMemory*& testRequestBodyMemory() {
    static BodyMemory* memory = nullptr;
    return memory;
}

// Requests made in its scope hold their bodies in `memory`, as a server's do
// in its own.
struct RequestBodyMemory {
    explicit RequestBodyMemory(BodyMemory* memory) {
        testRequestBodyMemory() = memory;
    }
    ~RequestBodyMemory() {
        testRequestBodyMemory() = nullptr;
    }
};

// A request as the connection owner provides it: every byte zero but its
// body memory.
inline RequestPtr newRequest() {
    RequestPtr request((Request*)calloc(1, sizeof(Request)));
    request->bodyMemory = testRequestBodyMemory();
    return request;
}

// Feeds input cut at the given ascending positions.
inline RequestPtr parseSplit(const std::string& input, const std::vector<size_t>& cuts) {
    RequestPtr request = newRequest();
    size_t start = 0;
    for (size_t cut : cuts) {
        requestParse(request.get(), input.data() + start, cut - start);
        start = cut;
    }
    requestParse(request.get(), input.data() + start, input.size() - start);
    return request;
}

inline RequestPtr parseWhole(const std::string& input) {
    return parseSplit(input, {});
}

inline std::string poolText(const PoolString& string) {
    return string.contents ? std::string(string.contents, string.length) : std::string();
}

inline std::vector<std::pair<std::string, std::string>> headerTexts(const Request& request) {
    std::vector<std::pair<std::string, std::string>> texts;
    for (size_t i = 0; i < request.headersCount && i < REQUEST_MAX_HEADERS; i++) {
        texts.emplace_back(poolText(request.headers[i].name), poolText(request.headers[i].value));
    }
    return texts;
}

inline std::string warningsText(const Warnings& w) {
    std::string text;
    if (w.headersStringPoolExhausted)
        text += "pool ";
    if (w.tooManyHeaders)
        text += "headers ";
    if (w.methodTruncated)
        text += "method ";
    if (w.versionTruncated)
        text += "version ";
    if (w.pathTruncated)
        text += "path ";
    if (w.bodyTruncated)
        text += "body ";
    return text;
}

inline std::string bodyText(const Request& request) {
    return request.body.contents ? std::string(request.body.contents, request.body.length) : std::string();
}

// Whether the parser still takes a body of `length` bytes sent whole, that
// is whether that much of the shared body memory budget is left.
inline bool bodyFits(size_t length) {
    RequestPtr probe = parseWhole("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" +
                                  std::string(length, 'x'));
    return probe->bodyStatus != RequestBodyStatusOverBudget;
}

// The share of a body memory budget of `budget` bytes that requests hold now,
// found the way a client meets it: the largest body still taken.
inline size_t bodyMemoryHeld(size_t budget) {
    size_t fits = 0, tooLarge = budget + 1;
    while (tooLarge - fits > 1) {
        size_t middle = fits + (tooLarge - fits) / 2;
        (bodyFits(middle) ? fits : tooLarge) = middle;
    }
    return budget - fits;
}

// Field-by-field equality of two parse results, slices compared by text and
// by their place in the pool.
inline void expectSameRequest(const Request& expected, const Request& actual, const std::string& how) {
    SCOPED_TRACE(how);
    EXPECT_EQ(std::string(expected.method, expected.methodLength), std::string(actual.method, actual.methodLength));
    EXPECT_EQ(std::string(expected.version, expected.versionLength), std::string(actual.version, actual.versionLength));
    EXPECT_EQ(std::string(expected.path, expected.pathLength), std::string(actual.path, actual.pathLength));
    EXPECT_EQ(std::string(expected.pathDecoded, expected.pathDecodedLength),
              std::string(actual.pathDecoded, actual.pathDecodedLength));
    EXPECT_EQ(expected.headersCount, actual.headersCount);
    EXPECT_EQ(headerTexts(expected), headerTexts(actual));
    for (size_t i = 0; i < expected.headersCount && i < actual.headersCount && i < REQUEST_MAX_HEADERS; i++) {
        EXPECT_EQ(expected.headers[i].name.contents - expected.headersStringPool,
                  actual.headers[i].name.contents - actual.headersStringPool)
            << "name of header " << i;
        EXPECT_EQ(expected.headers[i].value.contents - expected.headersStringPool,
                  actual.headers[i].value.contents - actual.headersStringPool)
            << "value of header " << i;
    }
    EXPECT_EQ(expected.headersStringPoolOffset, actual.headersStringPoolOffset);
    EXPECT_EQ(0, memcmp(expected.headersStringPool, actual.headersStringPool, REQUEST_HEADERS_MAX_MEMORY));
    EXPECT_EQ(expected.body.contents == NULL, actual.body.contents == NULL);
    EXPECT_EQ(expected.body.capacity, actual.body.capacity);
    EXPECT_EQ(expected.body.length, actual.body.length);
    EXPECT_EQ(bodyText(expected), bodyText(actual));
    EXPECT_EQ(warningsText(expected.warnings), warningsText(actual.warnings));
    EXPECT_EQ(expected.bodyStatus, actual.bodyStatus);
    EXPECT_EQ(expected.bodyExpected, actual.bodyExpected);
    EXPECT_EQ(expected.bodyReserved, actual.bodyReserved);
    EXPECT_EQ(expected.state, actual.state);
}

// What must hold after any input: every text terminated inside its buffer,
// the pool's tail untouched, counted headers non-empty and inside the pool.
inline void expectRequestInvariants(const Request& request) {
    ASSERT_LT(request.methodLength, REQUEST_METHOD_CAPACITY);
    EXPECT_EQ('\0', request.method[request.methodLength]);
    ASSERT_LT(request.versionLength, REQUEST_VERSION_CAPACITY);
    EXPECT_EQ('\0', request.version[request.versionLength]);
    ASSERT_LT(request.pathLength, REQUEST_PATH_CAPACITY);
    EXPECT_EQ('\0', request.path[request.pathLength]);
    ASSERT_LT(request.pathDecodedLength, REQUEST_PATH_CAPACITY);
    EXPECT_EQ('\0', request.pathDecoded[request.pathDecodedLength]);
    EXPECT_LE(request.headersStringPoolOffset, REQUEST_HEADERS_POOL_LIMIT);
    for (size_t i = REQUEST_HEADERS_POOL_LIMIT; i < REQUEST_HEADERS_MAX_MEMORY; i++) {
        EXPECT_EQ('\0', request.headersStringPool[i]) << "pool byte " << i;
    }
    ASSERT_LE(request.headersCount, REQUEST_MAX_HEADERS);
    const char* poolEnd = request.headersStringPool + REQUEST_HEADERS_POOL_LIMIT;
    for (size_t i = 0; i < request.headersCount; i++) {
        for (const PoolString* s : {&request.headers[i].name, &request.headers[i].value}) {
            ASSERT_NE(nullptr, s->contents) << "header " << i;
            EXPECT_GT(s->length, 0u) << "header " << i;
            EXPECT_GE(s->contents, request.headersStringPool) << "header " << i;
            EXPECT_LE(s->contents + s->length, poolEnd) << "header " << i;
            EXPECT_EQ('\0', s->contents[s->length]) << "header " << i;
        }
    }
    if (request.body.contents) {
        EXPECT_GT(request.body.capacity, 0u);
        EXPECT_LE(request.body.length, request.body.capacity);
        EXPECT_EQ('\0', request.body.contents[request.body.length]);
    } else {
        EXPECT_EQ(0u, request.body.capacity);
        EXPECT_EQ(0u, request.body.length);
    }
}

// Runs action with stdout redirected into a temporary file and returns what
// it printed.
inline std::string captureStdout(const std::function<void()>& action) {
    fflush(stdout);
    FILE* sink = tmpfile();
    if (!sink) {
        ADD_FAILURE() << "tmpfile failed";
        return std::string();
    }
    int saved = dup(fileno(stdout));
    dup2(fileno(sink), fileno(stdout));
    action();
    fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    std::string text;
    rewind(sink);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, sink)) > 0) {
        text.append(buffer, got);
    }
    fclose(sink);
    return text;
}

// Reads and restores the statistics record under its lock.
inline Counters countersSnapshot() {
    countersInitLockIfNeeded();
    pthread_mutex_lock(&counters.lock);
    Counters copy = counters;
    pthread_mutex_unlock(&counters.lock);
    return copy;
}

// Turns counting on or off for one scope.
struct CountingSwitch {
    bool saved;
    explicit CountingSwitch(bool on) : saved(OptionIncludeStatusPageAndCounters) {
        OptionIncludeStatusPageAndCounters = on;
    }
    ~CountingSwitch() {
        OptionIncludeStatusPageAndCounters = saved;
    }
};
