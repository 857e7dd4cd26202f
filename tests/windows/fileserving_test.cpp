// fileserving_test.cpp: file serving against the Windows file system, where
// a folder has a second, short name (GIT~1 for .git) that the rule about
// dot-names must see through.
#include <gtest/gtest.h>

#include <string>

#include "webserver.h"

namespace {

std::wstring widen(const std::string& utf8) {
    wchar_t* wide = strdupWideFromUTF8(utf8.c_str(), 0);
    std::wstring result(wide);
    free(wide);
    return result;
}

int codeFor(const std::string& root, const std::string& target) {
    Response* response = responseAllocServeFileFromRequestPath("/", target.c_str(), target.c_str(), root.c_str());
    int code = response->code;
    responseFree(response);
    return code;
}

TEST(FileServingOnWindows, ShortNameOfADotFolderIsNotServed) {
    char base[MAX_PATH];
    GetTempPathA(sizeof(base), base);
    std::string root = std::string(base) + "q2-short-" + std::to_string(GetCurrentProcessId());
    std::string dotFolder = root + "\\.git";
    std::string secret = dotFolder + "\\config";
    std::string plain = root + "\\config";
    ASSERT_TRUE(CreateDirectoryW(widen(root).c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryW(widen(dotFolder).c_str(), NULL));
    for (const std::string& file : {secret, plain}) {
        FILE* stream = fopen_utf8_path(file.c_str(), "wb");
        ASSERT_NE(nullptr, stream);
        fputs("token=hunter2", stream);
        fclose(stream);
    }
    wchar_t shortForm[MAX_PATH] = {0};
    GetShortPathNameW(widen(dotFolder).c_str(), shortForm, MAX_PATH);
    std::wstring shortWide(shortForm);
    std::wstring shortName = shortWide.substr(shortWide.find_last_of(L'\\') + 1);
    std::string alias(shortName.begin(), shortName.end()); // short names are ASCII

    if (!alias.empty() && alias != ".git") {
        EXPECT_EQ(404, codeFor(root, "/" + alias + "/config")) << alias;
        EXPECT_EQ(404, codeFor(root, "/" + alias + "/")) << alias;
    }
    EXPECT_EQ(404, codeFor(root, "/.git/config"));
    EXPECT_EQ(200, codeFor(root, "/config"));

    DeleteFileW(widen(secret).c_str());
    DeleteFileW(widen(plain).c_str());
    RemoveDirectoryW(widen(dotFolder).c_str());
    RemoveDirectoryW(widen(root).c_str());
    if (alias.empty() || alias == ".git") {
        GTEST_SKIP() << "this file system makes no short names";
    }
}

} // namespace
