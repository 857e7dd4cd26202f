// URLDecode on arbitrary text, room and type: the output stays terminated
// inside its room, never grows beyond the input, and the result is false
// exactly when the room ran out (the output then fills the room; otherwise
// it equals the decoding with unlimited room).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "internal.h"

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);                          \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Malformed escapes print warnings; keep the fuzzer's output readable.
    if (freopen("/dev/null", "w", stdout) == NULL) {
        return 0;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    URLDecodeType type = provider.ConsumeBool() ? URLDecodeTypeParameter : URLDecodeTypeWholeURL;
    size_t capacity = provider.ConsumeIntegralInRange<size_t>(1, 64);
    std::string encoded = provider.ConsumeRemainingBytesAsString();
    const char* text = encoded.c_str(); // decoding ends at the first NUL
    size_t inputLength = strlen(text);

    // Exactly `capacity` bytes on the heap, so a write past the room is caught.
    std::vector<char> limited(capacity);
    size_t limitedLength = (size_t)-1;
    bool fitted = URLDecode(text, limited.data(), capacity, &limitedLength, type);
    CHECK(limitedLength < capacity);
    CHECK(limited[limitedLength] == '\0');
    CHECK(limitedLength <= inputLength);

    std::vector<char> unlimited(inputLength + 1);
    size_t unlimitedLength = (size_t)-1;
    CHECK(URLDecode(text, unlimited.data(), unlimited.size(), &unlimitedLength, type));
    CHECK(unlimitedLength <= inputLength);
    CHECK(unlimited[unlimitedLength] == '\0');

    // The limited output is always a prefix of the unlimited one.
    CHECK(limitedLength <= unlimitedLength);
    CHECK(memcmp(limited.data(), unlimited.data(), limitedLength) == 0);
    if (fitted) {
        CHECK(limitedLength == unlimitedLength);
    } else {
        CHECK(limitedLength == capacity - 1);
    }
    if (unlimitedLength >= capacity) {
        CHECK(!fitted);
    }
    return 0;
}
