#include "export/files.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/portable.h"

#include <gtest/gtest.h>


#include <filesystem>
#include <fstream>
#include <iterator>

namespace tavex {
namespace {

namespace fs = std::filesystem;

class RawFileTest : public ::testing::Test {
protected:
    fs::path dir = fs::path(::testing::TempDir()) / ("tavex-rawfile-" + std::to_string(testing_support::ProcessId()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    static std::string Contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

TEST_F(RawFileTest, OpensWithoutTruncatingAndReadsToTheEnd) {
    const fs::path path = dir / "Lang";
    std::ofstream(path, std::ios::binary) << "0123456789";
    RawFile file;
    ASSERT_TRUE(file.OpenFile(path.string()));
    EXPECT_TRUE(file.WriteBytes("ab", 2));
    ASSERT_TRUE(file.CloseFile());
    EXPECT_EQ(Contents(path), "ab23456789");  // the old tail stays

    ASSERT_TRUE(file.OpenFile(path.string()));
    char buffer[16] = {};
    EXPECT_EQ(file.ReadBytes(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "ab23");
    file.SeekTo(8);
    EXPECT_EQ(file.ReadBytes(buffer, 16), 2);
    EXPECT_EQ(file.ReadBytes(buffer, 16), 0);
    file.SeekTo(0);
    EXPECT_EQ(file.ReadBytes(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'a');
}

TEST_F(RawFileTest, SecondOpenKeepsTheFirstFile) {
    RawFile file;
    ASSERT_TRUE(file.OpenFile((dir / "first").string()));
    EXPECT_TRUE(file.OpenFile((dir / "second").string()));
    EXPECT_TRUE(file.WriteBytes("x", 1));
    EXPECT_TRUE(file.CloseFile());
    EXPECT_EQ(Contents(dir / "first"), "x");
    EXPECT_FALSE(fs::exists(dir / "second"));
}

TEST_F(RawFileTest, FailuresAreReportedAsFailures) {
    RawFile file;
    EXPECT_FALSE(file.OpenFile((dir / "missing" / "file").string()));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.WriteBytes("x", 1));
    char byte;
    EXPECT_EQ(file.ReadBytes(&byte, 1), 0);

#ifndef _WIN32
    // A file that cannot grow (a file-size limit stands in for a full disk): the write answers
    // false instead of pretending it went out.
    {
        RawFile limited;
        ASSERT_TRUE(limited.OpenFile((dir / "limited").string()));
        bool written;
        {
            testing_support::FileSizeLimit limit(4);
            written = limited.WriteBytes("0123456789", 10);
        }
        EXPECT_FALSE(written);
        limited.CloseFile();
    }
#endif

    // While one object has the file, nobody else opens it.
    RawFile owner;
    RawFile other;
    ASSERT_TRUE(owner.OpenFile((dir / "shared").string()));
    EXPECT_FALSE(other.OpenFile((dir / "shared").string()));
    owner.CloseFile();
    EXPECT_TRUE(other.OpenFile((dir / "shared").string()));
}

}  // namespace
}  // namespace tavex
