#include "export/formfileexel.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <iconv.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "export/automation/recorder.h"
#include "export/automation/workbook_engine.h"
#include "export/text1251.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"
#include "tests/export/workbook_check.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/portable.h"

namespace tavex {
namespace {

namespace fs = std::filesystem;
using memory::StoredRecord;

// ---- conversions ----

// iconv is the independent converter here; Windows has none to compare with.
#ifndef _WIN32
TEST(ExportText, Windows1251MatchesTheSystemConverter) {
    iconv_t cd = ::iconv_open("CP1251", "UTF-8");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    // Every code point that has a byte must give the same byte as iconv; all others '?'.
    for (char32_t c = 1; c < 0x2200; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        std::string utf8;
        if (c < 0x80) {
            utf8 = std::string(1, static_cast<char>(c));
        } else if (c < 0x800) {
            utf8 = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            utf8 = {static_cast<char>(0xE0 | (c >> 12)),
                    static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (c & 0x3F))};
        }
        char in[4];
        std::copy(utf8.begin(), utf8.end(), in);
        char out[4] = {};
        char* inPtr = in;
        char* outPtr = out;
        std::size_t inLeft = utf8.size();
        std::size_t outLeft = sizeof out;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const bool mapped =
            ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1);
        const std::string expected = mapped ? std::string(out, outPtr) : std::string("?");
        ASSERT_EQ(ToWindows1251(utf8), expected) << "U+" << std::hex << static_cast<unsigned>(c);
    }
    ::iconv_close(cd);
    EXPECT_EQ(ToWindows1251("№ Измерения"), "\xB9 \xC8\xE7\xEC\xE5\xF0\xE5\xED\xE8\xFF");
    EXPECT_EQ(ToWindows1251("a\xFF"
                            "b\xD0"),
              "a?b?");                                // malformed UTF-8
    EXPECT_EQ(ToWindows1251("\xED\xA0\x80"), "???");  // an encoded surrogate
}
#endif

TEST(ExportValues, ConvertValueInBothUnits) {
    struct Case {
        std::uint16_t raw;
        const char* bq;
        const char* pci;
    };
    for (const Case& c :
         {Case{0, "50", "1,4"}, Case{6, "51", "1,4"}, Case{41, "349", "9,4"},
          Case{100, "850", "23"}, Case{1111, "9444", "255,2"}, Case{1112, "9452", "255,5"},
          Case{1176, "9996", ">270"}, Case{1177, ">10000", ">270"}, Case{65535, ">10000", ">270"},
          Case{5, "50", "1,4"}, Case{7, "60", "1,6"}, Case{61, "519", "14"}}) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(ValueText(ConvertValue(c.raw, 0), 0), c.bq);
        EXPECT_EQ(ValueText(ConvertValue(c.raw, 1), 1), c.pci);
    }
}

TEST(ExportValues, RecordValidityAndTimeTexts) {
    auto bytes = [](StoredRecord r) { return memory::EncodeRecord(r); };
    const StoredRecord good{100, 5, 9, 7, 3, 21, 0};
    EXPECT_TRUE(IsRecordValid(bytes(good).data()));
    StoredRecord r = good;
    r.minutes = 60;
    EXPECT_TRUE(IsRecordValid(bytes(r).data()));
    for (auto damage : std::vector<void (*)(StoredRecord&)>{
             [](StoredRecord& x) { x.hours = 24; }, [](StoredRecord& x) { x.day = 0; },
             [](StoredRecord& x) { x.day = 32; }, [](StoredRecord& x) { x.month = 0; },
             [](StoredRecord& x) { x.month = 13; }, [](StoredRecord& x) { x.minutes = 61; }}) {
        r = good;
        damage(r);
        EXPECT_FALSE(IsRecordValid(bytes(r).data()));
    }
    auto wrongCheck = bytes(good);
    wrongCheck[7] ^= 1;
    EXPECT_FALSE(IsRecordValid(wrongCheck.data()));

    EXPECT_EQ(PageTime(9, 5), "9:05");
    EXPECT_EQ(PageDate(7, 3, 21), "07.03.2021");
    EXPECT_EQ(WorkbookTime(9, 5), "9:5");
    EXPECT_EQ(WorkbookDate(7, 3, 21), "7.3.21");
    EXPECT_EQ(PageTime(23, 60), "23:60");
    EXPECT_EQ(TwoDigits(0), "00");
}

// ---- exports from the simulated meter ----

class RecordingShell : public Shell {
public:
    bool OpenDocument(const std::string& path) override {
        opened.push_back(path);
        return true;
    }
    bool StartCommand(const std::string&) override { return true; }
    std::vector<std::string> opened;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A record taken at the given hour of 7 March 2021 with the given raw value.
StoredRecord At(std::uint16_t raw, int hour, int minute = 5) {
    return {raw, static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(hour), 7, 3, 21, 0};
}

class ExportTest : public ::testing::Test {
protected:
    std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>();
    std::shared_ptr<sim::SimMeter> meter = std::make_shared<sim::SimMeter>();
    std::shared_ptr<TForm2> form = TForm2::Create(bus);
    std::shared_ptr<automation::Recorder> recorder = std::make_shared<automation::Recorder>();
    Excel excel{recorder, nullptr};
    RawFile file;
    RecordingShell shell;
    std::uint8_t language = 1;
    Formfileexel exporter{*form, excel, file, shell, language};
    fs::path dir = fs::path(::testing::TempDir()) /
                   ("tavex-export-" + std::to_string(testing_support::ProcessId()));

    void SetUp() override {
        fs::remove_all(dir);
        fs::create_directories(dir);
        bus->Plug(meter);
        form->FormCreate();
    }
    void TearDown() override {
        exporter.AbortExport();
        EXPECT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
        fs::remove_all(dir);
    }

    // Stores the records, newest first, ending at slot pointer; count as given (default all).
    void Store(const std::vector<StoredRecord>& newestFirst, std::uint16_t pointer, int count = -1,
               std::uint8_t unit = 0) {
        sim::MemoryImage image{};
        image[memory::kLanguageAddress] = 1;
        image[memory::kUnitAddress] = unit;
        const auto header = memory::EncodeHeader(
            {pointer, static_cast<std::uint16_t>(count < 0 ? newestFirst.size() : count)});
        std::copy(header.begin(), header.end(), image.begin() + memory::kHeaderAddress);
        std::uint32_t slot = pointer;
        for (const StoredRecord& r : newestFirst) {
            const auto bytes = memory::EncodeRecord(r);
            std::copy(bytes.begin(), bytes.end(), image.begin() + memory::SlotAddress(slot));
            slot = memory::PreviousSlot(slot);
        }
        meter->SetMemory(image);
    }
    void Damage(std::uint16_t slot, int byte, std::uint8_t value) {
        meter->SetByte(memory::SlotAddress(slot) + byte, value);
    }
    void Connect() {
        form->Timer1Timer();
        ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
        ASSERT_EQ(form->connected.load(), 1);
    }
    // Calls ExportNext whenever the busy flag is clear, as the panel does, until the export ends.
    void Drive(Formfileexel& running, std::vector<int>* progress = nullptr) {
        for (int guard = 0; guard < 100 && running.ExportState() == kExportRunning; ++guard) {
            form->WaitWhileBusy();
            if (progress) progress->push_back(running.ExportProgress());
            running.ExportNext();
        }
        if (progress) progress->push_back(running.ExportProgress());
    }
    // Drives an export as the panel does; answers whether it finished, and the progress seen.
    bool Run(std::uint8_t format, const fs::path& target, std::vector<int>* progress = nullptr) {
        form->ReadMemoryHeader();
        if (form->headerStatus.load() != kHeaderValid) return false;
        if (!exporter.BeginExport(format, target.string())) return false;
        Drive(exporter, progress);
        return exporter.ExportProgress() == kProgressDone;
    }
    std::vector<std::string> PartialFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() == ".part") names.push_back(entry.path().string());
        }
        return names;
    }
};

const std::string kHead =
    "<html><head><meta charset=\"windows-1251\"><style type=\"text/css\">"
    ".tableheader{font-weight:bold;background-color:#ddd;border-bottom: 2px solid #333;"
    "padding: 2px 5px;vertical-align: bottom;}"
    ".a1{background-color:#fff;border-bottom: 1px solid #555;padding: 2px 5px;}"
    ".a2{background-color:#eee;border-bottom: 1px solid #555;padding: 2px 5px;}"
    "table{border: 2px solid #333;border-spacing: 0;text-align: center;}"
    "</style></head><body><center><table>";

std::string Row(const std::string& cls, const std::vector<std::string>& cells) {
    std::string row = "<tr>";
    for (const auto& cell : cells) row += "<td class='" + cls + "'>" + cell + "</td>";
    return row + "</tr>";
}

TEST_F(ExportTest, PageAndCsvByteForByte) {
    // Newest first: 850 at 12:05, a damaged one, 24 at 11:05 (raw 3 → the floor 50), and one
    // taken at 9:60.
    Store({At(100, 12), At(41, 11), At(3, 10), At(1177, 9, 60)}, 40);
    Damage(39, 3, 24);  // hours 24 with the old check byte: fails both tests
    Connect();
    const std::string csvEnglish =
        "\xB9 Measure;Value, Bq/m3;Time;Date\r\n1;850;12:05;07.03.2021\r\n"
        "2;50;10:05;07.03.2021\r\n3;>10000;9:60;07.03.2021\r\n";
    // An earlier, private export of that name: replaced whole, and stays private.
    std::ofstream(dir / "en.csv") << "an earlier and longer export that must not leave a tail";
    fs::permissions(dir / "en.csv", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(Run(kFormatCsv, dir / "en.csv"));
    EXPECT_EQ(ReadFile(dir / "en.csv"), csvEnglish);
#ifndef _WIN32
    EXPECT_EQ(fs::status(dir / "en.csv").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_EQ(exporter.RowsWritten(), 3u);
    EXPECT_EQ(shell.opened, (std::vector<std::string>{(dir / "en.csv").string()}));

    ASSERT_TRUE(Run(kFormatHtm, dir / "en.htm"));
    const std::string pageEnglish =
        kHead + Row("tableheader", {"\xB9 Measure", "Value, Bq/m<sup>3</sup>", "Time", "Date"}) +
        Row("a1", {"1", "850", "12:05", "07.03.2021"}) +
        Row("a2", {"2", "50", "10:05", "07.03.2021"}) +
        Row("a1", {"3", ">10000", "9:60", "07.03.2021"}) + "</table>\t</body></html>";
    EXPECT_EQ(ReadFile(dir / "en.htm"), pageEnglish);
    EXPECT_EQ(kHead.size(), 409u + std::string("<meta charset=\"windows-1251\">").size());

    // Russian, pCi/l; the row class goes on from the first page (three rows: next is a2).
    language = 0;
    meter->SetByte(memory::kUnitAddress, 1);
    bus->Unplug(meter.get());  // reconnect so that the unit is read again
    form->Timer1Timer();
    ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    bus->Plug(meter);
    Connect();
    ASSERT_EQ(form->instrumentUnit.load(), 1);
    ASSERT_TRUE(Run(kFormatHtm, dir / "ru.htm"));
    const std::string pageRussian =
        kHead + Row("tableheader", {"№ Измерения", "Значение, пКи/л", "Время", "Дата"}) +
        Row("a2", {"1", "23", "12:05", "07.03.2021"}) +
        Row("a1", {"2", "1,4", "10:05", "07.03.2021"}) +
        Row("a2", {"3", ">270", "9:60", "07.03.2021"}) + "</table>\t</body></html>";
    EXPECT_EQ(ReadFile(dir / "ru.htm"), ToWindows1251(pageRussian));
    ASSERT_TRUE(Run(kFormatCsv, dir / "ru.csv"));
    EXPECT_EQ(ReadFile(dir / "ru.csv"),
              ToWindows1251("№ Измерения;Значение, пКи/л;Время;Дата\r\n1;23;12:05;07.03.2021\r\n"
                            "2;1,4;10:05;07.03.2021\r\n3;>270;9:60;07.03.2021\r\n"));
}

TEST_F(ExportTest, ChunksFollowTheRingAcrossTheWrap) {
    for (int count : {105, 106, 1010}) {
        SCOPED_TRACE(count);
        std::vector<StoredRecord> records;
        for (int i = 0; i < count; ++i)
            records.push_back(At(static_cast<std::uint16_t>(i), i % 24));
        Store(records, 50);  // the ring wraps after 50 records
        Connect();
        meter->SetRecording(true);
        meter->ClearRecorded();
        std::vector<int> progress;
        ASSERT_TRUE(Run(kFormatCsv, dir / "ring.csv", &progress));
        EXPECT_EQ(exporter.RowsWritten(), static_cast<std::uint32_t>(count));
        std::size_t blockReads = 0;
        for (const auto& report : meter->Recorded())
            blockReads += report.command && report.bytes[2] == 23;
        const std::size_t chunks = (count + 104) / 105;
        EXPECT_EQ(blockReads, 1 /* the header */ + chunks + 1 /* the wrap */);
        // Row k holds the k-th newest record: raw k-1.
        const std::string csv = ReadFile(dir / "ring.csv");
        const std::string lastLine =
            std::to_string(count) + ";" +
            ValueText(ConvertValue(static_cast<std::uint16_t>(count - 1), 0), 0) + ";";
        EXPECT_NE(csv.find("\r\n" + lastLine), std::string::npos);
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), count + 1);
        if (count == 1010) {
            EXPECT_EQ(progress.front(), 0);
        }
        EXPECT_EQ(progress[progress.size() - 2], 6);
        EXPECT_EQ(progress.back(), 10);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        meter->SetRecording(false);
    }
}

TEST_F(ExportTest, CountsOfZeroAndBeyondTheRing) {
    Store({}, 7, 0);
    Connect();
    std::vector<int> progress;
    ASSERT_TRUE(Run(kFormatCsv, dir / "empty.csv", &progress));
    EXPECT_EQ(progress.back(), 10);  // an export of nothing still ends
    EXPECT_EQ(ReadFile(dir / "empty.csv"), "\xB9 Measure;Value, Bq/m3;Time;Date\r\n");

    // A count above 1010 reads the ring once: no result is written twice.
    std::vector<StoredRecord> records;
    for (int i = 0; i < 1010; ++i) records.push_back(At(static_cast<std::uint16_t>(i), 1));
    Store(records, 1010, 3000);
    progress.clear();
    ASSERT_TRUE(Run(kFormatCsv, dir / "full.csv", &progress));
    EXPECT_EQ(exporter.RowsWritten(), 1010u);
    EXPECT_EQ(progress[progress.size() - 2], 6);
}

TEST_F(ExportTest, UnplugInTheMiddleLeavesTheEarlierFileIntact) {
    std::vector<StoredRecord> records;
    for (int i = 0; i < 300; ++i) records.push_back(At(static_cast<std::uint16_t>(i), 2));
    Store(records, 300);
    Connect();
    const fs::path target = dir / "results.htm";
    std::ofstream(target) << "the earlier export";
    form->ReadMemoryHeader();
    ASSERT_TRUE(exporter.BeginExport(kFormatHtm, target.string()));
    form->WaitWhileBusy();
    bus->Unplug(meter.get());
    exporter
        .ExportNext();  // the first chunk is written; the second is asked of a meter that is gone
    form->WaitWhileBusy();
    exporter.ExportNext();
    EXPECT_TRUE(exporter.ExportFailed());
    EXPECT_NE(exporter.ExportError().find("meter"), std::string::npos);
    EXPECT_NE(exporter.ExportProgress(), kProgressDone);
    EXPECT_EQ(exporter.ExportState(), kExportIdle);
    EXPECT_EQ(ReadFile(target), "the earlier export");
    EXPECT_TRUE(PartialFiles().empty());
    EXPECT_TRUE(shell.opened.empty());
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(ExportTest, AStaleChunkIsNeverWritten) {
    std::vector<StoredRecord> records;
    for (int i = 0; i < 200; ++i) records.push_back(At(static_cast<std::uint16_t>(i), 3));
    Store(records, 200);
    Connect();
    form->ReadMemoryHeader();
    const fs::path target = dir / "stale.csv";
    ASSERT_TRUE(exporter.BeginExport(kFormatCsv, target.string()));
    form->WaitWhileBusy();
    // The second chunk's read fails in the middle; its buffer still holds the first chunk.
    meter->UnplugAtReport(meter->ReportCount() + 20, bus);
    exporter.ExportNext();
    form->WaitWhileBusy();
    exporter.ExportNext();
    EXPECT_TRUE(exporter.ExportFailed());
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(PartialFiles().empty());
}

TEST_F(ExportTest, AbortFreesTheFileObjectAndRemovesThePartialFile) {
    Store({At(1, 1), At(2, 2)}, 2);
    Connect();
    form->ReadMemoryHeader();
    ASSERT_TRUE(exporter.BeginExport(kFormatCsv, (dir / "a.csv").string()));
    EXPECT_EQ(PartialFiles().size(), 1u);
    exporter.AbortExport();
    EXPECT_TRUE(PartialFiles().empty());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(fs::exists(dir / "a.csv"));
    EXPECT_EQ(exporter.ExportState(), kExportIdle);
    form->WaitWhileBusy();
    ASSERT_TRUE(Run(kFormatCsv, dir / "a.csv"));  // a new export starts cleanly
}

// An export dropped while its chunk read is under way: the read must not write into the
// chunk buffer of an export object that has gone (AddressSanitizer shows it if it does).
TEST_F(ExportTest, DroppedWhileAChunkIsBeingRead) {
    std::vector<StoredRecord> records;
    for (int i = 0; i < 105; ++i) records.push_back(At(static_cast<std::uint16_t>(i), 4));
    Store(records, 105);
    Connect();
    form->ReadMemoryHeader();
    // Slow enough that the read is still under way when the export goes, even under Wine.
    meter->SetLatency(std::chrono::milliseconds(3));
    {
        Formfileexel dropped(*form, excel, file, shell, language);
        ASSERT_TRUE(dropped.BeginExport(kFormatCsv, (dir / "dropped.csv").string()));
        EXPECT_EQ(form->busy.load(), 1);
    }
    EXPECT_EQ(form->busy.load(), 0);
    EXPECT_TRUE(PartialFiles().empty());
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(ExportTest, FilesThatCannotBeWrittenFailWithTheirReason) {
    Store({At(1, 1), At(2, 2), At(3, 3)}, 3);
    Connect();
    form->ReadMemoryHeader();
    EXPECT_FALSE(exporter.BeginExport(kFormatCsv, (dir / "missing" / "x.csv").string()));
    EXPECT_TRUE(exporter.ExportFailed());
    EXPECT_NE(exporter.ExportError().find("cannot open the folder of"), std::string::npos);
    EXPECT_NE(exporter.ExportProgress(), kProgressDone);

    // A directory (or any other non-regular file) under the chosen name is never replaced.
    fs::create_directories(dir / "folder.htm");
    EXPECT_FALSE(exporter.BeginExport(kFormatHtm, (dir / "folder.htm").string()));
    EXPECT_NE(exporter.ExportError().find("not a regular file"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(dir / "folder.htm"));

#ifndef _WIN32
    // A write that fails (a file-size limit stands in for a full disk), in each file format.
    // The limit lies past the head each format writes at the start, short of its rows.
    for (const auto& [format, name, limitBytes] : {std::tuple{kFormatHtm, "limited.htm", 500},
                                                   std::tuple{kFormatCsv, "limited.csv", 60}}) {
        SCOPED_TRACE(name);
        const fs::path target = dir / name;
        std::ofstream(target) << "earlier";
        form->ReadMemoryHeader();  // each export starts from the newest result again
        ASSERT_TRUE(exporter.BeginExport(format, target.string()));
        {
            testing_support::FileSizeLimit limit(static_cast<rlim_t>(limitBytes));
            Drive(exporter);
        }
        EXPECT_TRUE(exporter.ExportFailed());
        EXPECT_NE(exporter.ExportError().find("could not write"), std::string::npos);
        EXPECT_EQ(ReadFile(target), "earlier");
        EXPECT_TRUE(PartialFiles().empty());
        EXPECT_TRUE(shell.opened.empty());
    }
#endif
}

TEST_F(ExportTest, WorkbookCallsForTwoChunks) {
    std::vector<StoredRecord> records;
    for (int i = 0; i < 107; ++i) records.push_back(At(100, 9));
    Store(records, 107);
    Damage(106, 7, 0);  // the second newest: a wrong check byte
    Connect();
    recorder->SetGetResult("DisplayAlerts", automation::Variant::Boolean(true));
    ASSERT_TRUE(Run(kFormatXls, dir / "book.xlsx"));
    const auto& log = recorder->Log();
    auto count = [&](const std::string& text) {
        return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    const std::string sheet = "Excel.Application.Workbooks.Item(Integer 1).Worksheets";
    EXPECT_EQ(count(sheet + ".Item(Byte 1) Put Name = Text \"Monitoring results\""), 1);
    EXPECT_EQ(count("Get Range(Text \"E6:H6\")"), 2);  // the header and its superscript
    EXPECT_EQ(count("Get Characters(Byte 12, Byte 1)"), 1);
    // Chunks of 105 and 2: rows 7..111 (one skipped), then 111..113.
    EXPECT_EQ(count("Get Range(Text \"E7:I112\")"), 1);
    EXPECT_EQ(count("Get Range(Text \"E111:I113\")"), 1);
    EXPECT_EQ(count("Put Value = Text \"9:5\""), 106);
    EXPECT_EQ(count("Put Value = Text \"7.3.21\""), 106);
    EXPECT_EQ(count("Put Value = Text \"106\""), 1);
    EXPECT_EQ(count("Put Value = Text \"107\""), 0);
    EXPECT_EQ(count("Call SaveAs(Text \"" + (dir / "book.xlsx").string() + "\")"), 1);
    EXPECT_EQ(exporter.RowsWritten(), 106u);
    // The header's order: sheet, range E6:H6, the four captions, the superscript.
    const auto first = std::find_if(log.begin(), log.end(), [](const std::string& l) {
        return l.find("Put Value = Text \"Value, Bq/m3\"") != std::string::npos;
    });
    ASSERT_NE(first, log.end());
    EXPECT_NE((first + 1)->find("Get Range(Text \"E6:H6\")"), std::string::npos);

    // A workbook that cannot be saved ends the export as failed (its folder goes meanwhile).
    Excel engineExcel(std::make_shared<automation::BuiltInSpreadsheet>(), nullptr);
    Formfileexel other(*form, engineExcel, file, shell, language);
    ASSERT_TRUE(Run(kFormatXls, dir / "book.xlsx"));
    form->ReadMemoryHeader();
    fs::create_directory(dir / "going");
    ASSERT_TRUE(other.BeginExport(kFormatXls, (dir / "going" / "fail.xlsx").string()));
    fs::remove(dir / "going");
    Drive(other);
    EXPECT_TRUE(other.ExportFailed());
    EXPECT_NE(other.ExportError().find("fail.xlsx"), std::string::npos);
    EXPECT_NE(other.ExportProgress(), kProgressDone);
}

// The workbook export in Russian and pCi/l, saved by the built-in engine and read back by the
// independent reader.
TEST_F(ExportTest, SavedWorkbookReadsBack) {
    Store({At(100, 12), At(41, 11), At(1177, 9, 60)}, 3, -1, 1);
    Damage(2, 5, 13);  // month 13: skipped
    Connect();
    language = 0;
    Excel engineExcel(std::make_shared<automation::BuiltInSpreadsheet>(), nullptr);
    Formfileexel exporterRu(*form, engineExcel, file, shell, language);
    form->ReadMemoryHeader();
    workbook_check::TempDir out;
    const fs::path book = out / "результаты.xlsx";
    ASSERT_TRUE(exporterRu.BeginExport(kFormatXls, book.string()));
    Drive(exporterRu);
    ASSERT_EQ(exporterRu.ExportProgress(), kProgressDone) << exporterRu.ExportError();

    const std::string font = R"("font": {"name": "ArialCur", "size": 10, "color": "030000", )"
                             R"("bold": true, "italic": true}, "horizontal": "center", )"
                             R"("vertical": "center")";
    const std::string medium = R"({"style": "medium", "color": "000000"})";
    const std::string header = R"({)" + font + R"(, "fill": "808080", "borders": {"left": )" +
                               medium + R"(, "top": )" + medium + R"(, "bottom": )" + medium +
                               R"(, "right": )" + medium + "}}";
    const std::string data = "{" + font + "}";
    workbook_check::ExpectWorkbookMatches(
        book,
        R"({"sheets": ["Результаты измерений"], "active": "Результаты измерений",
            "columns": {"E": 25, "F": 25, "G": 10, "H": 20}, "rows": {"6": 13}, "merged": [],
            "only_listed": true, "cells": [
            {"ref": "E6", "text": "№ Измерения", "style": )" +
            header + R"(},
            {"ref": "F6", "text": "Значение, пКи/л", "style": )" +
            header + R"(},
            {"ref": "G6", "text": "Время", "style": )" +
            header + R"(},
            {"ref": "H6", "text": "Дата", "style": )" +
            header + R"(},
            {"ref": "E7", "number": 1, "style": )" +
            data + R"(},
            {"ref": "F7", "number": 23, "style": )" +
            data + R"(},
            {"ref": "G7", "time": "12:05", "style": )" +
            data + R"(},
            {"ref": "H7", "date": "2021-03-07", "style": )" +
            data + R"(},
            {"ref": "E8", "number": 2, "style": )" +
            data + R"(},
            {"ref": "F8", "text": ">270", "style": )" +
            data + R"(},
            {"ref": "G8", "text": "9:60", "style": )" +
            data + R"(},
            {"ref": "H8", "date": "2021-03-07", "style": )" +
            data + R"(}]})",
        out);
}

}  // namespace
}  // namespace tavex
