#include "fileio/safe_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "../support/file_size_limit.h"

namespace tavex {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& path, const std::string& bytes, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << bytes;
    ::chmod(path.c_str(), mode);
}

class SafeFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tavex-safe-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        oldMask = ::umask(022);
    }
    void TearDown() override {
        ::umask(oldMask);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::set<std::string> Entries(const fs::path& folder) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }
    mode_t Mode(const fs::path& path) const {
        struct stat info {};
        ::lstat(path.c_str(), &info);
        return info.st_mode & 07777;
    }

    fs::path dir;
    mode_t oldMask = 0;
};

// Every kind of target, by the one rule: what is refused stays exactly as it was and nothing is
// left beside it; what is replaced gets the new bytes and the right permission bits.
TEST_F(SafeFile, ReplacementFollowsOneRuleForEveryKindOfTarget) {
    const bool root = ::geteuid() == 0;
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;  // puts something at the target name
        const char* refusal;                        // nullptr: replaced
        mode_t mode;                                // the replaced file's permission bits
        const char* replaced = nullptr;  // the file that receives the bytes, if not the target
    };
    const Case cases[] = {
        {"new", [](const fs::path&) {}, nullptr, 0644},
        {"private", [](const fs::path& p) { Write(p, "old", 0600); }, nullptr, 0600},
        {"setid bits dropped", [](const fs::path& p) { Write(p, "old", 06777); }, nullptr, 0777},
        {"read-only", [](const fs::path& p) { Write(p, "old", 0444); }, "is read-only", 0},
        {"no write bit at all", [](const fs::path& p) { Write(p, "old", 0); }, "is read-only", 0},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, "not a regular file", 0},
        {"fifo", [](const fs::path& p) { ::mkfifo(p.c_str(), 0666); }, "not a regular file", 0},
        {"link to a device", [](const fs::path& p) { fs::create_symlink("/dev/null", p); },
         "not a regular file", 0},
        {"own link",
         [this](const fs::path& p) {
             Write(dir / "real", "old", 0640);
             fs::create_symlink("real", p);
         },
         nullptr, 0640, "real"},
        {"own link to a link in a subfolder",
         [this](const fs::path& p) {
             fs::create_directory(dir / "sub");
             Write(dir / "sub" / "deep", "old", 0644);
             fs::create_symlink("deep", dir / "sub" / "hop");
             fs::create_symlink("sub/hop", p);
         },
         nullptr, 0644, "sub/deep"},
        {"dangling link", [](const fs::path& p) { fs::create_symlink("nowhere/victim", p); },
         "symbolic link to nothing", 0},
        {"dangling link into the folder",
         [](const fs::path& p) { fs::create_symlink("victim", p); }, "symbolic link to nothing", 0},
        {"link loop", [](const fs::path& p) { fs::create_symlink(p.filename(), p); },
         "too many symbolic links", 0},
        {"another user's link",
         [this, root](const fs::path& p) {
             Write(dir / "victim", "old", 0666);
             fs::create_symlink("victim", p);
             if (root) {
                 ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0);
             }
         },
         root ? "belongs to another user" : nullptr, 0666, root ? nullptr : "victim"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        fs::create_directory(dir);
        const fs::path target = dir / "target";
        c.make(target);
        const std::set<std::string> before = Entries(dir);
        const std::string victim = fs::exists(dir / "victim") ? Read(dir / "victim") : "";
        std::string error;
        const bool ok = ReplaceWholeFile(target.string(), "new", 3, error);
        if (c.refusal) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
            EXPECT_NE(error.find(target.string()), std::string::npos) << error;
            EXPECT_EQ(Entries(dir), before);
            if (fs::is_regular_file(fs::symlink_status(target))) {
                EXPECT_EQ(Read(target), "old");
            }
            if (!victim.empty()) {
                EXPECT_EQ(Read(dir / "victim"), victim);
            }
            continue;
        }
        ASSERT_TRUE(ok) << error;
        const fs::path replaced = c.replaced ? dir / c.replaced : target;
        EXPECT_EQ(Read(replaced), "new");
        EXPECT_EQ(Mode(replaced), c.mode);
        if (c.replaced) {
            EXPECT_TRUE(fs::is_symlink(target));
        }
        if (!c.replaced) {
            EXPECT_EQ(Entries(dir), std::set<std::string>{"target"});
        }
    }
}

// Names close to the file system's limit of 255 bytes: the new file's name is shortened, never
// split inside a character, and the target keeps its own name.
TEST_F(SafeFile, LongNamesAreReplacedWhole) {
    std::string cyrillic;
    for (int i = 0; i < 127; ++i) cyrillic += "ж";  // 254 bytes
    for (const std::string& name : {std::string(255, 'a'), std::string(250, 'b') + ".csv", cyrillic,
                                    "x" + cyrillic, std::string(256, 'c')}) {
        std::string error;
        const fs::path target = dir / name;
        const bool fits = name.size() <= 255;
        EXPECT_EQ(ReplaceWholeFile(target.string(), "one", 3, error), fits) << error;
        if (fits) {
            Write(target, "old", 0644);
            EXPECT_TRUE(ReplaceWholeFile(target.string(), "two", 3, error)) << error;
            EXPECT_EQ(Read(target), "two");
            EXPECT_EQ(Entries(dir), std::set<std::string>{name});
            fs::remove(target);
        } else {
            EXPECT_NE(error.find("File name too long"), std::string::npos) << error;
        }
    }
}

// The new file is private while it is written; abandoning it, a failed write (the disk full) or a
// target that turned read-only meanwhile leave the earlier file as it was and nothing beside it.
TEST_F(SafeFile, NothingIsLostWhenAReplacementEndsEarly) {
    const fs::path target = dir / "results.csv";
    Write(target, "earlier results", 0644);
    {
        FileReplacement replacement;
        ASSERT_TRUE(replacement.Begin(target.string()));
        struct stat info {};
        ASSERT_EQ(::fstat(replacement.Descriptor(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(Mode(dir / replacement.PartialName()), 0600u);
        EXPECT_TRUE(replacement.Write("partial", 7));
    }  // dropped without Commit
    EXPECT_EQ(Entries(dir), std::set<std::string>{"results.csv"});

    {
        const testing_support::FileSizeLimit limit(4);
        std::string error;
        EXPECT_FALSE(ReplaceWholeFile(target.string(), "too long for the disk", 21, error));
        EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    }
    {
        FileReplacement replacement;
        ASSERT_TRUE(replacement.Begin(target.string()));
        ASSERT_TRUE(replacement.Write("new", 3));
        ::chmod(target.c_str(), 0444);
        EXPECT_FALSE(replacement.Commit());
        EXPECT_NE(replacement.Error().find("read-only"), std::string::npos);
        ::chmod(target.c_str(), 0644);
    }
    EXPECT_EQ(Read(target), "earlier results");
    EXPECT_EQ(Entries(dir), std::set<std::string>{"results.csv"});

    std::string error;
    EXPECT_FALSE(ReplaceWholeFile((dir / "absent" / "x").string(), "x", 1, error));
    EXPECT_FALSE(ReplaceWholeFile(dir.string() + "/", "x", 1, error));
    EXPECT_FALSE(ReplaceWholeFile("", "x", 1, error));
    // Links may be refused altogether (the language file).
    fs::create_symlink("results.csv", dir / "Lang");
    ReplaceOptions noLinks;
    noLinks.followLinks = false;
    EXPECT_FALSE(ReplaceWholeFile((dir / "Lang").string(), "1", 1, error, noLinks));
    EXPECT_TRUE(fs::is_symlink(dir / "Lang"));
    EXPECT_EQ(Read(target), "earlier results");
}

// Files read by name: only regular files within their limits, and never a wait on a FIFO.
TEST_F(SafeFile, ReadingTakesOnlyRegularFilesOfSaneSize) {
    Write(dir / "eight", "12345678");
    ::mkfifo((dir / "fifo").c_str(), 0600);
    fs::create_symlink("eight", dir / "link");
    fs::create_symlink("gone", dir / "dangling");
    struct Case {
        fs::path path;
        ReadLimits limits;
        const char* refusal;
        bool missing = false;
    };
    const auto limits = [](std::uint64_t max, std::optional<std::uint64_t> exact = {},
                           bool follow = true) {
        ReadLimits l;
        l.maxSize = max;
        l.exactSize = exact;
        l.followLinks = follow;
        return l;
    };
    const Case cases[] = {
        {dir / "eight", limits(8), nullptr},
        {dir / "eight", limits(0, 8), nullptr},
        {dir / "link", limits(8), nullptr},
        {dir / "eight", limits(7), "8 bytes"},
        {dir / "eight", limits(100, 9), "exactly 9"},
        {dir / "fifo", limits(100), "not a regular file"},
        {"/dev/null", limits(100), "not a regular file"},
        {dir, limits(100), "not a regular file"},
        {dir / "link", limits(8, {}, false), "symbolic link"},
        {dir / "dangling", limits(8, {}, false), "symbolic link"},
        {dir / "dangling", limits(8), "No such file", true},
        {dir / "absent", limits(8), "No such file", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        std::string bytes;
        std::string error;
        bool missing = !c.missing;
        const bool ok = ReadRegularFile(c.path.string(), c.limits, bytes, error, &missing);
        EXPECT_EQ(ok, c.refusal == nullptr) << error;
        if (ok) {
            EXPECT_EQ(bytes, "12345678");
        } else {
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        }
        EXPECT_EQ(missing, c.missing);
    }
}

}  // namespace
}  // namespace tavex
