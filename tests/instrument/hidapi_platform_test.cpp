#include "instrument/hidapi_platform.h"
#include "tests/support/char_nodes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <vector>

namespace tavex {

namespace {

namespace fs = std::filesystem;

// This machine has no HID devices: the library must still load, list nothing and refuse paths
// that do not exist.
TEST(HidapiPlatform, WorksWithoutDevices) {
    auto platform = MakeHidapiPlatform();
    ASSERT_TRUE(platform->Load());
    EXPECT_TRUE(platform->ListInterfaces().has_value());
    EXPECT_EQ(platform->Open("/dev/hidraw-that-does-not-exist"), nullptr);
    EXPECT_EQ(platform->Open(""), nullptr);
    // A failed open leaves an error behind; listing must not take it for a failed list.
    EXPECT_TRUE(platform->ListInterfaces().has_value());
    platform->Unload();
}

TEST(HidapiPlatform, InterfacesSortNaturallyOnceEach) {
    EXPECT_EQ(SortInterfacePaths({"/dev/hidraw10", "/dev/hidraw2", "/dev/hidraw1", "/dev/hidraw2",
                                  "/dev/hidraw0", "/dev/hidraw10"}),
              (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2",
                                        "/dev/hidraw10"}));
    // Any two orders of the same paths give the same list.
    const std::vector<std::string> odd = {"/dev/hidraw02", "/dev/hidraw2",  "/dev/hidraw",
                                          "/dev/hidrawA",  "/dev/hidraw9x", "/dev/hid9"};
    std::vector<std::string> reversed(odd.rbegin(), odd.rend());
    const auto sorted = SortInterfacePaths(odd);
    EXPECT_EQ(sorted, SortInterfacePaths(reversed));
    EXPECT_EQ(sorted.size(), odd.size());
    EXPECT_TRUE(SortInterfacePaths({}).empty());
}

std::set<std::string> Entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

// The device lock is taken on the node itself: whatever else sits at the path is refused at
// once, without waiting on it and without making a file.
TEST(HidapiPlatform, DeviceLockRefusesAnythingButACharacterDevice) {
    std::string pattern = (fs::temp_directory_path() / "tavex-lock-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "plain") << "x";
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "plain", dir / "link");
    fs::create_directory(dir / "folder");
    const auto before = Entries(dir);

    auto platform = MakeHidapiPlatform();
    for (const char* name : {"plain", "fifo", "link", "folder", "missing"}) {
        SCOPED_TRACE(name);
        const std::string path = (dir / name).string();
        auto opened =
            std::async(std::launch::async, [&] { return platform->OpenDeviceLock(path); });
        if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Stalled on the FIFO: a writer lets it go, so that the test can end.
            ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
            ADD_FAILURE() << "opening the lock waited";
        }
        EXPECT_EQ(opened.get(), nullptr);
    }
    EXPECT_EQ(Entries(dir), before);
    fs::remove_all(dir);
}

// A character device of this test's own stands in for the meter's node: two openers contend
// for it as two programs would.
TEST(HidapiPlatform, DeviceLockOfANodeIsExclusive) {
    std::string pattern = (fs::temp_directory_path() / "tavex-lock-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string node = pattern + "/hidraw0";
    testing::CharNodes nodes;
    std::string why;
    if (!nodes.Make(node, why)) {
        fs::remove_all(pattern);
        GTEST_SKIP() << "no character device node can be made here: " << why;
    }
    auto platform = MakeHidapiPlatform();
    auto first = platform->OpenDeviceLock(node);
    auto second = platform->OpenDeviceLock(node);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(first->TryLock(), HidDeviceLock::Result::kHeld);
    EXPECT_EQ(first->TryLock(), HidDeviceLock::Result::kHeld);
    EXPECT_EQ(second->TryLock(), HidDeviceLock::Result::kInUse);
    first->Unlock();
    EXPECT_EQ(second->TryLock(), HidDeviceLock::Result::kHeld);
    second.reset();  // closing lets go
    EXPECT_EQ(first->TryLock(), HidDeviceLock::Result::kHeld);
    first.reset();
    fs::remove_all(pattern);
}

class SysfsDescriptor : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tavex-hidraw-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "class");
        fs::create_directories(root_ / "dev");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Makes class/<node>/device/report_descriptor and a /dev-like node file for it.
    void AddNode(const std::string& node, const std::vector<std::uint8_t>& descriptor) {
        const fs::path device = root_ / "class" / node / "device";
        fs::create_directories(device);
        std::ofstream(device / "report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(descriptor.data()),
                   static_cast<std::streamsize>(descriptor.size()));
        std::ofstream(root_ / "dev" / node);
    }

    std::optional<HidReportLengths> Read(const std::string& devicePath) {
        return ReadReportLengthsFromSysfs((root_ / "class").string(), devicePath);
    }

    fs::path root_;
};

// The meter's kind of descriptor: one 14-byte feature report, no report IDs.
const std::vector<std::uint8_t> kMeterLike = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
                                              0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
                                              0x75, 0x08, 0x95, 0x0E, 0xB1, 0x02, 0xC0};

TEST_F(SysfsDescriptor, ReadsTheNodesDescriptor) {
    AddNode("hidraw7", kMeterLike);
    AddNode("hidraw17", {0x75, 0x08, 0x95, 0x02, 0x81, 0x02});

    auto lengths = Read("/dev/hidraw7");
    ASSERT_TRUE(lengths.has_value());
    EXPECT_EQ(lengths->input, 0);
    EXPECT_EQ(lengths->output, 0);
    EXPECT_EQ(lengths->feature, 15);

    lengths = Read("/dev/hidraw17");
    ASSERT_TRUE(lengths.has_value());
    EXPECT_EQ(lengths->input, 3);
    EXPECT_EQ(lengths->feature, 0);

    // A udev symlink is followed to the node it names.
    fs::create_symlink(root_ / "dev" / "hidraw7", root_ / "dev" / "tavex");
    lengths = Read((root_ / "dev" / "tavex").string());
    ASSERT_TRUE(lengths.has_value());
    EXPECT_EQ(lengths->feature, 15);
}

TEST_F(SysfsDescriptor, RefusesWhatIsNotAHidrawNodesDescriptor) {
    AddNode("hidraw7", kMeterLike);
    AddNode("hidraw8", {});
    AddNode("hidraw9", {0x75, 0x08, 0x95});
    AddNode("hidraw10", std::vector<std::uint8_t>(70000, 0x00));
    AddNode("mouse0", kMeterLike);

    EXPECT_FALSE(Read("/dev/hidraw8").has_value());   // empty
    EXPECT_FALSE(Read("/dev/hidraw9").has_value());   // truncated
    EXPECT_FALSE(Read("/dev/hidraw10").has_value());  // far too long to be a descriptor
    EXPECT_FALSE(Read("/dev/hidraw11").has_value());  // no such node
    for (const char* path :
         {"/dev/mouse0", "/dev/hidraw", "/dev/hidraw7x", "hidraw7/..", "/dev/hidraw7/", "", "/"}) {
        EXPECT_FALSE(Read(path).has_value()) << path;
    }
}

}  // namespace
}  // namespace tavex
