// Heap strings (growth, contents, statistics, the sanity check, allocation
// failure) and pool strings at the pool's edge.
#include <signal.h>
#include <wchar.h>

#include "core_support.h"

using namespace std::string_literals;

namespace {

struct HeapStringHolder {
    HeapString s;
    HeapStringHolder() {
        heapStringInit(&s);
    }
    ~HeapStringHolder() {
        heapStringFreeContents(&s);
    }
    std::string text() const {
        return s.contents ? std::string(s.contents, s.length) : std::string();
    }
};

std::string sanityMessages(const HeapString& s, bool* sane) {
    return captureStdout([&] { *sane = heapStringIsSaneCString(&s); });
}

bool isSaneQuietly(const HeapString& s) {
    bool sane = false;
    std::string printed = sanityMessages(s, &sane);
    EXPECT_EQ("", printed);
    return sane;
}

bool restIsZero(const HeapString& s) {
    for (size_t i = s.length; i < s.capacity; i++) {
        if (s.contents[i] != '\0') {
            return false;
        }
    }
    return true;
}

TEST(HeapStringGrowth, AllocationSizesArePowersOfTwoFrom256) {
    // Text length -> capacity: the terminator counts, growth starts at 256.
    const std::pair<size_t, size_t> cases[] = {{0, 256}, {1, 256}, {255, 256}, {256, 512}, {999, 1024}, {4096, 8192}};
    for (const auto& c : cases) {
        HeapStringHolder h;
        heapStringSetToCString(&h.s, std::string(c.first, 'a').c_str());
        EXPECT_EQ(c.second, h.s.capacity) << c.first << " bytes";
        EXPECT_EQ(c.first, h.s.length);
    }
}

TEST(HeapStringGrowth, GrowsAt255BytesNotAt254) {
    HeapStringHolder h;
    heapStringSetToCString(&h.s, std::string(254, 'a').c_str());
    ASSERT_EQ(256u, h.s.capacity);
    heapStringAppendChar(&h.s, 'b');
    EXPECT_EQ(256u, h.s.capacity);
    EXPECT_EQ(255u, h.s.length);
    heapStringAppendChar(&h.s, 'c');
    EXPECT_EQ(512u, h.s.capacity);
    EXPECT_EQ(std::string(254, 'a') + "bc", h.text());
    EXPECT_TRUE(restIsZero(h.s));
    EXPECT_TRUE(isSaneQuietly(h.s));
}

TEST(HeapStringGrowth, ByteByByteKeepsEveryByte) {
    HeapStringHolder h;
    std::string expected;
    for (int i = 0; i < 5000; i++) {
        char c = (char)('a' + i % 26);
        heapStringAppendChar(&h.s, c);
        expected += c;
    }
    EXPECT_EQ(expected, h.text());
    EXPECT_EQ(8192u, h.s.capacity);
    EXPECT_TRUE(restIsZero(h.s));
}

TEST(HeapStringContents, BuildsTheFourPartText) {
    HeapStringHolder h;
    EXPECT_TRUE(isSaneQuietly(h.s));
    heapStringSetToCString(&h.s, "Part1");
    EXPECT_TRUE(isSaneQuietly(h.s));
    heapStringAppendString(&h.s, " Part2");
    EXPECT_TRUE(isSaneQuietly(h.s));
    heapStringAppendFormat(&h.s, " And this is Part%d", 3);
    EXPECT_TRUE(isSaneQuietly(h.s));
    for (char c : std::string(" Part4")) {
        heapStringAppendChar(&h.s, c);
        EXPECT_TRUE(isSaneQuietly(h.s));
    }
    EXPECT_EQ("Part1 Part2 And this is Part3 Part4", h.text());
    EXPECT_EQ(256u, h.s.capacity);
}

TEST(HeapStringContents, SingleOperationsOnAnEmptyRecord) {
    HeapStringHolder formatted, appended, set;
    heapStringAppendFormat(&formatted.s, "Testing format %d", 1);
    EXPECT_EQ("Testing format 1", formatted.text());
    heapStringAppendChar(&appended.s, 'X');
    EXPECT_EQ("X", appended.text());
    EXPECT_EQ(256u, appended.s.capacity);
    heapStringSetToCString(&set.s, "This is a C string");
    EXPECT_EQ("This is a C string", set.text());
    EXPECT_EQ('\0', set.s.contents[set.s.length]);
}

TEST(HeapStringContents, SettingShorterTextKeepsBytesBehindTheTerminator) {
    HeapStringHolder h;
    heapStringSetToCString(&h.s, "abcdef");
    heapStringSetToCString(&h.s, "xy");
    EXPECT_EQ("xy", h.text());
    EXPECT_EQ(0, memcmp(h.s.contents, "xy\0def", 6));
}

TEST(HeapStringContents, EmptyTextsAllocateOrNotAsDocumented) {
    HeapStringHolder appended, set, bothEmpty, source;
    heapStringAppendString(&appended.s, "");
    EXPECT_EQ(nullptr, appended.s.contents);
    EXPECT_EQ(0u, appended.s.capacity);
    heapStringSetToCString(&set.s, "");
    ASSERT_NE(nullptr, set.s.contents);
    EXPECT_EQ(256u, set.s.capacity);
    EXPECT_EQ(0u, set.s.length);
    heapStringAppendHeapString(&bothEmpty.s, &source.s);
    ASSERT_NE(nullptr, bothEmpty.s.contents);
    EXPECT_EQ(256u, bothEmpty.s.capacity);
    EXPECT_EQ('\0', bothEmpty.s.contents[0]);
}

TEST(HeapStringContents, AppendingAHeapStringCopiesNulBytes) {
    HeapStringHolder target, source;
    heapStringSetToCString(&target.s, "head:");
    heapStringAppendChar(&source.s, '\0');
    heapStringAppendChar(&source.s, 'p');
    heapStringAppendChar(&source.s, '\0');
    heapStringAppendHeapString(&target.s, &source.s);
    EXPECT_EQ("head:\0p\0"s, target.text());
    EXPECT_EQ('\0', target.s.contents[target.s.length]);
}

TEST(HeapStringContents, AppendingARecordToItselfDoublesIt) {
    HeapStringHolder h;
    heapStringSetToCString(&h.s, std::string(200, 'z').c_str());
    heapStringAppendHeapString(&h.s, &h.s);
    EXPECT_EQ(std::string(400, 'z'), h.text());
    EXPECT_EQ(512u, h.s.capacity);
}

TEST(HeapStringContents, LongFormattedTextGrowsOnce) {
    HeapStringHolder h;
    heapStringSetToCString(&h.s, "x");
    heapStringAppendFormat(&h.s, "%0*d|%s", 600, 7, "end");
    EXPECT_EQ(1 + 600 + 4u, h.s.length);
    EXPECT_EQ(1024u, h.s.capacity);
    EXPECT_EQ("7|end", h.text().substr(600));
    EXPECT_TRUE(restIsZero(h.s));
}

TEST(HeapStringContents, FormattingErrorLeavesTheStringUnchanged) {
    // A wide character outside the C locale's range makes vsnprintf fail.
    const wchar_t unencodable[] = {(wchar_t)0x20AC, 0};
    char probe[8];
    if (snprintf(probe, sizeof probe, "%ls", unencodable) >= 0) {
        GTEST_SKIP() << "this C library encodes the character; no formatting error to provoke";
    }
    HeapStringHolder h;
    heapStringSetToCString(&h.s, "kept");
    heapStringAppendFormat(&h.s, "bad %ls", unencodable);
    EXPECT_EQ("kept", h.text());
    EXPECT_EQ(256u, h.s.capacity);
    HeapStringHolder empty;
    heapStringAppendFormat(&empty.s, "%ls", unencodable);
    EXPECT_EQ(nullptr, empty.s.contents);
}

TEST(HeapStringRelease, EmptiesTheRecordAndToleratesRepeats) {
    HeapString s;
    heapStringInit(&s);
    heapStringFreeContents(&s);
    EXPECT_EQ(nullptr, s.contents);
    heapStringSetToCString(&s, "abc");
    heapStringFreeContents(&s);
    EXPECT_EQ(nullptr, s.contents);
    EXPECT_EQ(0u, s.length);
    EXPECT_EQ(0u, s.capacity);
    heapStringFreeContents(&s);
    EXPECT_EQ(nullptr, s.contents);
}

class HeapStringCounters : public testing::TestWithParam<bool> {};

TEST_P(HeapStringCounters, CountGrowthAndReleaseOnlyWhileSwitchedOn) {
    const bool on = GetParam();
    CountingSwitch counting(on);
    Counters before = countersSnapshot();
    HeapString s;
    heapStringInit(&s);
    heapStringAppendString(&s, "");                            // nothing
    heapStringAppendChar(&s, 'a');                             // allocation of 256
    heapStringAppendString(&s, std::string(300, 'b').c_str()); // growth to 512
    heapStringAppendChar(&s, 'c');                             // fits
    heapStringFreeContents(&s);                                // one free
    heapStringFreeContents(&s);                                // nothing
    Counters after = countersSnapshot();
    EXPECT_EQ(on ? 1 : 0, after.heapStringAllocations - before.heapStringAllocations);
    EXPECT_EQ(on ? 1 : 0, after.heapStringReallocations - before.heapStringReallocations);
    EXPECT_EQ(on ? 1 : 0, after.heapStringFrees - before.heapStringFrees);
    EXPECT_EQ(on ? 256 + 512 : 0, after.heapStringTotalBytesReallocated - before.heapStringTotalBytesReallocated);
    EXPECT_EQ(before.bytesSent, after.bytesSent);
    EXPECT_EQ(before.totalConnections, after.totalConnections);
}

TEST_P(HeapStringCounters, ResponseBodyBlockCountsAsAnAllocation) {
    const bool on = GetParam();
    CountingSwitch counting(on);
    Counters before = countersSnapshot();
    Response* empty = responseAlloc(200, "OK", "text/plain", 0);
    Counters afterEmpty = countersSnapshot();
    Response* sized = responseAlloc(200, "OK", "text/plain", 10);
    Counters afterSized = countersSnapshot();
    responseFree(empty);
    responseFree(sized);
    Counters afterFree = countersSnapshot();
    EXPECT_EQ(0, afterEmpty.heapStringAllocations - before.heapStringAllocations);
    EXPECT_EQ(on ? 1 : 0, afterSized.heapStringAllocations - before.heapStringAllocations);
    EXPECT_EQ(before.heapStringTotalBytesReallocated, afterSized.heapStringTotalBytesReallocated);
    EXPECT_EQ(on ? 1 : 0, afterFree.heapStringFrees - before.heapStringFrees);
}

TEST_P(HeapStringCounters, RequestBodyIsCountedOnlyWhenFreed) {
    const bool on = GetParam();
    CountingSwitch counting(on);
    Counters before = countersSnapshot();
    {
        RequestPtr request = parseWhole("POST / HTTP/1.1\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'q'));
        ASSERT_EQ(RequestParseStateDone, request->state);
        EXPECT_EQ(before.heapStringAllocations, countersSnapshot().heapStringAllocations);
    }
    Counters after = countersSnapshot();
    EXPECT_EQ(0, after.heapStringAllocations - before.heapStringAllocations);
    EXPECT_EQ(on ? 1 : 0, after.heapStringFrees - before.heapStringFrees);
}

INSTANTIATE_TEST_SUITE_P(Switch, HeapStringCounters, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });

std::string address(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

TEST(HeapStringSanity, EachBrokenRuleIsReported) {
    char block[8] = "abc";
    HeapString s;
    bool sane = true;

    s = HeapString{NULL, 0, 16};
    EXPECT_EQ("The heap string " + address(&s) + " has a capacity of 16but it's contents are NULL\n",
              sanityMessages(s, &sane));
    EXPECT_FALSE(sane);

    s = HeapString{NULL, 3, 0};
    EXPECT_EQ("The heap string " + address(&s) + " has a length of 3 but capacity is 0 and contents are NULL\n",
              sanityMessages(s, &sane));
    EXPECT_FALSE(sane);

    s = HeapString{block, 8, 8};
    EXPECT_EQ("Heap string " + address(&s) +
                  " has probably overwritten invalid memory because the capacity (8) is <= length (8), which is a "
                  "big nono. The capacity must always be 1 more than the length since the contents is "
                  "null-terminated for convenience.\n",
              sanityMessages(s, &sane));
    EXPECT_FALSE(sane);

    memcpy(block, "ab\0d\0\0\0", 8);
    s = HeapString{block, 4, 8};
    EXPECT_EQ("The " + address(&s) +
                  " strlen(heap string contents) (2) is not equal to heapString length (4), which is not correct for "
                  "a C string. This can be correct if we're sending something like a PNG image which can contain "
                  "'\\0' characters",
              sanityMessages(s, &sane));
    EXPECT_FALSE(sane);

    s = HeapString{block, 2, 8};
    EXPECT_EQ("", sanityMessages(s, &sane));
    EXPECT_TRUE(sane);
}

TEST(HeapStringSanity, UnterminatedBlockIsReportedWithoutReadingPastIt) {
    HeapString s;
    heapStringInit(&s);
    heapStringSetToCString(&s, "abc");
    memset(s.contents, 'x', s.capacity); // no NUL anywhere in the block
    bool sane = true;
    std::string printed = sanityMessages(s, &sane);
    EXPECT_FALSE(sane);
    EXPECT_NE(std::string::npos, printed.find("is not equal to heapString length (3)"));
    heapStringFreeContents(&s);
}

// The module reports on stdout; the death test reads stderr.
#define EXPECT_ABORTS_SAYING(statement, message)                                                                       \
    EXPECT_EXIT(                                                                                                       \
        {                                                                                                              \
            dup2(fileno(stderr), fileno(stdout));                                                                      \
            statement;                                                                                                 \
        },                                                                                                             \
        testing::KilledBySignal(SIGABRT), message)

// Growth that cannot be had, asked for by appending a record that claims a
// huge length: the block is grown before any byte is copied, so none is read.
TEST(HeapStringFailureDeathTest, GrowthBeyondWhatCanBeAllocatedAbortsNamingIt) {
    const size_t largest = (SIZE_MAX >> 1) + 1;
    const struct {
        size_t sourceLength;
        const char* message;
    } cases[] = {
        {((size_t)1 << 62) - 1,
         "(^|\n)Out of memory: could not allocate 4611686018427387904 bytes for a heap string\n"},
        // The largest power of two is still tried...
        {largest - 1, "(^|\n)Out of memory: could not allocate 9223372036854775808 bytes for a heap string\n"},
        // ...and beyond it the doubling stops instead of wrapping to 0.
        {largest, "(^|\n)Out of memory: a string of 9223372036854775809 bytes cannot be allocated\n"},
        {SIZE_MAX - 1, "(^|\n)Out of memory: a string of 18446744073709551615 bytes cannot be allocated\n"},
    };
    char bytes[1] = {'x'};
    for (const auto& c : cases) {
        HeapString s;
        heapStringInit(&s);
        HeapString huge{bytes, c.sourceLength, 1};
        EXPECT_ABORTS_SAYING(heapStringAppendHeapString(&s, &huge), c.message) << c.sourceLength;
    }
}

TEST(HeapStringFailureDeathTest, FailedResponseBodyNamesWhatWasAllocated) {
    EXPECT_ABORTS_SAYING(responseAlloc(200, "OK", "text/plain", (size_t)1 << 62),
                         "(^|\n)Out of memory: could not allocate 4611686018427387904 bytes for a response body\n");
}

TEST(HeapStringFailureDeathTest, CorruptRecordAbortsWithItsAssertionTextWhole) {
    HeapString corrupt{NULL, 0, 16};
    EXPECT_ABORTS_SAYING(
        heapStringFreeContents(&corrupt),
        "Assertion `string->capacity == 0 && \"Why did a string with a NULL contents have a capacity > "
        "0\\? This is not correct and may indicate corruption\"' failed.\n");
}

Request* zeroRequest() {
    return (Request*)calloc(1, sizeof(Request));
}

TEST(PoolString, FirstStringAtIndexZeroAndNextOneByteAfterIt) {
    RequestPtr request(zeroRequest());
    PoolString first{}, second{};
    poolStringStartNewString(&first, request.get());
    EXPECT_EQ(request->headersStringPool, first.contents);
    for (char c : std::string("abc")) {
        poolStringAppendChar(request.get(), &first, c);
    }
    poolStringStartNewString(&second, request.get());
    EXPECT_EQ(request->headersStringPool + 4, second.contents);
    poolStringAppendChar(request.get(), &second, 'z');
    EXPECT_STREQ("abc", first.contents);
    EXPECT_STREQ("z", second.contents);
    EXPECT_EQ(3u, first.length);
    EXPECT_EQ(5u, request->headersStringPoolOffset);
    EXPECT_FALSE(request->warnings.headersStringPoolExhausted);
}

TEST(PoolString, AppendAt8186SucceedsAndTheNextIsDropped) {
    RequestPtr request(zeroRequest());
    PoolString s{};
    poolStringStartNewString(&s, request.get());
    request->headersStringPoolOffset = 8186;
    s.contents = request->headersStringPool + 8180; // the string started last, six bytes in
    s.length = 6;
    poolStringAppendChar(request.get(), &s, 'y');
    EXPECT_EQ(8187u, request->headersStringPoolOffset);
    EXPECT_EQ(7u, s.length);
    EXPECT_EQ('y', request->headersStringPool[8186]);
    EXPECT_FALSE(request->warnings.headersStringPoolExhausted);
    poolStringAppendChar(request.get(), &s, 'z');
    EXPECT_EQ(8187u, request->headersStringPoolOffset);
    EXPECT_EQ(7u, s.length);
    EXPECT_TRUE(request->warnings.headersStringPoolExhausted);
    for (size_t i = 8187; i < REQUEST_HEADERS_MAX_MEMORY; i++) {
        EXPECT_EQ('\0', request->headersStringPool[i]);
    }
}

TEST(PoolString, StartAt8186BeginsAt8187AndTakesNoByte) {
    RequestPtr request(zeroRequest());
    request->headersStringPoolOffset = 8186;
    PoolString s{};
    poolStringStartNewString(&s, request.get());
    EXPECT_EQ(request->headersStringPool + 8187, s.contents);
    EXPECT_EQ(0u, s.length);
    EXPECT_FALSE(request->warnings.headersStringPoolExhausted);
    poolStringAppendChar(request.get(), &s, 'q');
    EXPECT_EQ(0u, s.length);
    EXPECT_EQ('\0', request->headersStringPool[8187]);
    EXPECT_TRUE(request->warnings.headersStringPoolExhausted);
}

TEST(PoolString, StartInAFullPoolLeavesTheStringNull) {
    RequestPtr request(zeroRequest());
    request->headersStringPoolOffset = 8187;
    PoolString s{request->headersStringPool, 5};
    poolStringStartNewString(&s, request.get());
    EXPECT_EQ(nullptr, s.contents);
    EXPECT_EQ(0u, s.length);
    EXPECT_TRUE(request->warnings.headersStringPoolExhausted);
    poolStringAppendChar(request.get(), &s, 'q');
    EXPECT_EQ(nullptr, s.contents);
    EXPECT_EQ(8187u, request->headersStringPoolOffset);
}

} // namespace
