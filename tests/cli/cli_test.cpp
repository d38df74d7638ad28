#include "cli/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace tavex::cli {
namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CliTest : public ::testing::Test {
protected:
    std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>();
    std::shared_ptr<sim::SimMeter> meter = std::make_shared<sim::SimMeter>(sim::DemoMemoryImage());
    fs::path dir;

    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("tavex-cli-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the tool with the test's bus standing in for the USB bus.
    Result Run(std::vector<std::string> args) {
        Environment environment;
        environment.realPlatform = [this] { return bus; };
        environment.clock = [] { return LocalDateTime{2026, 12, 6, 21, 5, 9}; };
        std::ostringstream out;
        std::ostringstream err;
        const int code = cli::Run(args, out, err, environment);
        return {code, out.str(), err.str()};
    }
};

TEST_F(CliTest, InfoOnTheSimulatedMeter) {
    const Result r = Run({"--simulate", "info"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_EQ(r.out,
              "connected: yes\nlanguage: English\nunit: Bq/m3\nheader: valid\n"
              "record pointer: 120\nrecord count: 250\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, InfoFollowsTheMetersSettings) {
    meter->SetByte(memory::kLanguageAddress, 0);
    meter->SetByte(memory::kUnitAddress, 1);
    meter->SetByte(memory::kHeaderAddress,
                   static_cast<std::uint8_t>(meter->Byte(memory::kHeaderAddress) + 1));
    bus->Plug(meter);
    const Result r = Run({"--wait", "0", "info"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_EQ(r.out,
              "connected: yes\nlanguage: Russian\nunit: pCi/l\nheader: invalid\n"
              "record pointer: 0\nrecord count: 0\n");
}

TEST_F(CliTest, NoMeterAndAMeterThatDoesNotAnswer) {
    bus->Plug(std::make_shared<sim::OtherDevice>(0x046D, 0xC52B));
    Result r = Run({"--wait=0", "info"});
    EXPECT_EQ(r.code, kExitNoDevice);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("03eb:5603"), std::string::npos);
    EXPECT_NE(r.err.find("udev"), std::string::npos);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

    meter->FailReport(1);
    bus->Plug(meter);
    r = Run({"--wait", "0", "info"});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find("did not answer"), std::string::npos);
}

TEST_F(CliTest, UsageErrorsAndHelp) {
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"frobnicate"},
                                                                  {"--bogus", "info"},
                                                                  {"--wait", "soon", "info"},
                                                                  {"--wait"},
                                                                  {"--wait", "-1", "info"},
                                                                  {"dump"},
                                                                  {"dump", "a", "b"},
                                                                  {"info", "extra"},
                                                                  {"clear", "--yes", "--backup"},
                                                                  {"--simulate=", "info"}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.code, kExitUsage) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.err.empty());
    }
    Result r = Run({"--help"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_NE(r.out.find("usage: tavex-cli"), std::string::npos);
    r = Run({"--simulate", "clear", "--help"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_NE(r.out.find("clear --yes"), std::string::npos);
    EXPECT_EQ(meter->ReportCount(), 0u);
}

TEST_F(CliTest, SetClockSendsTheLocalTime) {
    bus->Plug(meter);
    const Result r = Run({"--wait", "0", "set-clock"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_EQ(r.out, "clock set: 2026-12-06 21:05:09\n");
    EXPECT_EQ(meter->Clock(), (sim::MeterClock{9, 5, 21, 6, 12, 26}));
}

TEST_F(CliTest, ClearNeedsConfirmationAndAValidHeader) {
    bus->Plug(meter);
    const sim::MemoryImage before = meter->Memory();
    Result r = Run({"--wait", "0", "clear"});
    EXPECT_EQ(r.code, kExitUsage);
    EXPECT_NE(r.err.find("--yes"), std::string::npos);
    EXPECT_EQ(meter->Memory(), before);

    meter->SetByte(memory::kHeaderAddress,
                   static_cast<std::uint8_t>(before[memory::kHeaderAddress] ^ 1));
    const sim::MemoryImage damaged = meter->Memory();
    r = Run({"--wait", "0", "clear", "--yes"});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find("not valid"), std::string::npos);
    EXPECT_EQ(meter->Memory(), damaged);
}

TEST_F(CliTest, ClearWithBackupKeepsACopyFirst) {
    bus->Plug(meter);
    const sim::MemoryImage before = meter->Memory();
    const fs::path backup = dir / "backup.img";
    Result r = Run({"--wait", "0", "clear", "--yes", "--backup", backup.string()});
    EXPECT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.out, "cleared: 250 results\n");
    const auto header = memory::DecodeHeader(meter->Memory().data() + memory::kHeaderAddress);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->recordPointer, 120);
    EXPECT_EQ(header->recordCount, 0);

    sim::MemoryImage saved{};
    std::string error;
    ASSERT_TRUE(sim::LoadMemoryImage(backup.string(), saved, error)) << error;
    for (std::uint32_t a = memory::kHeaderAddress; a < memory::kRingEnd; ++a)
        ASSERT_EQ(saved[a], before[a]);
    EXPECT_EQ(saved[memory::kLanguageAddress], before[memory::kLanguageAddress]);

    // A backup that cannot be written stops the clearing.
    meter->SetMemory(before);
    r = Run({"--wait", "0", "clear", "--yes", "--backup", (dir / "missing" / "b.img").string()});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find("nothing was erased"), std::string::npos);
    EXPECT_EQ(meter->Memory(), before);
}

TEST_F(CliTest, DumpLoadsAgainAndImagesAreOnlyRead) {
    const fs::path image = dir / "meter.img";
    Result r = Run({"--simulate", "dump", image.string()});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(fs::file_size(image), memory::kMemorySize);

    r = Run({"--simulate=" + image.string(), "info"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_EQ(r.out, Run({"--simulate", "info"}).out);

    const std::string bytes = ReadFile(image);
    r = Run({"--simulate=" + image.string(), "clear", "--yes"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_EQ(ReadFile(image), bytes);

    const fs::path shortImage = dir / "short.img";
    std::ofstream(shortImage, std::ios::binary) << "too short";
    r = Run({"--simulate=" + shortImage.string(), "info"});
    EXPECT_EQ(r.code, kExitUsage);
    EXPECT_NE(r.err.find("short.img"), std::string::npos);
    r = Run({"--simulate=" + (dir / "absent.img").string(), "info"});
    EXPECT_EQ(r.code, kExitUsage);
}

}  // namespace
}  // namespace tavex::cli
