// helpers_test.cpp: the pieces of file serving that need no socket (prefix
// matching, content types, choosing the answer for a path: the document-root
// test, listings and their escaped links) and parameter decoding and HTML
// escaping.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"

namespace {

// A heap string from the module, compared and released in one go.
std::string takeString(char* owned) {
    EXPECT_NE(nullptr, owned);
    if (owned == nullptr) {
        return "<null>";
    }
    std::string copy(owned);
    free(owned);
    return copy;
}

std::string bodyOf(const Response* response) {
    if (response->body.contents == nullptr) {
        return "";
    }
    return std::string(response->body.contents, response->body.length);
}

// ---- Prefix matching ------------------------------------------------------------

struct PrefixCase {
    const char* path;
    const char* prefix;
    bool matches;
    size_t matchLength; // checked when it matches
};

TEST(RequestMatchesPathPrefix, DecidesMembershipAndCoveredLength) {
    const PrefixCase cases[] = {
        {"/releases/current", "/", true, 1},
        {"/releases/current", "/releases/current", true, 17},
        {"/releases/current/", "/releases/current", true, 17},
        {"/releases/current", "/releases/current/", true, 17},
        {"/files/Debug", "/files", true, 6},
        {"/", "/", true, 1},
        {"/b", "/a", false, 0},
        {"/.", "/a", false, 0},
        {"/releases/currentX", "/releases/current", false, 0},
        {"/releases/currentX", "/releases/current/", false, 0},
        {"/releases/curren", "/releases/current", false, 0},
        {"", "/", false, 0},
        {"/releases", "/releases/current/", false, 0},
        {"/releases/current//", "/releases/current/", true, 18},
    };
    for (const PrefixCase& c : cases) {
        size_t matchLength = 0;
        EXPECT_EQ(c.matches, requestMatchesPathPrefix(c.path, c.prefix, &matchLength))
            << "path '" << c.path << "' prefix '" << c.prefix << "'";
        if (c.matches) {
            EXPECT_EQ(c.matchLength, matchLength) << "path '" << c.path << "' prefix '" << c.prefix << "'";
        }
    }
}

TEST(RequestMatchesPathPrefix, EmptyPrefixMatchesAnythingAndLeavesLengthAlone) {
    size_t matchLength = 0;
    EXPECT_TRUE(requestMatchesPathPrefix("/releases/current", "", &matchLength));
    EXPECT_EQ(0u, matchLength);
    EXPECT_TRUE(requestMatchesPathPrefix("", "", &matchLength));
    EXPECT_TRUE(requestMatchesPathPrefix("/x", "/", NULL));
}

// ---- Content types --------------------------------------------------------------------------

const char* typeOf(const char* filename, const std::string& contents) {
    return MIMETypeFromFile(filename, (const uint8_t*)contents.data(), contents.size());
}

TEST(MIMETypeFromFile, MagicNumbersWinOverNames) {
    const std::string png("\x89PNG\r\n\x1A\n", 8);
    EXPECT_STREQ("image/png", typeOf("page.html", png));
    EXPECT_STREQ("image/png", typeOf("x", png + "more"));
    EXPECT_STREQ("image/gif", typeOf("a.css", "GIF89a"));
    EXPECT_STREQ("image/jpeg", typeOf("a.js", std::string("\xFF\xD8\xFF", 3)));
    // Seven PNG bytes are not a PNG; the byte 0x89 makes them binary.
    EXPECT_STREQ("application/binary", typeOf("x", png.substr(0, 7)));
    EXPECT_STREQ("text/plain", typeOf("x", "GI"));
}

TEST(MIMETypeFromFile, NameSuffixesAreCaseSensitiveAndNeedNoDot) {
    EXPECT_STREQ("text/html; charset=UTF-8", typeOf("index.html", "<p>"));
    EXPECT_STREQ("text/html; charset=UTF-8", typeOf("index.htm", "<p>"));
    EXPECT_STREQ("text/css", typeOf("site.css", "a{}"));
    EXPECT_STREQ("application/x-gzip", typeOf("archive.tar.gz", "\x1F"));
    EXPECT_STREQ("application/x-gzip", typeOf("bigz", "plain"));
    EXPECT_STREQ("application/javascript", typeOf("app.js", "var"));
    EXPECT_STREQ("text/plain", typeOf("INDEX.HTML", "<p>"));
    EXPECT_STREQ("text/plain", typeOf("ml", "<p>")) << "a name shorter than the suffix";
    EXPECT_STREQ("text/plain", typeOf("index.htmlx", "<p>"));
    EXPECT_STREQ("application/x-gzip", typeOf("gz", "plain")) << "the whole name as the suffix";
}

TEST(MIMETypeFromFile, OtherFilesAreBinaryOnlyForAHighByteInTheFirstHundred) {
    std::string text(150, 'a');
    EXPECT_STREQ("text/plain", typeOf("notes.txt", text));
    std::string highAt99 = text;
    highAt99[99] = '\x80';
    EXPECT_STREQ("application/binary", typeOf("notes.txt", highAt99));
    std::string highAt100 = text;
    highAt100[100] = '\xFF';
    EXPECT_STREQ("text/plain", typeOf("notes.txt", highAt100));
    EXPECT_STREQ("text/plain", typeOf("empty", ""));
}

// ---- Choosing the answer for a request path ---------------------------------------------------

class ServeFromDocumentRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "q2-files-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        root = pattern;
        std::filesystem::create_directories(root + "/docs/index.html");
        std::filesystem::create_directories(root + "/site");
        writeFile(root + "/site/index.html", "<h1>site</h1>");
        writeFile(root + "/docs/a b.txt", "a");
        writeFile(root + "/top.txt", "top");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    static void writeFile(const std::string& path, const std::string& contents) {
        std::ofstream out(path, std::ios::binary);
        out << contents;
    }
    // The answer to a path that climbs above the document root.
    static bool refusedAsAboveTheRoot(const Response* response) {
        return response->code == 403 && bodyOf(response) == "<html><head><title>Forbidden</title></head><body>You are "
                                                            "not allowed to access this URL</body></html>";
    }
    Response* serve(const char* prefix, const char* decodedPath) {
        return responseAllocServeFileFromRequestPath(prefix, decodedPath, decodedPath, root.c_str());
    }
    std::string root;
};

TEST_F(ServeFromDocumentRoot, FileBecomesAFileResponseWithTheTypeLeftForSending) {
    Response* response = serve("/files", "/files/top.txt");
    EXPECT_EQ(200, response->code);
    ASSERT_NE(nullptr, response->filenameToSend);
    EXPECT_EQ(root + "/top.txt", response->filenameToSend);
    EXPECT_EQ(nullptr, response->contentType);
    responseFree(response);

    // Every leading separator of the rest is skipped, backslashes too.
    response = serve("/files", "/files/\\//top.txt");
    ASSERT_NE(nullptr, response->filenameToSend);
    EXPECT_EQ(root + "/top.txt", response->filenameToSend);
    responseFree(response);
}

TEST_F(ServeFromDocumentRoot, PrefixItselfServesTheRootAndNullPrefixMeansSlash) {
    Response* response = serve("/files/", "/files");
    EXPECT_EQ(200, response->code);
    EXPECT_EQ(nullptr, response->filenameToSend);
    EXPECT_NE(std::string::npos, bodyOf(response).find("<a href=\"files/top.txt\">top.txt</a><br>\n"));
    responseFree(response);

    response = serve(NULL, "/site/");
    ASSERT_NE(nullptr, response->filenameToSend);
    EXPECT_TRUE(std::filesystem::equivalent(root + "/site/index.html", response->filenameToSend))
        << response->filenameToSend;
    responseFree(response);
}

TEST_F(ServeFromDocumentRoot, IndexThatIsADirectoryIsNotServedButListed) {
    Response* response = serve("/", "/docs/");
    EXPECT_EQ(200, response->code);
    EXPECT_EQ(nullptr, response->filenameToSend);
    std::string body = bodyOf(response);
    EXPECT_EQ(0u, body.find("<html><head><title>Directory Reading</title><body>"));
    EXPECT_NE(std::string::npos, body.find("<a href=\"a%20b.txt\">a&nbsp;b.txt</a><br>\n"));
    EXPECT_NE(std::string::npos, body.find("<a href=\"index.html\">index.html</a><br>\n"));
    responseFree(response);
}

TEST_F(ServeFromDocumentRoot, RefusesPathsOutsideThePrefixOrAboveTheRoot) {
    Response* response = serve("/files", "/filesystem/top.txt");
    EXPECT_EQ(400, response->code);
    EXPECT_NE(std::string::npos, bodyOf(response).find("<code>requestMatchesPathPrefix</code>"));
    responseFree(response);

    response = serve("/files", "/files/../top.txt");
    EXPECT_EQ(403, response->code);
    EXPECT_EQ("<html><head><title>Forbidden</title></head><body>You are not allowed to access this URL</body></html>",
              bodyOf(response));
    EXPECT_EQ(nullptr, response->filenameToSend);
    responseFree(response);

    response = serve("/files", "/files/docs/../../x");
    EXPECT_EQ(403, response->code);
    responseFree(response);
}

// Every way up out of the root is refused before the disk is asked, and
// only those: a path that stays inside is never answered so.
TEST_F(ServeFromDocumentRoot, PathsAreRefusedExactlyWhenTheyClimbAboveTheRoot) {
    const struct {
        const char* path;
        bool climbs;
    } cases[] = {
        {"../", true},
        {"/..", true},
        {"/../", true},
        {"/..//", true},
        {"/..///", true},
        {"./..", true},
        {"./../", true},
        {"./..//", true},
        {"./..///", true},
        {"./././../", true},
        {"..", true},
        {"../..", true},
        {"dir1/dir2/../../../", true},
        {"../dir1", true},
        {"..\\", true},
        {".\\..", true},
        {"dir1\\..\\..", true},
        {"..hidden", true},
        {"a/../../b/c/d", true},
        {"dir1", false},
        {"dir1/dir2", false},
        {"dir1/dir2/.", false},
        {"dir1/dir2/../.", false},
        {"dir1/dir2/.././", false},
        {"dir1/dir2/../.././", false},
        {"dir1/dir2/../../.", false},
        {".", false},
        {"test/..", false},
        {"", false},
        {".hidden/file", false},
        {"dir1\\dir2\\..", false},
        {"a..b/..", false},
    };
    for (const auto& c : cases) {
        Response* response = serve("/", ("/" + std::string(c.path)).c_str());
        EXPECT_EQ(c.climbs, refusedAsAboveTheRoot(response)) << "'" << c.path << "' answered " << response->code;
        responseFree(response);
    }
}

// Links in a listing keep letters, digits, '.' and '-' and write every other
// byte of the name (and of the last request segment) as lowercase %xx.
TEST_F(ServeFromDocumentRoot, ListingLinksEscapeTheNamesForURLs) {
    std::vector<std::pair<std::string, std::string>> names = {
        {"AZaz09.-", "AZaz09.-"}, {"a b.txt", "a%20b.txt"}, {"_~", "%5f%7e"}, {"%#&", "%25%23%26"}};
#ifndef _WIN32 // bytes a Windows file name cannot hold
    names.insert(names.end(), {{"\n", "%0a"},
                               {"\xC3\xA9", "%c3%a9"},
                               {"\"><script>", "%22%3e%3cscript%3e"},
                               {"%?#&", "%25%3f%23%26"},
                               {"\xFF\x01", "%ff%01"}});
#endif
    std::filesystem::create_directories(root + "/named dir");
    for (const auto& name : names) {
        writeFile(root + "/named dir/" + name.first, "x");
    }
    Response* withSlash = serve("/", "/named dir/");
    Response* withoutSlash = serve("/", "/named dir");
    for (const auto& name : names) {
        EXPECT_NE(std::string::npos, bodyOf(withSlash).find("<a href=\"" + name.second + "\">"))
            << name.second << " in\n"
            << bodyOf(withSlash);
        EXPECT_NE(std::string::npos, bodyOf(withoutSlash).find("<a href=\"named%20dir/" + name.second + "\">"))
            << name.second << " in\n"
            << bodyOf(withoutSlash);
    }
    responseFree(withSlash);
    responseFree(withoutSlash);
}

TEST_F(ServeFromDocumentRoot, MissingPathIsNotFoundAndNamesThePathOnDisk) {
    Response* response = serve("/files", "/files/nothing<here>");
    EXPECT_EQ(404, response->code);
    EXPECT_EQ(nullptr, response->filenameToSend);
    std::string body = bodyOf(response);
    EXPECT_NE(std::string::npos, body.find("nothing&lt;here&gt;"));
    EXPECT_EQ(std::string::npos, body.find("<here>"));
    responseFree(response);
}

// ---- Parameters ------------------------------------------------------------------------------

struct ParamCase {
    const char* text;
    std::string expected;
};

TEST(StrdupDecodeGETorPOSTParam, DecodesTheValueUpToTheNextAmpersand) {
    const ParamCase cases[] = {
        {"param=value", "value"},
        {"param=+value+", " value "},
        {"param=%20value%20", " value "},
        {"param=%200value%200", " 0value 0"},
        {"param=%0a0value%0a0", "\n0value\n0"},
        {"param=val%20ue", "val ue"},
        {"param=value%0a&next", "value\n"},
        {"first=1&param=two&param=three", "two"},
        {"otherparam=longer&param=short", "longer"},
        {"param=", ""},
        {"param=&next=1", ""},
        {"/print?job=1&param=a%26b", "a&b"},
    };
    for (const ParamCase& c : cases) {
        EXPECT_EQ(c.expected, takeString(strdupDecodeGETorPOSTParam("param=", c.text, NULL))) << c.text;
    }
}

TEST(StrdupDecodeGETorPOSTParam, AbsentParameterGivesACopyOfTheDefaultOrNull) {
    const char* fallback = "fallback";
    char* value = strdupDecodeGETorPOSTParam("param=", "other=1", fallback);
    ASSERT_NE(nullptr, value);
    EXPECT_NE(fallback, value);
    EXPECT_STREQ("fallback", value);
    free(value);
    EXPECT_EQ(nullptr, strdupDecodeGETorPOSTParam("param=", "other=1", NULL));
    EXPECT_EQ(nullptr, strdupDecodeGETorPOSTParam("param=", NULL, NULL));
    EXPECT_EQ("d", takeString(strdupDecodeGETorPOSTParam("param=", NULL, "d")));
    // Without its equals sign a name does not occur.
    EXPECT_EQ("d", takeString(strdupDecodeGETorPOSTParam("param=", "param", "d")));
}

TEST(StrdupDecodeGETAndPOSTParam, SearchTheRawTargetAndTheBody) {
    Request* request = (Request*)calloc(1, sizeof(Request));
    const char head[] = "POST /form?name=J%C3%BCrgen+K&x=1 HTTP/1.1\r\nContent-Length: 20\r\n\r\n";
    requestParse(request, head, sizeof(head) - 1);
    const char body[] = "amount=12%2C50&b=%41";
    requestParse(request, body, sizeof(body) - 1);
    ASSERT_EQ(RequestParseStateDone, request->state);

    EXPECT_EQ("J\xC3\xBCrgen K", takeString(strdupDecodeGETParam("name=", request, NULL)));
    EXPECT_EQ(nullptr, strdupDecodeGETParam("amount=", request, NULL));
    EXPECT_EQ("12,50", takeString(strdupDecodePOSTParam("amount=", request, NULL)));
    EXPECT_EQ("A", takeString(strdupDecodePOSTParam("b=", request, NULL)));
    EXPECT_EQ("none", takeString(strdupDecodePOSTParam("name=", request, "none")));
    requestFreeBody(request);
    free(request);

    Request* withoutBody = (Request*)calloc(1, sizeof(Request));
    const char get[] = "GET /?a=1 HTTP/1.1\r\n\r\n";
    requestParse(withoutBody, get, sizeof(get) - 1);
    EXPECT_EQ(nullptr, withoutBody->body.contents);
    EXPECT_EQ("default", takeString(strdupDecodePOSTParam("a=", withoutBody, "default")));
    EXPECT_EQ(nullptr, strdupDecodePOSTParam("a=", withoutBody, NULL));
    free(withoutBody);
}

// ---- HTML escaping ---------------------------------------------------------------------------

TEST(StrdupEscapeForHTML, ReplacesMarkupCharactersAndEverySpace) {
    const ParamCase cases[] = {
        {" ", "&nbsp;"},
        {"t ", "t&nbsp;"},
        {" t", "&nbsp;t"},
        {"   ", "&nbsp;&nbsp;&nbsp;"},
        {"\n", "\n"},
        {"", ""},
        {"nothing", "nothing"},
        {"<", "&lt;"},
        {">", "&gt;"},
        {"< ", "&lt;&nbsp;"},
        {"> ", "&gt;&nbsp;"},
        {"<a", "&lt;a"},
        {">a", "&gt;a"},
        {">a<", "&gt;a&lt;"},
        {"><", "&gt;&lt;"},
        {"\"'&", "&quot;&#039;&amp;"},
        {"\xC3\xA9\x01", "\xC3\xA9\x01"},
    };
    for (const ParamCase& c : cases) {
        EXPECT_EQ(c.expected, takeString(strdupEscapeForHTML(c.text))) << "'" << c.text << "'";
    }
}

} // namespace
