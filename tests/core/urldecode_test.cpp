// URLDecode: both decode types, the output room, and malformed or cut-off
// escapes. Output buffers carry a guard tail to catch writes past the room.
#include "core_support.h"

using namespace std::string_literals;

namespace {

const char kGuard = (char)0xA5;

struct Decoded {
    bool ok;
    std::string text; // decodedLength bytes
    size_t length;
    std::string printed;
};

Decoded decode(const std::string& encoded, size_t capacity, URLDecodeType type) {
    std::vector<char> buffer(capacity + 16, kGuard);
    Decoded result{};
    result.length = (size_t)-1;
    result.printed =
        captureStdout([&] { result.ok = URLDecode(encoded.c_str(), buffer.data(), capacity, &result.length, type); });
    EXPECT_LT(result.length, capacity);
    if (result.length < capacity) {
        result.text.assign(buffer.data(), result.length);
        EXPECT_EQ('\0', buffer[result.length]) << "terminator";
    }
    for (size_t i = capacity; i < buffer.size(); i++) {
        EXPECT_EQ(kGuard, buffer[i]) << "byte " << i << " beyond the room was written";
    }
    return result;
}

struct DecodeCase {
    const char* name;
    const char* encoded;
    std::string expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class ParameterDecoding : public testing::TestWithParam<DecodeCase> {};

// With room for exactly the result and its terminator, decoding succeeds.
TEST_P(ParameterDecoding, FitsInDecodedLengthPlusOne) {
    const DecodeCase& c = GetParam();
    Decoded d = decode(c.encoded, c.expected.size() + 1, URLDecodeTypeParameter);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(c.expected, d.text);
    EXPECT_EQ(c.expected.size(), d.length);
    EXPECT_EQ("", d.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ParameterDecoding,
    testing::Values(DecodeCase{"Space", "%20", " "}, DecodeCase{"FourAts", "%40%40%40%40", "@@@@"},
                    DecodeCase{"Percent", "%25", "%"}, DecodeCase{"AtsAroundText", "%40aaa%40", "@aaa@"},
                    DecodeCase{"LeadingEscape", "%40abc", "@abc"}, DecodeCase{"TrailingEscape", "abc%40", "abc@"},
                    DecodeCase{"StopsAtAmpersand", "abc%40&abc", "abc@"},
                    DecodeCase{"LeadingAmpersand", "&abc%40&abc", ""}, DecodeCase{"PlusIsSpace", "a+b+", "a b "},
                    DecodeCase{"LetterCaseOfHexDigits", "%4a%4A%fF", "JJ\xff"},
                    DecodeCase{"EscapedZeroByte", "a%00b", "a\0b"s},
                    DecodeCase{"EscapedAmpersandDoesNotStop", "a%26b&c", "a&b"}, DecodeCase{"EmptyInput", "", ""}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(URLDecodeTypes, WholeURLDecodesPastAmpersands) {
    Decoded d = decode("/p?a=%41&b=c+d", 64, URLDecodeTypeWholeURL);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ("/p?a=A&b=c d", d.text);
}

TEST(URLDecodeTypes, ParameterStopsAtTheFirstAmpersandEvenWhenRoomIsShort) {
    // The ampersand is tested before the room, so "ab" in room 3 is complete.
    Decoded d = decode("ab&cdef", 3, URLDecodeTypeParameter);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ("ab", d.text);
}

TEST(URLDecodeRoom, StopsWhenOnlyTheTerminatorFits) {
    Decoded d = decode("abcdef", 4, URLDecodeTypeWholeURL);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ("abc", d.text);
    EXPECT_EQ(3u, d.length);
}

TEST(URLDecodeRoom, ExactFitSucceeds) {
    Decoded d = decode("abc", 4, URLDecodeTypeWholeURL);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ("abc", d.text);
}

TEST(URLDecodeRoom, RoomOfOneHoldsOnlyTheTerminator) {
    EXPECT_FALSE(decode("a", 1, URLDecodeTypeWholeURL).ok);
    Decoded empty = decode("", 1, URLDecodeTypeWholeURL);
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(0u, empty.length);
}

TEST(URLDecodeRoom, IsTestedBeforeBytesThatWriteNothing) {
    // The percent sign would write nothing, yet the room check runs first.
    Decoded d = decode("ab%41", 3, URLDecodeTypeWholeURL);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ("ab", d.text);
    Decoded cutEscape = decode("ab%", 3, URLDecodeTypeWholeURL);
    EXPECT_FALSE(cutEscape.ok);
    EXPECT_EQ("ab", cutEscape.text);
}

TEST(URLDecodeRoom, EscapesCountAsOneOutputByte) {
    Decoded fits = decode("%41%42", 3, URLDecodeTypeWholeURL);
    EXPECT_TRUE(fits.ok);
    EXPECT_EQ("AB", fits.text);
    Decoded cut = decode("%41%42", 2, URLDecodeTypeWholeURL);
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ("A", cut.text);
}

TEST(URLDecodeRoom, LengthIsOptional) {
    char out[8];
    EXPECT_TRUE(URLDecode("a%20b", out, sizeof out, NULL, URLDecodeTypeWholeURL));
    EXPECT_STREQ("a b", out);
    EXPECT_FALSE(URLDecode("abcdefghij", out, sizeof out, NULL, URLDecodeTypeWholeURL));
    EXPECT_STREQ("abcdefg", out);
}

TEST(URLDecodeMalformed, NonHexFirstCharacterWarnsAndWritesNothing) {
    Decoded d = decode("x%zzA", 16, URLDecodeTypeWholeURL);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ("xA", d.text);
    EXPECT_EQ("Warning: Unable to decode hex string 0xzz from zA", d.printed);
}

TEST(URLDecodeMalformed, DecodingGoesOnAfterAMalformedEscape) {
    Decoded d = decode("%g1%41", 16, URLDecodeTypeWholeURL);
    EXPECT_EQ("A", d.text);
    EXPECT_EQ("Warning: Unable to decode hex string 0xg1 from 1%41", d.printed);
}

TEST(URLDecodeMalformed, PercentAsFirstEscapeCharacterIsMalformed) {
    Decoded d = decode("%%41", 16, URLDecodeTypeWholeURL);
    EXPECT_EQ("1", d.text);
    EXPECT_EQ("Warning: Unable to decode hex string 0x%4 from 41", d.printed);
}

TEST(URLDecodeMalformed, HexFirstCharacterAloneGivesItsValue) {
    Decoded d = decode("%4g|%Az", 16, URLDecodeTypeWholeURL);
    EXPECT_EQ("\x04|\x0a"s, d.text);
    EXPECT_EQ("", d.printed);
}

TEST(URLDecodeMalformed, EscapeCutOffByTheEndWritesNothing) {
    for (const char* encoded : {"abc%", "abc%4"}) {
        Decoded d = decode(encoded, 16, URLDecodeTypeWholeURL);
        EXPECT_TRUE(d.ok) << encoded;
        EXPECT_EQ("abc", d.text) << encoded;
        EXPECT_EQ("", d.printed) << encoded;
    }
}

TEST(URLDecodeMalformed, EscapeCutOffByAnAmpersandWritesNothing) {
    Decoded d = decode("ab%4&cd", 16, URLDecodeTypeParameter);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ("ab", d.text);
}

} // namespace
