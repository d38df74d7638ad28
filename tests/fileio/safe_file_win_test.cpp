#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "fileio/safe_file.h"
#include "fileio/win_text.h"
#include "tests/support/portable.h"

namespace tavex {
namespace {

namespace fs = std::filesystem;

// Files are named here in UTF-8, as the program names them; the file system sees UTF-16.
class SafeFileWindows : public ::testing::Test {
protected:
    void SetUp() override {
        dir = Narrow(fs::temp_directory_path().wstring()) + "tavex-safe-" +
              std::to_string(testing_support::ProcessId()) + "\\";
        fs::remove_all(Wide(dir));
        fs::create_directory(Wide(dir));
    }
    void TearDown() override {
        for (const auto& entry : fs::directory_iterator(Wide(dir))) {
            ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        fs::remove_all(Wide(dir));
    }
    static fs::path Wide(const std::string& utf8) { return fs::path(tavex::Widen(utf8)); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::string error;
        ASSERT_TRUE(ReplaceWholeFile(path, bytes.data(), bytes.size(), error)) << error;
    }
    static std::string Read(const std::string& path) {
        std::string bytes;
        std::string error;
        ReadLimits limits;
        limits.maxSize = 1 << 20;
        EXPECT_TRUE(ReadRegularFile(path, limits, bytes, error)) << error;
        return bytes;
    }
    std::set<std::string> Entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(Wide(dir))) {
            names.insert(Narrow(entry.path().filename().wstring()));
        }
        return names;
    }

    std::string dir;
};

TEST_F(SafeFileWindows, ReplacementFollowsTheRuleForWindowsTargets) {
    const std::string cyrillic = dir + "Результаты измерений.csv";
    Write(cyrillic, "first");
    Write(cyrillic, "second");
    EXPECT_EQ(Read(cyrillic), "second");

    // Names differ in case only: the same file, replaced, never a second one.
    Write(dir + "results.csv", "lower");
    Write(dir + "RESULTS.CSV", "upper");
    EXPECT_EQ(Read(dir + "Results.Csv"), "upper");

    Write(dir + "locked.csv", "earlier");
    ASSERT_TRUE(::SetFileAttributesW(Wide(dir + "locked.csv").c_str(), FILE_ATTRIBUTE_READONLY));
    fs::create_directory(Wide(dir + "folder"));
    const std::set<std::string> before = Entries();
    struct Case {
        std::string target;
        const char* refusal;
    };
    const Case cases[] = {
        {dir + "locked.csv", "is read-only"},
        {dir + "folder", "not a regular file"},
        {dir + "NUL", "not a regular file"},
        {dir + "com1.csv", "not a regular file"},
        {"\\\\.\\pipe\\tavex", "not a regular file"},
        {dir + "missing\\x.csv", "cannot open the folder"},
        {dir, "not a file name"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ReplaceWholeFile(c.target, "new", 3, error)) << c.target;
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
    EXPECT_EQ(Entries(), before);
    EXPECT_EQ(Read(dir + "locked.csv"), "earlier");

    // A link (reparse point) is never followed, where one can be made at all (Wine 8 answers
    // success and makes none).
    const DWORD made =
        ::CreateSymbolicLinkW(Wide(dir + "link.csv").c_str(), Wide(dir + "results.csv").c_str(),
                              SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
            ? ::GetFileAttributesW(Wide(dir + "link.csv").c_str())
            : INVALID_FILE_ATTRIBUTES;
    if (made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::string error;
        EXPECT_FALSE(ReplaceWholeFile(dir + "link.csv", "new", 3, error));
        EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
        EXPECT_EQ(Read(dir + "results.csv"), "upper");
    }
}

// A file another program holds open without sharing it cannot be replaced: the earlier file
// stays, and nothing is left beside it.
TEST_F(SafeFileWindows, AFileHeldByAnotherProgramStaysAsItWas) {
    const std::string target = dir + "held.htm";
    Write(target, "earlier");
    const HANDLE held = ::CreateFileW(Wide(target).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string error;
    EXPECT_FALSE(ReplaceWholeFile(target, "new", 3, error));
    EXPECT_NE(error.find("held.htm"), std::string::npos) << error;
    ::CloseHandle(held);
    EXPECT_EQ(Read(target), "earlier");
    EXPECT_EQ(Entries(), std::set<std::string>{"held.htm"});

    // Names at the file system's limit of 255 units: the new file's name is shortened.
    const std::string longest(255, 'n');
    Write(dir + longest, "long");
    Write(dir + longest, "longer");
    EXPECT_EQ(Read(dir + longest), "longer");
}

TEST_F(SafeFileWindows, ReadingTakesOnlyRegularFilesOfSaneSize) {
    Write(dir + "eight", "12345678");
    struct Case {
        std::string path;
        std::uint64_t max;
        const char* refusal;
        bool missing = false;
    };
    const Case cases[] = {
        {dir + "eight", 8, nullptr},
        {dir + "eight", 7, "8 bytes"},
        {dir + "NUL", 100, "not a regular file"},
        {"\\\\.\\pipe\\tavex", 100, "not a regular file"},
        {dir + "folder-that-is-not", 100, "cannot open", true},
    };
    fs::create_directory(Wide(dir + "sub"));
    for (const Case& c : cases) {
        std::string bytes;
        std::string error;
        bool missing = false;
        ReadLimits limits;
        limits.maxSize = c.max;
        const bool ok = ReadRegularFile(c.path, limits, bytes, error, &missing);
        EXPECT_EQ(ok, c.refusal == nullptr) << c.path << ": " << error;
        if (!ok) {
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        }
        EXPECT_EQ(missing, c.missing) << c.path;
    }
    std::string error;
    EXPECT_FALSE(IsReadableRegularFile(dir + "sub", 100, error));
}

}  // namespace
}  // namespace tavex
