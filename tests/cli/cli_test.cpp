#include "cli/cli.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <utility>

#ifndef _WIN32
#include "cli/xdg_shell.h"
#endif
#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"
#include "tests/support/portable.h"

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

// Records what would have been opened.
class RecordingShell : public Shell {
public:
    RecordingShell(std::vector<std::string>& opened, bool opens) : opened_(opened), opens_(opens) {}
    bool OpenDocument(const std::string& path) override {
        opened_.push_back(path);
        return opens_;
    }
    bool StartCommand(const std::string& commandLine) override {
        opened_.push_back("command: " + commandLine);
        return true;
    }

private:
    std::vector<std::string>& opened_;
    bool opens_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class CliTest : public ::testing::Test {
protected:
    std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>();
    std::shared_ptr<sim::SimMeter> meter = std::make_shared<sim::SimMeter>(sim::DemoMemoryImage());
    fs::path dir;
    std::vector<std::string> opened;
    bool terminal = false;
    bool shellOpens = true;

    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("tavex-cli-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(testing_support::ProcessId()));
        RemoveDir();
        fs::create_directories(dir);
    }
    void TearDown() override {
        RemoveDir();
        std::error_code ignored;
        fs::remove_all(DataHome(), ignored);
    }
    // The archive's folder lies beside the test's folder (whose files some tests count).
    fs::path DataHome() const { return dir.string() + "-data"; }
    fs::path ArchiveFile(bool simulated = true) const {
#ifdef _WIN32
        const char* folder = "Tavex";
#else
        const char* folder = "tavex";
#endif
        return DataHome() / folder / (simulated ? "demo-archive.sqlite" : "archive.sqlite");
    }
    std::optional<std::string> tavexArchive;
    // The wait's clock and sleep, where a test steps them itself.
    std::function<std::chrono::steady_clock::time_point()> steadyNow;
    std::function<void(std::chrono::steady_clock::time_point)> sleepUntil;
    // A meter on the bus that this user may not open, as the system's diagnosis would find it.
    std::optional<BlockedMeter> blocked;
    void RemoveDir() {
        std::error_code ignored;
        // Windows removes no read-only file.
        for (const auto& entry : fs::directory_iterator(dir, ignored)) {
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
        }
        fs::remove_all(dir, ignored);
    }

    // Runs the tool with the test's bus standing in for the USB bus.
    Result Run(std::vector<std::string> args) {
        Environment environment;
        environment.realPlatform = [this] { return bus; };
        environment.clock = [] { return LocalDateTime{2026, 12, 6, 21, 5, 9}; };
        environment.openingShell = [this] {
            return std::make_shared<RecordingShell>(opened, shellOpens);
        };
        environment.errorIsTerminal = [this] { return terminal; };
        environment.getenv = [this](const char* name) -> std::optional<std::string> {
            // The archive's folder: XDG_DATA_HOME on Linux, LOCALAPPDATA on Windows.
            if (std::string(name) == "XDG_DATA_HOME" || std::string(name) == "LOCALAPPDATA")
                return DataHome().string();
            if (std::string(name) == "TAVEX_ARCHIVE") return tavexArchive;
            return std::nullopt;
        };
        environment.blockedMeter = [this] { return blocked; };
        if (steadyNow) environment.steadyNow = steadyNow;
        if (sleepUntil) environment.sleepUntil = sleepUntil;
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
#ifdef _WIN32
    EXPECT_NE(r.err.find("plugged in"), std::string::npos);
#else
    EXPECT_NE(r.err.find("udev"), std::string::npos);
    // An installed user has no source tree.
    EXPECT_EQ(r.err.find("packaging/"), std::string::npos);
#endif
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
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find("short.img"), std::string::npos);
    r = Run({"--simulate=" + (dir / "absent.img").string(), "info"});
    EXPECT_EQ(r.code, kExitFailed);
}

// The demo memory holds 250 results, three of them damaged; the newest was taken on
// 2026-12-01 at 8:00, each older one an hour earlier.
TEST_F(CliTest, ExportWritesEveryFormatNewestFirst) {
    for (const std::string name : {"out.csv", "out.HTML", "out.xlsx", "csv-named.txt"}) {
        const fs::path file = dir / name;
        std::vector<std::string> args = {"--simulate", "export", file.string()};
        if (name == "csv-named.txt") args.insert(args.end(), {"--format", "csv"});
        const Result r = Run(args);
        ASSERT_EQ(r.code, kExitOk) << name << ": " << r.err;
        EXPECT_EQ(r.out, "exported: 247 results to " + file.string() + "\n");
        EXPECT_EQ(r.err, "");  // no progress bar off a terminal
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);
    EXPECT_TRUE(opened.empty());

    const std::string csv = ReadFile(dir / "out.csv");
    EXPECT_EQ(csv, ReadFile(dir / "csv-named.txt"));
    const std::vector<std::string> lines = Lines(csv);
    ASSERT_EQ(lines.size(), 248u);
    EXPECT_EQ(lines[0], "\xB9 Measure;Value, Bq/m3;Time;Date\r");
    EXPECT_EQ(lines[1].substr(0, 2), "1;");
    EXPECT_NE(lines[1].find(";8:00;01.12.2026\r"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[247].substr(0, 4), "247;");

    const std::string page = ReadFile(dir / "out.HTML");
    EXPECT_EQ(page.rfind("<html>", 0), 0u);
    EXPECT_NE(page.find("\xB9 Measure"), std::string::npos);
    std::size_t rows = 0;
    for (std::size_t at = page.find("<tr>"); at != std::string::npos;
         at = page.find("<tr>", at + 1))
        ++rows;
    EXPECT_EQ(rows, 248u);
    EXPECT_EQ(ReadFile(dir / "out.xlsx").substr(0, 2), "PK");
}

TEST_F(CliTest, ExportFormatAndLanguageErrors) {
    bus->Plug(meter);
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Case& c : std::vector<Case>{{{"out.xls"}, "as .xlsx"},
                                           {{"out.csv", "--format", "xls"}, "as .xlsx"},
                                           {{"out.txt"}, "htm, csv, xlsx"},
                                           {{"out"}, "htm, csv, xlsx"},
                                           {{"out.csv", "--format=pdf"}, "htm, csv, xlsx"},
                                           {{"out.csv", "--format"}, "--format"},
                                           {{"out.csv", "--language", "de"}, "en or ru"},
                                           {{"out.csv", "more.csv"}, "more.csv"},
                                           {{}, "FILE"}}) {
        std::vector<std::string> args = {"--wait", "0", "export"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args);
        EXPECT_EQ(r.code, kExitUsage) << ::testing::PrintToString(c.args);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(meter->ReportCount(), 0u);
    const Result r = Run({"export", "--help"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_NE(r.out.find("--format htm|csv|xlsx"), std::string::npos);
}

TEST_F(CliTest, ExportCaptionsFollowTheMeterUnlessALanguageIsGiven) {
    const std::string russian = "\xB9 \xC8\xE7\xEC\xE5\xF0\xE5\xED\xE8\xFF;";  // "№ Измерения;"
    const fs::path file = dir / "out.csv";
    ASSERT_EQ(Run({"--simulate", "export", file.string(), "--language", "ru"}).code, kExitOk);
    EXPECT_EQ(ReadFile(file).rfind(russian, 0), 0u);

    meter->SetByte(memory::kLanguageAddress, 0);
    bus->Plug(meter);
    ASSERT_EQ(Run({"--wait", "0", "export", file.string()}).code, kExitOk);
    EXPECT_EQ(ReadFile(file).rfind(russian, 0), 0u);
    ASSERT_EQ(Run({"--wait", "0", "export", file.string(), "--language=en"}).code, kExitOk);
    EXPECT_EQ(ReadFile(file).rfind("\xB9 Measure;", 0), 0u);
}

TEST_F(CliTest, ExportWritesNothingWithoutValidResults) {
    bus->Plug(meter);
    const fs::path file = dir / "out.csv";
    const sim::MemoryImage before = meter->Memory();
    meter->SetByte(memory::kHeaderAddress,
                   static_cast<std::uint8_t>(before[memory::kHeaderAddress] ^ 1));
    Result r = Run({"--wait", "0", "export", file.string()});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find("not valid"), std::string::npos);
    EXPECT_EQ(r.out, "");

    const auto empty = memory::EncodeHeader({120, 0});
    for (std::size_t k = 0; k < empty.size(); ++k)
        meter->SetByte(static_cast<std::uint32_t>(memory::kHeaderAddress + k), empty[k]);
    r = Run({"--wait", "0", "export", file.string(), "--open"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_NE(r.out.find("no results"), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_TRUE(opened.empty());
}

TEST_F(CliTest, ExportOpensTheFileOnlyWhenAsked) {
    const fs::path csv = dir / "out.csv";
    const fs::path workbook = dir / "out.xlsx";
    ASSERT_EQ(Run({"--simulate", "export", csv.string()}).code, kExitOk);
    ASSERT_EQ(Run({"--simulate", "export", workbook.string()}).code, kExitOk);
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(Run({"--simulate", "export", csv.string(), "--open"}).code, kExitOk);
    ASSERT_EQ(Run({"--simulate", "export", workbook.string(), "--open"}).code, kExitOk);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(fs::path(opened[0]), csv);
    EXPECT_TRUE(fs::equivalent(opened[1], workbook));

    // A file that cannot be shown is still exported, and the tool says it was not opened.
    shellOpens = false;
    const Result r = Run({"--simulate", "export", csv.string(), "--open"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_EQ(r.out, "exported: 247 results to " + csv.string() + "\n");
    EXPECT_EQ(r.err,
              "tavex-cli: " + csv.string() + " could not be opened with its default program\n");
}

TEST_F(CliTest, ExportProgressBarOnATerminal) {
    const fs::path file = dir / "out.htm";
    terminal = true;
    const Result r = Run({"--simulate", "export", file.string()});
    ASSERT_EQ(r.code, kExitOk);
    EXPECT_EQ(r.err.rfind("\rexporting [", 0), 0u) << r.err;
    EXPECT_GE(std::count(r.err.begin(), r.err.end(), '\r'),
              1);  // how many stages show depends on timing
    EXPECT_EQ(r.err.substr(r.err.size() - 7), "] 100%\n");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_EQ(r.out, "exported: 247 results to " + file.string() + "\n");
}

TEST_F(CliTest, ExportCutShortKeepsTheEarlierFile) {
    // Count the reports of a whole export, then pull the meter out during the last chunk.
    bus->Plug(meter);
    ASSERT_EQ(Run({"--wait", "0", "export", (dir / "whole.csv").string()}).code, kExitOk);
    const std::uint64_t reports = meter->ReportCount();
    fs::remove(dir / "whole.csv");

    for (const std::string name : {"out.csv", "out.htm", "out.xlsx"}) {
        const fs::path file = dir / name;
        std::ofstream(file, std::ios::binary) << "earlier";
        auto fresh = std::make_shared<sim::SimMeter>(sim::DemoMemoryImage());
        fresh->UnplugAtReport(reports - 20, bus);
        bus->Unplug(meter.get());
        bus->Plug(fresh);
        meter = fresh;
        const Result r = Run({"--wait", "0", "export", file.string(), "--open"});
        EXPECT_EQ(r.code, kExitFailed) << name;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("stopped answering"), std::string::npos) << r.err;
        EXPECT_FALSE(bus->IsPlugged(fresh.get()));
        EXPECT_EQ(ReadFile(file), "earlier") << name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
    EXPECT_TRUE(opened.empty());
}

// Names that are no place for a file are refused at once, and nothing there changes; a name of
// 250 bytes is written in every format.
TEST_F(CliTest, OddTargetsAreRefusedAndLongNamesWritten) {
#ifdef _WIN32
    // Devices have names of their own in every folder.
    const fs::path fifo = dir / "NUL";
    const std::vector<fs::path> odd = {fifo, dir / "com1.img", dir};
#else
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/null", dir / "null");
    std::vector<fs::path> odd = {fifo, dir / "null", dir};
    if (::mknod((dir / "node").c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0) {
        odd.push_back(dir / "node");
    }
#endif
    Result r = Run({"--simulate=" + fifo.string(), "info"});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find(fifo.string()), std::string::npos) << r.err;

    bus->Plug(meter);
    const sim::MemoryImage before = meter->Memory();
    for (const fs::path& target : odd) {
        SCOPED_TRACE(target.string());
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"--wait", "0", "dump", target.string()},
                 {"--wait", "0", "clear", "--yes", "--backup", target.string()},
                 {"--wait", "0", "export", target.string(), "--format", "csv"}}) {
            r = Run(args);
            EXPECT_EQ(r.code, kExitFailed) << args[2] << ": " << r.err;
            EXPECT_NE(r.err.find(target.string()), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(meter->Memory(), before);
#ifndef _WIN32
    EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
    EXPECT_TRUE(fs::is_character_file(dir / "null"));
#endif

    // A read-only earlier file is refused by every writer alike, before the meter's memory is read.
    for (const std::string extension : {".htm", ".csv", ".xlsx", ".img"}) {
        const fs::path target = dir / ("locked" + extension);
        std::ofstream(target) << "earlier";
        fs::permissions(target, fs::perms::owner_read);
        r = extension == ".img" ? Run({"--wait", "0", "dump", target.string()})
                                : Run({"--wait", "0", "export", target.string()});
        EXPECT_EQ(r.code, kExitFailed) << extension;
        EXPECT_NE(r.err.find("is read-only; it is not replaced"), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(target), "earlier");
    }

    const std::string stem(246, 'r');
    for (const std::string extension : {".htm", ".csv", ".xlsx", ".img"}) {
        const fs::path target = dir / (stem + extension);
        r = extension == ".img" ? Run({"--wait", "0", "dump", target.string()})
                                : Run({"--wait", "0", "export", target.string()});
        EXPECT_EQ(r.code, kExitOk) << extension << ": " << r.err;
        EXPECT_GT(fs::file_size(target), 1000u) << extension;
    }
}

// A meter that this user may not open is named with the way out, with the exit code of no
// meter (3); a meter that does connect is not held up by it.
TEST_F(CliTest, AMeterThisUserMayNotOpenIsNamed) {
    blocked = BlockedMeter{"/dev/hidraw4", "0003:03EB:5603.0007"};
    Result r = Run({"--wait", "0", "info"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "tavex-cli: the meter is connected (/dev/hidraw4) but this user may not open it: "
              "install the udev rule (`sudo apt-get install` the package, or copy "
              "60-tavex-qx482tda.rules to /etc/udev/rules.d/ and replug)\n");
    bus->Plug(meter);
    r = Run({"--wait", "0", "info"});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_EQ(r.err, "");
}

// --wait N looks for the meter for N seconds on a clock that only its sleeps move: without a
// meter the tool gives up once N seconds have passed, and a meter plugged in as they end is
// still found. --wait 0 polls once and does not sleep.
TEST_F(CliTest, WaitLooksForTheMeterForTheWholeWait) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point now;
    Clock::time_point plugAt = Clock::time_point::max();
    steadyNow = [&] { return now; };
    sleepUntil = [&](Clock::time_point until) {
        now = std::max(now, until);
        if (now >= plugAt && bus->PathOf(meter.get()).empty()) bus->Plug(meter);
    };
    for (const auto& [seconds, plugged] :
         std::vector<std::pair<int, bool>>{{0, false}, {1, false}, {3, false}, {1, true}, {3, true}}) {
        SCOPED_TRACE(::testing::Message() << seconds << (plugged ? " plugged at the end" : ""));
        bus->Unplug(meter.get());
        now = Clock::time_point{};
        plugAt = plugged ? now + std::chrono::seconds(seconds) : Clock::time_point::max();
        const Result r = Run({"--wait", std::to_string(seconds), "info"});
        EXPECT_EQ(r.code, plugged ? kExitOk : kExitNoDevice) << r.err;
        EXPECT_EQ(now - Clock::time_point{}, std::chrono::seconds(seconds));
    }
}

// Another program that holds the meter and never lets go: the tool gives up after its wait and
// says why; nothing reaches the meter.
TEST_F(CliTest, AMeterHeldByAnotherProgram) {
    bus->SetShared(true);
    bus->Plug(meter);
    const auto holder = bus->OpenDeviceLock(bus->PathOf(meter.get()));
    ASSERT_EQ(holder->TryLock(), HidDeviceLock::Result::kHeld);
    const Result r = Run({"--wait", "0", "info"});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_EQ(r.err, "tavex-cli: the meter is in use by another program\n");
    EXPECT_EQ(meter->ReportCount(), 0u);
    holder->Unlock();
    EXPECT_EQ(Run({"--wait", "0", "info"}).code, kExitOk);
}

// A failure, and an unplug, at every report of an export in each format, a dump and a clear:
// each run ends, says so when it failed, leaves the earlier file byte for byte and nothing beside
// it; a clear writes its backup before it erases, and what it reports is what the meter holds.
TEST_F(CliTest, FaultAtEveryReport) {
    const fs::path backup = dir / "backup.img";
    const std::vector<std::vector<std::string>> jobs = {
        {"export", (dir / "out.htm").string()},          {"export", (dir / "out.csv").string()},
        {"export", (dir / "out.xlsx").string()},         {"dump", (dir / "image.img").string()},
        {"clear", "--yes", "--backup", backup.string()},
    };
    const auto storedCount = [this] {
        return memory::DecodeHeader(meter->Memory().data() + memory::kHeaderAddress)->recordCount;
    };
    const auto fresh = [this] {
        bus->Unplug(meter.get());
        meter = std::make_shared<sim::SimMeter>(sim::DemoMemoryImage());
        bus->Plug(meter);
    };
    for (const auto& job : jobs) {
        const fs::path file = job.back();
        std::vector<std::string> args = {"--wait", "0"};
        args.insert(args.end(), job.begin(), job.end());
        fresh();
        ASSERT_EQ(Run(args).code, kExitOk);
        const std::string whole = ReadFile(file);
        const std::uint64_t reports = meter->ReportCount();
        for (std::uint64_t k = 1; k <= reports; ++k) {
            for (const bool unplug : {false, true}) {
                SCOPED_TRACE(job[0] + " " + file.filename().string() + ", report " +
                             std::to_string(k) + (unplug ? ", unplugged" : ", failed"));
                fresh();
                if (unplug) {
                    meter->UnplugAtReport(k, bus);
                } else {
                    meter->FailReport(k);
                }
                std::ofstream(file, std::ios::binary) << "earlier";
                const Result r = Run(args);
                const std::string now = ReadFile(file);
                ASSERT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
                // The meter's header is sound: a lost link must not be told as a bad header.
                ASSERT_EQ(r.err.find("not valid"), std::string::npos) << r.err;
                if (job[0] != "clear") {
                    if (r.code == kExitOk) {
                        ASSERT_EQ(now, whole);
                    } else {
                        ASSERT_EQ(now, "earlier");
                        ASSERT_FALSE(r.err.empty());
                    }
                    continue;
                }
                const std::uint32_t count = storedCount();
                ASSERT_TRUE(count == 0 || count == 250) << count;
                // Nothing was erased without its backup.
                if (count == 0) {
                    ASSERT_EQ(now, whole);
                }
                if (now != whole) {
                    ASSERT_EQ(now, "earlier");
                }
                if (r.code == kExitOk) {
                    ASSERT_EQ(count, 0u);
                    ASSERT_EQ(r.out, "cleared: 250 results\n");
                } else if (r.err.find("will tell") == std::string::npos) {
                    ASSERT_EQ(count, 250u) << r.err;
                }
            }
        }
        fs::remove(file);
    }
}


// The demo memory's 247 valid results go into the demo archive once, whatever reads them; the
// real meter's results into the real archive, TAVEX_ARCHIVE naming another and --archive winning.
TEST_F(CliTest, ArchiveTakesEachResultOnceInTheRightArchive) {
    Result r = Run({"--simulate", "archive"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.out,
              "archived: 247 new, 0 already there\n"
              "archive: 247 results from 2026-11-20T23:00 to 2026-12-01T08:00\n");
    r = Run({"--simulate", "archive"});
    EXPECT_EQ(Lines(r.out).at(0), "archived: 0 new, 247 already there");
    EXPECT_FALSE(fs::exists(ArchiveFile(false)));

    bus->Plug(meter);
    r = Run({"--wait", "0", "export", (dir / "x.csv").string()});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.err, "");
    r = Run({"--wait", "0", "archive"});
    EXPECT_EQ(Lines(r.out).at(0), "archived: 0 new, 247 already there");

    tavexArchive = (DataHome() / "named.sqlite").string();
    r = Run({"--wait", "0", "archive"});
    EXPECT_EQ(Lines(r.out).at(0), "archived: 247 new, 0 already there");
    r = Run({"--simulate", "archive"});
    EXPECT_EQ(Lines(r.out).at(0), "archived: 0 new, 247 already there");
    r = Run({"--simulate", "--archive", (DataHome() / "given.sqlite").string(), "archive"});
    EXPECT_EQ(Lines(r.out).at(0), "archived: 247 new, 0 already there");
    EXPECT_TRUE(fs::exists(DataHome() / "given.sqlite"));
}

// summary, history and report read the archive alone; an archive that cannot be used never
// fails an export but stops a clearing.
TEST_F(CliTest, ArchiveReadersAndArchiveTrouble) {
    Result r = Run({"--simulate", "summary", "--json"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_NE(r.out.find("\"count\":0"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(ArchiveFile()));  // reading makes no archive

    ASSERT_EQ(Run({"--simulate", "archive"}).code, kExitOk);
    r = Run({"--simulate", "summary", "--json"});
    EXPECT_NE(r.out.find("\"count\":247"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    EXPECT_EQ(r.err, "");
    r = Run({"--simulate", "history", "--format", "csv", "--from", "2026-12-01"});
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 10u);  // 0:00 to 8:00 of the last day, and the header
    EXPECT_EQ(lines[0], "time,bq_m3,pci_l,flag");
    EXPECT_EQ(lines[1].rfind("2026-12-01T00:00,", 0), 0u);
    EXPECT_EQ(lines[9].rfind("2026-12-01T08:00,", 0), 0u);
    r = Run({"--simulate", "history", "--format=json", (dir / "h.json").string()});
    EXPECT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(ReadFile(dir / "h.json").front(), '[');

    const fs::path page = dir / "report.html";
    r = Run({"--simulate", "report", page.string(), "--language", "ru"});
#if TAVEX_CLI_HAS_REPORT
    ASSERT_EQ(r.code, kExitOk) << r.err;
    const std::string html = ReadFile(page);
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_EQ(html.find("http:"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    r = Run({"--simulate", "report", (dir / "r.pdf").string()});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(ReadFile(dir / "r.pdf").rfind("%PDF", 0), 0u);
#else
    EXPECT_EQ(r.code, kExitFailed);
#endif

    // A folder where the archive should be.
    bus->Plug(meter);
    const sim::MemoryImage before = meter->Memory();
    const std::string folder = dir.string();
    r = Run({"--wait", "0", "--archive", folder, "export", (dir / "kept.htm").string()});
    EXPECT_EQ(r.code, kExitOk);
    EXPECT_TRUE(fs::exists(dir / "kept.htm"));
    EXPECT_NE(r.err.find("warning: the results were exported but not archived"),
              std::string::npos);
    r = Run({"--wait", "0", "--archive", folder, "clear", "--yes"});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find("nothing was cleared"), std::string::npos) << r.err;
    EXPECT_EQ(meter->Memory(), before);
    // With its archive, the clearing keeps every result.
    r = Run({"--wait", "0", "clear", "--yes"});
    EXPECT_EQ(r.code, kExitOk) << r.err;
    r = Run({"summary", "--json"});
    EXPECT_NE(r.out.find("\"count\":247"), std::string::npos) << r.out;

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"summary", "--from", "2026-02-30"},
                                               {"summary", "--from", "2026-03-02", "--to", "2026-03-01"},
                                               {"summary", "--unit", "mBq"},
                                               {"history", "--format", "xml"},
                                               {"report", (dir / "r.txt").string()},
                                               {"report"},
                                               {"--archive"}}) {
        EXPECT_EQ(Run(args).code, kExitUsage) << args[0];
    }
}

#ifndef _WIN32
// The tool has no children left once a program has been started, whether or not it started.
bool NoChildrenLeft() {
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// A FIFO that a started program writes to; Read waits (at most ten seconds) for what it wrote.
class Fifo {
public:
    Fifo() {
        fs::remove(path);
        if (::mkfifo(path.c_str(), 0600) == 0) fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    }
    ~Fifo() {
        if (fd_ >= 0) ::close(fd_);
        fs::remove(path);
    }
    bool Ready() const { return fd_ >= 0; }
    std::string Read() {
        std::string text;
        char buffer[256];
        for (;;) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 10000) != 1) return text + "(timed out)";
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n == 0) return text;  // the writer has gone
            if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
            if (n < 0 && errno != EAGAIN && errno != EINTR) return text + "(read failed)";
        }
    }

    const fs::path path = fs::path(::testing::TempDir()) /
                          ("tavex-shell-" + std::to_string(testing_support::ProcessId()));

private:
    int fd_ = -1;
};

TEST(XdgShell, StartsProgramsDetachedWithTheirArgumentsVerbatim) {
    {
        // The opener gets the name as one argument, shell characters and all.
        Fifo fifo;
        ASSERT_TRUE(fifo.Ready());
        XdgShell opener(
            {"/bin/sh", "-c", "printf '%s' \"$1\" > '" + fifo.path.string() + "'", "opener"});
        EXPECT_TRUE(opener.OpenDocument("a b; $(touch c) -x"));
        EXPECT_EQ(fifo.Read(), "a b; $(touch c) -x");
        EXPECT_TRUE(NoChildrenLeft());
    }
    {
        Fifo fifo;
        ASSERT_TRUE(fifo.Ready());
        EXPECT_TRUE(XdgShell().StartCommand("echo started > '" + fifo.path.string() + "'"));
        EXPECT_EQ(fifo.Read(), "started\n");
        EXPECT_TRUE(NoChildrenLeft());
    }
    EXPECT_FALSE(XdgShell({"/nonexistent/tavex-opener"}).OpenDocument("/tmp/x.csv"));
    EXPECT_FALSE(XdgShell(std::vector<std::string>{}).OpenDocument("/tmp/x.csv"));
    EXPECT_TRUE(NoChildrenLeft());
}
#endif

}  // namespace
}  // namespace tavex::cli

