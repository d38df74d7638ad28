#include "archive/archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "tests/archive/archive_support.h"

#if __has_include(<sqlite3.h>)
#include <sqlite3.h>
#define TAVEX_TEST_HAS_SQLITE 1
#endif

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tavex::archive {
namespace {

using testing::CountIn;
using testing::DemoRecords;
using testing::FileBytes;
using testing::HourlyRecords;
using testing::NameTaken;
using testing::RecordOf;
using testing::TempFolder;

std::unique_ptr<Archive> OpenOrFail(const std::string& path) {
    std::string error;
    auto archive = Archive::Open(path, error);
    EXPECT_TRUE(archive) << error;
    return archive;
}

std::vector<Result> ReadAll(Archive& archive, const Period& period = {}) {
    std::vector<Result> results;
    std::string error;
    EXPECT_TRUE(archive.Read(period, results, error)) << error;
    return results;
}

TEST(Archive, MergingTheSameRecordsAgainAddsNothing) {
    TempFolder folder;
    const auto archive = OpenOrFail(folder / "archive.sqlite");
    ASSERT_TRUE(archive);
    const std::vector<RawRecord> demo = DemoRecords();
    std::string error;
    MergeCounts first;
    ASSERT_TRUE(archive->Merge(demo, 1000, first, error)) << error;
    EXPECT_EQ(first.added, 247u);
    EXPECT_EQ(first.alreadyThere, 0u);
    EXPECT_EQ(first.leftOut, demo.size() - 247);
    const std::vector<Result> once = ReadAll(*archive);

    // Again, in another order and later: nothing new, and the first archiving time stays.
    std::vector<RawRecord> reversed(demo.rbegin(), demo.rend());
    MergeCounts second;
    ASSERT_TRUE(archive->Merge(reversed, 2000, second, error)) << error;
    EXPECT_EQ(second.added, 0u);
    EXPECT_EQ(second.alreadyThere, 247u);
    const std::vector<Result> twice = ReadAll(*archive);
    EXPECT_EQ(once, twice);
    ASSERT_EQ(twice.size(), 247u);
    EXPECT_TRUE(std::all_of(twice.begin(), twice.end(),
                            [](const Result& r) { return r.archivedAt == 1000; }));
    EXPECT_TRUE(std::is_sorted(twice.begin(), twice.end(),
                               [](const Result& a, const Result& b) { return a.Key() < b.Key(); }));

    // The same results as the records stand for, each once.
    std::set<std::int64_t> expected;
    for (const RawRecord& record : demo) {
        if (const auto result = ResultOfRecord(record)) expected.insert(result->Key());
    }
    std::set<std::int64_t> stored;
    for (const Result& result : twice) stored.insert(result.Key());
    EXPECT_EQ(stored, expected);

    Totals totals;
    ASSERT_TRUE(archive->ReadTotals(totals, error)) << error;
    EXPECT_EQ(totals.count, 247u);
    ASSERT_TRUE(totals.first && totals.last);
    EXPECT_EQ(*totals.first, twice.front());
    EXPECT_EQ(*totals.last, twice.back());
    // The demo's newest result; its oldest (250 hours back) is whole.
    EXPECT_EQ(IsoTime(*totals.last), "2026-12-01T08:00");
    EXPECT_EQ(IsoTime(*totals.first), "2026-11-20T23:00");
}

TEST(Archive, OnlyRecordsAnExportShowsAreArchived) {
    struct Case {
        const char* what;
        RawRecord record;
        bool kept;
    };
    RawRecord damaged = RecordOf(24, 5, 5, 5, 5, 40);
    damaged[7] ^= 0x01;
    const Case cases[] = {
        {"plain", RecordOf(24, 5, 5, 5, 5, 40), true},
        {"check byte", damaged, false},
        {"hour 24", RecordOf(24, 5, 5, 24, 0, 40), false},
        {"minute 60", RecordOf(24, 5, 5, 23, 60, 40), true},
        {"minute 61", RecordOf(24, 5, 5, 23, 61, 40), false},
        {"day 0", RecordOf(24, 5, 0, 1, 0, 40), false},
        {"day 31 of April", RecordOf(24, 4, 31, 1, 0, 40), true},
        {"day 32", RecordOf(24, 5, 32, 1, 0, 40), false},
        {"month 0", RecordOf(24, 0, 5, 1, 0, 40), false},
        {"month 13", RecordOf(24, 13, 5, 1, 0, 40), false},
        {"empty slot", RawRecord{}, false},
    };
    TempFolder folder;
    const auto archive = OpenOrFail(folder / "a.sqlite");
    ASSERT_TRUE(archive);
    std::size_t kept = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ResultOfRecord(c.record).has_value(), c.kept);
        MergeCounts counts;
        std::string error;
        ASSERT_TRUE(archive->Merge({c.record}, 5, counts, error)) << error;
        EXPECT_EQ(counts.added, c.kept ? 1u : 0u);
        EXPECT_EQ(counts.leftOut, c.kept ? 0u : 1u);
        kept += c.kept ? 1 : 0;
        EXPECT_EQ(ReadAll(*archive).size(), kept);
    }
}

TEST(Archive, DateTimesAndRawValuesComeBackAsStored) {
    struct Case {
        int yy, month, day, hour, minute;
        std::uint16_t raw;
        const char* iso;
    };
    // Never normalised: minute 60, 31 February, 30 February of a common year, 31 April.
    const Case cases[] = {
        {0, 1, 1, 0, 0, 0, "2000-01-01T00:00"},
        {23, 2, 30, 12, 60, 7, "2023-02-30T12:60"},
        {24, 2, 31, 23, 60, 65535, "2024-02-31T23:60"},
        {24, 4, 31, 9, 5, 1177, "2024-04-31T09:05"},
        {24, 3, 1, 0, 0, 1, "2024-03-01T00:00"},
        {99, 12, 31, 23, 59, 12, "2099-12-31T23:59"},
        {200, 6, 15, 6, 30, 300, "2200-06-15T06:30"},
    };
    TempFolder folder;
    const std::string path = folder / "a.sqlite";
    std::vector<RawRecord> records;
    for (const Case& c : cases) {
        records.push_back(RecordOf(c.yy, c.month, c.day, c.hour, c.minute, c.raw));
    }
    // The same date-time with another raw value is another result; the same one twice is one.
    records.push_back(RecordOf(24, 2, 31, 23, 60, 64));
    records.push_back(RecordOf(24, 2, 31, 23, 60, 64));
    {
        const auto archive = OpenOrFail(path);
        ASSERT_TRUE(archive);
        MergeCounts counts;
        std::string error;
        ASSERT_TRUE(archive->Merge(records, 77, counts, error)) << error;
        EXPECT_EQ(counts.added, std::size(cases) + 1);
        EXPECT_EQ(counts.alreadyThere, 1u);
    }
    // Read back after reopening: what the file holds, not what a connection remembers; oldest
    // first by the meter's own date-time (31 February before 1 March).
    const auto archive = OpenOrFail(path);
    ASSERT_TRUE(archive);
    const auto line = [](int year, int month, int day, int hour, int minute, int raw,
                         const std::string& iso) {
        return std::to_string(year) + " " + std::to_string(month) + " " + std::to_string(day) +
               " " + std::to_string(hour) + " " + std::to_string(minute) + " " +
               std::to_string(raw) + " " + iso;
    };
    std::vector<std::string> expected = {line(2024, 2, 31, 23, 60, 64, "2024-02-31T23:60")};
    for (const Case& c : cases) {
        expected.push_back(line(2000 + c.yy, c.month, c.day, c.hour, c.minute, c.raw, c.iso));
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> got;
    for (const Result& r : ReadAll(*archive)) {
        got.push_back(line(r.year, r.month, r.day, r.hour, r.minute, r.raw, IsoTime(r)));
        EXPECT_EQ(r.archivedAt, 77);
    }
    EXPECT_EQ(got, expected);
}

TEST(Archive, PeriodsIncludeBothEnds) {
    TempFolder folder;
    const auto archive = OpenOrFail(folder / "a.sqlite");
    ASSERT_TRUE(archive);
    const std::vector<RawRecord> records = {
        RecordOf(24, 2, 29, 23, 60, 1), RecordOf(24, 3, 1, 0, 0, 2),
        RecordOf(24, 3, 1, 23, 60, 3),  RecordOf(24, 3, 2, 0, 0, 4),
        RecordOf(24, 3, 31, 23, 60, 5), RecordOf(24, 2, 31, 12, 0, 6),
    };
    MergeCounts counts;
    std::string error;
    ASSERT_TRUE(archive->Merge(records, 1, counts, error)) << error;
    const auto day = [](const char* text) { return ParseDay(text); };
    struct Case {
        Period period;
        std::vector<std::uint16_t> raws;
    };
    const Case cases[] = {
        {{}, {1, 6, 2, 3, 4, 5}},
        {{day("2024-03-01"), day("2024-03-01")}, {2, 3}},
        {{day("2024-03-01"), std::nullopt}, {2, 3, 4, 5}},
        {{std::nullopt, day("2024-02-29")}, {1}},
        {{day("2024-03-02"), day("2024-03-30")}, {4}},
        {{day("2024-04-01"), std::nullopt}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint16_t> raws;
        std::vector<Result> results = ReadAll(*archive, c.period);
        for (const Result& result : results) {
            raws.push_back(result.raw);
            EXPECT_TRUE(c.period.Contains(result)) << IsoTime(result);
        }
        EXPECT_EQ(raws, c.raws);
    }
}

TEST(Archive, ParseDayTakesRealCalendarDaysOnly) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"2024-03-07", true},  {"2024-02-29", true},   {"2023-02-29", false},
        {"2000-02-29", true},  {"2099-12-31", true},   {"2100-01-01", false},
        {"1999-12-31", false}, {"2024-04-31", false},  {"2024-00-10", false},
        {"2024-13-01", false}, {"2024-01-00", false},  {"2024-1-07", false},
        {"2024-01-7", false},  {"2024-01-07 ", false}, {"2024/01/07", false},
        {"20240107", false},   {"+024-01-07", false},  {"", false},
    };
    for (const auto& c : cases) {
        const auto day = ParseDay(c.text);
        EXPECT_EQ(day.has_value(), c.valid) << c.text;
    }
    const auto day = ParseDay("2024-03-07");
    ASSERT_TRUE(day);
    EXPECT_EQ(day->year, 2024);
    EXPECT_EQ(day->month, 3);
    EXPECT_EQ(day->day, 7);
}

TEST(Archive, LocationFollowsItsOrderOfPrecedence) {
    using Env = std::map<std::string, std::string>;
#ifdef _WIN32
    const Env base = {{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"}};
    const std::string folder = "C:\\Users\\ann\\AppData\\Local\\Tavex";
    const std::string sep = "\\";
#else
    const Env base = {{"HOME", "/home/ann"}};
    const std::string folder = "/home/ann/.local/share/tavex";
    const std::string sep = "/";
#endif
    struct Case {
        const char* what;
        std::string explicitPath;
        bool simulated;
        Env env;
        std::string path;  // empty: no location
        std::string folderToMake;
    };
    const auto with = [&](Env extra) {
        for (const auto& entry : base) extra.insert(entry);
        return extra;
    };
    std::vector<Case> cases = {
        {"explicit wins", "/x/mine.sqlite", false, with({{"TAVEX_ARCHIVE", "/y/env.sqlite"}}),
         "/x/mine.sqlite", ""},
        {"explicit wins for the demo", "/x/mine.sqlite", true, with({}), "/x/mine.sqlite", ""},
        {"environment for the meter", "", false, with({{"TAVEX_ARCHIVE", "/y/env.sqlite"}}),
         "/y/env.sqlite", ""},
        {"environment not for the demo", "", true, with({{"TAVEX_ARCHIVE", "/y/env.sqlite"}}),
         folder + sep + "demo-archive.sqlite", folder},
        {"empty environment passed over", "", false, with({{"TAVEX_ARCHIVE", ""}}),
         folder + sep + "archive.sqlite", folder},
        {"default", "", false, with({}), folder + sep + "archive.sqlite", folder},
        {"default for the demo", "", true, with({}), folder + sep + "demo-archive.sqlite", folder},
        {"no home at all", "", false, {}, "", ""},
    };
#ifndef _WIN32
    const std::vector<Case> posix = {
        {"data home", "", false, with({{"XDG_DATA_HOME", "/data/ann/"}}),
         "/data/ann/tavex/archive.sqlite", "/data/ann/tavex"},
        {"data home for the demo", "", true, with({{"XDG_DATA_HOME", "/data/ann"}}),
         "/data/ann/tavex/demo-archive.sqlite", "/data/ann/tavex"},
        {"relative data home passed over", "", false, with({{"XDG_DATA_HOME", "data"}}),
         folder + "/archive.sqlite", folder},
        {"empty data home passed over", "", false, with({{"XDG_DATA_HOME", ""}}),
         folder + "/archive.sqlite", folder},
        {"relative home", "", false, {{"HOME", "ann"}}, "", ""},
        {"data home without home",
         "",
         false,
         {{"XDG_DATA_HOME", "/d"}},
         "/d/tavex/archive.sqlite",
         "/d/tavex"},
    };
    cases.insert(cases.end(), posix.begin(), posix.end());
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto getenv = [&](const char* name) -> std::optional<std::string> {
            const auto it = c.env.find(name);
            if (it == c.env.end()) return std::nullopt;
            return it->second;
        };
        Location location;
        std::string error;
        const bool found = Locate(c.explicitPath, c.simulated, getenv, location, error);
        EXPECT_EQ(found, !c.path.empty()) << error;
        if (!found) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(location.path, c.path);
        EXPECT_EQ(location.folderToMake, c.folderToMake);
    }
}

// A reader opens through a URI: names with what a URI gives a meaning to are still plain names,
// and a reader never makes an archive where there is none.
TEST(Archive, ReadersTakeNamesAsTheyAre) {
    TempFolder folder;
    std::vector<std::string> names = {"b#c.sqlite", "100%25 full.sqlite", "Ёж.sqlite"};
#ifndef _WIN32
    names.push_back("a?mode=memory.sqlite");
#endif
    std::string error;
    bool missing = true;
    MergeCounts counts;
    for (const std::string& name : names) {
        const auto writer = OpenOrFail(folder / name);
        ASSERT_TRUE(writer && writer->Merge(DemoRecords(), 1, counts, error)) << error;
        const auto reader = Archive::OpenForReading(folder / name, error, missing);
        ASSERT_TRUE(reader) << name << ": " << error;
        EXPECT_EQ(ReadAll(*reader).size(), 247u) << name;
    }
    std::ofstream(folder / "empty.sqlite").close();
    for (const std::string name : {"none.sqlite", "empty.sqlite"}) {
        EXPECT_FALSE(Archive::OpenForReading(folder / name, error, missing) || !missing) << name;
    }
    EXPECT_FALSE(NameTaken(folder / "none.sqlite"));
    EXPECT_EQ(FileBytes(folder / "empty.sqlite"), "");
}

TEST(Archive, OpenLocatedMakesOnlyTheDefaultFolder) {
    TempFolder folder;
    const std::string data = folder / "deep/data";
    const auto getenv = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "XDG_DATA_HOME" || std::string(name) == "LOCALAPPDATA") {
            return data;
        }
        return std::nullopt;
    };
    Location location;
    std::string error;
    ASSERT_TRUE(Locate("", true, getenv, location, error)) << error;
    ASSERT_TRUE(OpenLocated(location, error)) << error;
    EXPECT_TRUE(NameTaken(location.path));
#ifndef _WIN32
    for (const std::string& made : {folder / "deep", data, data + "/tavex"}) {
        struct stat info {};
        ASSERT_EQ(::stat(made.c_str(), &info), 0) << made;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << made;
    }
#endif
    // An explicit path's folder is the user's to make.
    ASSERT_TRUE(Locate(folder / "none/a.sqlite", false, getenv, location, error));
    EXPECT_FALSE(OpenLocated(location, error));
    EXPECT_NE(error.find(folder / "none"), std::string::npos) << error;
    EXPECT_FALSE(NameTaken(folder / "none"));
}

// ---- files that are not archives of ours ----

#ifdef TAVEX_TEST_HAS_SQLITE
// Runs SQL on a database through SQLite itself, as another program would.
void RunSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}
#endif

TEST(Archive, FilesThatAreNotArchivesAreRefusedAndLeftAsTheyAre) {
    TempFolder folder;
    std::vector<std::pair<std::string, std::string>> files;  // what, path
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(std::filesystem::u8path(folder / name), std::ios::binary) << bytes;
        files.push_back({name, folder / name});
    };
    write("text.sqlite", "time,bq_m3\n2024-01-01T00:00,50\n");
    write("short.sqlite", "SQLite format 3");
    std::string garbage(8192, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 7 + 3);
    write("garbage.sqlite", garbage);
    std::string fakeHeader = "SQLite format 3" + std::string(1, '\0') + garbage;
    write("fake.sqlite", fakeHeader);
    {
        // An archive of ours whose header says it is of a newer layout.
        const std::string newer = folder / "newer-header.sqlite";
        { ASSERT_TRUE(OpenOrFail(newer)); }
        std::string bytes = FileBytes(newer);
        ASSERT_GE(bytes.size(), 100u);
        bytes[63] = 2;  // user_version, big-endian at offset 60
        write("newer-header.sqlite", bytes);
    }
#ifdef TAVEX_TEST_HAS_SQLITE
    RunSql(folder / "foreign.sqlite", "CREATE TABLE notes(text); INSERT INTO notes VALUES('x')");
    files.push_back({"foreign", folder / "foreign.sqlite"});
    // In WAL mode: SQLite reading it would make a -wal and -shm beside it.
    RunSql(folder / "foreign-wal.sqlite", "PRAGMA journal_mode = WAL; CREATE TABLE notes(text)");
    files.push_back({"foreign in WAL mode", folder / "foreign-wal.sqlite"});
    {
        const std::string newer = folder / "newer.sqlite";
        { ASSERT_TRUE(OpenOrFail(newer)); }
        RunSql(newer, "PRAGMA user_version = 2");
        files.push_back({"newer", newer});
    }
#endif
    for (const auto& [what, path] : files) {
        SCOPED_TRACE(what);
        const std::string before = FileBytes(path);
        std::string error;
        EXPECT_FALSE(Archive::Open(path, error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_TRUE(FileBytes(path) == before) << path << " changed";
        for (const char* companion : {"-wal", "-shm", "-journal"}) {
            EXPECT_FALSE(NameTaken(path + companion)) << companion;
        }
    }
}

// Not under Wine: its server once dropped this test's process (two connections in one process
// over a write-ahead log whose shared memory stays mapped); the check is the same on Linux.
#if defined(TAVEX_TEST_HAS_SQLITE) && !defined(_WIN32)
TEST(Archive, ANewerLayoutStillInTheWriteAheadLogIsRefused) {
    TempFolder folder;
    const std::string path = folder / "a.sqlite";
    { ASSERT_TRUE(OpenOrFail(path)); }
    // Another program keeps its change in the log: the file's own header still says layout 1.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_autocheckpoint = 0; PRAGMA user_version = 2", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    const std::string before = FileBytes(path);
    EXPECT_EQ(before[63], 1);
    std::string error;
    EXPECT_FALSE(Archive::Open(path, error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
    EXPECT_TRUE(FileBytes(path) == before) << path << " changed";
    sqlite3_close(db);
}

TEST(Archive, AMergeThatFailsKeepsNothingOfIt) {
    TempFolder folder;
    const std::string path = folder / "a.sqlite";
    const auto archive = OpenOrFail(path);
    ASSERT_TRUE(archive);
    std::string error;
    MergeCounts counts;
    ASSERT_TRUE(archive->Merge(HourlyRecords(10), 1, counts, error)) << error;
    // Another program's trigger makes one result of the next batch fail, late in the batch.
    RunSql(path,
           "CREATE TRIGGER refuse BEFORE INSERT ON results WHEN NEW.raw = 777 "
           "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    std::vector<RawRecord> batch = HourlyRecords(500, 30);
    batch.push_back(RecordOf(50, 1, 1, 0, 0, 777));
    counts = {3, 4, 5};
    EXPECT_FALSE(archive->Merge(batch, 2, counts, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(counts.added, 3u);  // untouched on failure
    EXPECT_EQ(ReadAll(*archive).size(), 10u);
    // The archive goes on working.
    batch.pop_back();
    ASSERT_TRUE(archive->Merge(batch, 3, counts, error)) << error;
    EXPECT_EQ(counts.added, 500u);
    EXPECT_EQ(CountIn(path), 510u);
}
#endif

#ifndef _WIN32

TEST(Archive, NamesThatAreNotRegularFilesAreRefused) {
    TempFolder folder;
    const std::string real = folder / "real.sqlite";
    { ASSERT_TRUE(OpenOrFail(real)); }
    const std::string realBytes = FileBytes(real);
    struct Case {
        const char* what;
        std::string path;
        std::string offender;
    };
    const std::string linked = folder / "linked.sqlite";
    ASSERT_EQ(::symlink(real.c_str(), linked.c_str()), 0);
    const std::string dangling = folder / "dangling.sqlite";
    ASSERT_EQ(::symlink((folder / "nowhere").c_str(), dangling.c_str()), 0);
    const std::string fifo = folder / "fifo.sqlite";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = folder / "dir.sqlite";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::vector<Case> cases = {
        {"link to an archive", linked, linked},
        {"dangling link", dangling, dangling},
        {"FIFO", fifo, fifo},
        {"folder", dir, dir},
    };
    // A link planted at a companion's name, for an archive that exists and for a new one.
    for (const char* companion : {"-wal", "-shm", "-journal"}) {
        for (const std::string& base : {real, folder / std::string("new") + companion}) {
            const std::string at = base + companion;
            ASSERT_EQ(::symlink((folder / "planted").c_str(), at.c_str()), 0);
            cases.push_back({companion, base, at});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_FALSE(Archive::Open(c.path, error));
        EXPECT_NE(error.find(c.offender), std::string::npos) << error;
        ::unlink(c.offender.c_str());
    }
    EXPECT_TRUE(FileBytes(real) == realBytes) << real << " changed";
    EXPECT_FALSE(NameTaken(folder / "planted"));
    // A name SQLite would take for a URI is the file of that name in the working folder.
    const std::string workingFolder = std::filesystem::current_path().string();
    ASSERT_EQ(::chdir(folder.path().c_str()), 0);
    { EXPECT_TRUE(OpenOrFail("file:uri.sqlite?mode=memory")); }
    EXPECT_TRUE(NameTaken(folder / "file:uri.sqlite?mode=memory"));
    EXPECT_FALSE(NameTaken(folder / "uri.sqlite"));
    ASSERT_EQ(::chdir(workingFolder.c_str()), 0);
    EXPECT_FALSE(NameTaken(folder / "nowhere"));
    EXPECT_FALSE(NameTaken(folder / "new-wal"));
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(Archive, TheArchiveAndItsCompanionsAreTheUsersOnly) {
    TempFolder folder;
    const mode_t oldMask = ::umask(0);
    const std::string path = folder / "a.sqlite";
    {
        const auto archive = OpenOrFail(path);
        ASSERT_TRUE(archive);
        MergeCounts counts;
        std::string error;
        ASSERT_TRUE(archive->Merge(DemoRecords(), 1, counts, error)) << error;
        for (const std::string& name : {path, path + "-wal", path + "-shm"}) {
            EXPECT_EQ(ModeOf(name), 0600u) << name;
        }
    }
    // An archive of ours left readable by others is tightened, its companions with it.
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    {
        const auto archive = OpenOrFail(path);
        ASSERT_TRUE(archive);
        MergeCounts counts;
        std::string error;
        ASSERT_TRUE(archive->Merge({RecordOf(30, 1, 1, 1, 1, 1)}, 1, counts, error)) << error;
        for (const std::string& name : {path, path + "-wal", path + "-shm"}) {
            EXPECT_EQ(ModeOf(name), 0600u) << name;
        }
    }
    // An empty file (one this program made and left before it became an archive, say) becomes
    // the archive, the user's alone.
    const std::string empty = folder / "empty.sqlite";
    std::ofstream(empty).close();
    ASSERT_EQ(::chmod(empty.c_str(), 0644), 0);
    EXPECT_TRUE(OpenOrFail(empty));
    EXPECT_EQ(ModeOf(empty), 0600u);
    EXPECT_EQ(CountIn(empty), 0u);
    // Someone else's file keeps its bits: it is refused, not changed.
    const std::string other = folder / "other.sqlite";
    std::ofstream(other) << "not ours";
    ASSERT_EQ(::chmod(other.c_str(), 0644), 0);
    std::string error;
    EXPECT_FALSE(Archive::Open(other, error));
    EXPECT_EQ(ModeOf(other), 0644u);
    ::umask(oldMask);
}

// Runs body in a child process; its exit status (0 for success) comes back.
template <typename Body>
pid_t Spawn(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

int ExitStatus(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Archive, TwoProcessesMergingAtOnceLoseNothing) {
    TempFolder folder;
    const std::string path = folder / "a.sqlite";
    // Overlapping and distinct results: a shares 300 with b, both have their own.
    const std::vector<RawRecord> all = HourlyRecords(1500);
    const std::vector<RawRecord> a(all.begin(), all.begin() + 900);
    const std::vector<RawRecord> b(all.begin() + 600, all.end());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    // Each child merges its results in small batches, many transactions that interleave; the
    // archive is made by whichever comes first.
    const auto child = [&](const std::vector<RawRecord>& mine) {
        return [&, mine]() -> int {
            char go;
            if (::read(ready[0], &go, 1) != 1) return 3;
            std::string error;
            const auto archive = Archive::Open(path, error);
            if (!archive) return 1;
            for (std::size_t at = 0; at < mine.size(); at += 50) {
                const std::vector<RawRecord> batch(mine.begin() + at,
                                                   mine.begin() + std::min(at + 50, mine.size()));
                MergeCounts counts;
                if (!archive->Merge(batch, 1, counts, error)) return 2;
                if (counts.added + counts.alreadyThere != batch.size()) return 4;
            }
            return 0;
        };
    };
    const pid_t first = Spawn(child(a));
    const pid_t second = Spawn(child(b));
    ::close(ready[0]);
    ASSERT_EQ(::write(ready[1], "gg", 2), 2);
    ::close(ready[1]);
    EXPECT_EQ(ExitStatus(first), 0);
    EXPECT_EQ(ExitStatus(second), 0);
    EXPECT_EQ(CountIn(path), all.size());
}

#ifdef TAVEX_TEST_HAS_SQLITE
// Whether another process holds a lock on bytes [start, start + length) of path, as SQLite's
// locks are seen from outside.
pid_t LockHolder(const std::string& path, off_t start, off_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    query.l_start = start;
    query.l_len = length;
    const bool asked = ::fcntl(fd, F_GETLK, &query) == 0;
    ::close(fd);
    return asked && query.l_type != F_UNLCK ? query.l_pid : 0;
}

// A program that holds the archive keeps SQLite's locks however often it opens the archive
// again, writes and reads it: the next program must not think itself alone (it would reset the
// shared memory under the first one's feet).
TEST(Archive, ItsLocksHoldWhileAProgramUsesIt) {
    TempFolder folder;
    const std::string path = folder / "a.sqlite";
    { ASSERT_TRUE(OpenOrFail(path)); }
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = Spawn([&]() -> int {
        sqlite3* db = nullptr;
        std::string error;
        bool missing = false;
        MergeCounts counts;
        std::vector<Result> results;
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db, "BEGIN; SELECT count(*) FROM results", nullptr, nullptr, nullptr) !=
                SQLITE_OK) {
            return 1;
        }
        const auto writer = Archive::Open(path, error);
        const auto reader = Archive::OpenForReading(path, error, missing);
        if (!writer || !reader || !writer->Merge(DemoRecords(), 1, counts, error) ||
            !reader->Read({}, results, error) || ::write(ready[1], "g", 1) != 1) {
            return 2;
        }
        ::pause();  // holding it all until killed
        return 0;
    });
    ::close(ready[1]);
    char signal = 0;
    if (::read(ready[0], &signal, 1) == 1) {
        // The shared memory's "in use" byte, and the database's shared range (read transactions).
        EXPECT_EQ(LockHolder(path + "-shm", 128, 1), pid);
        EXPECT_EQ(LockHolder(path, 0x40000002, 510), pid);
    }
    ::close(ready[0]);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(ExitStatus(pid), 128 + SIGKILL);
}

TEST(Archive, AMergeWaitsForAnotherWriter) {
    TempFolder folder;
    const std::string path = folder / "a.sqlite";
    { ASSERT_TRUE(OpenOrFail(path)); }
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    // Forked before this process opens the database: SQLite's locks do not cross a fork.
    const pid_t pid = Spawn([&]() -> int {
        char signal;
        if (::read(go[0], &signal, 1) != 1) return 3;
        std::string error;
        const auto archive = Archive::Open(path, error);
        MergeCounts counts;
        return archive && archive->Merge(DemoRecords(), 1, counts, error) && counts.added == 247
                   ? 0
                   : 1;
    });
    ::close(go[0]);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    // The other writer holds the archive well beyond an instant, well within the timeout.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(CountIn(path), 0u);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(ExitStatus(pid), 0);
    EXPECT_EQ(CountIn(path), 247u);
}

// Another program's database that it left in the middle of writing: SQLite opening it would
// recover it (roll the journal back, or fold the log in), changing the file.
TEST(Archive, AForeignDatabaseLeftMidWriteIsNotRecovered) {
    TempFolder folder;
    const struct {
        const char* name;
        const char* sql;
        const char* companion;
    } cases[] = {
        {"log.sqlite",
         "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0; CREATE TABLE t(x);"
         "INSERT INTO t VALUES(randomblob(3000)); INSERT INTO t VALUES(randomblob(3000))",
         "-wal"},
        {"journal.sqlite",
         "CREATE TABLE t(x); INSERT INTO t VALUES(randomblob(3000)); PRAGMA cache_size = 2;"
         "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
         "INSERT INTO t SELECT randomblob(3000) FROM n; UPDATE t SET x = randomblob(3000)",
         "-journal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder / c.name;
        // The other program ends without closing the database.
        const pid_t pid = Spawn([&]() -> int {
            sqlite3* db = nullptr;
            if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 1;
            return sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : 2;
        });
        ASSERT_EQ(ExitStatus(pid), 0);
        const std::string companion = path + c.companion;
        ASSERT_TRUE(NameTaken(companion));
        const std::string before = FileBytes(path);
        const std::string companionBefore = FileBytes(companion);
        ASSERT_FALSE(companionBefore.empty());
        std::string error;
        EXPECT_FALSE(Archive::Open(path, error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_TRUE(FileBytes(path) == before) << path << " changed";
        EXPECT_TRUE(FileBytes(companion) == companionBefore) << companion << " changed";
    }
}
#endif

TEST(Archive, AMergeKilledMidwayLeavesAllOrNoneOfIt) {
    TempFolder folder;
    const std::string path = folder / "a.sqlite";
    { ASSERT_TRUE(OpenOrFail(path)); }
    constexpr std::size_t kBatch = 40000;
    std::size_t expected = 0;
    int none = 0;
    int all = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        // A batch of its own each round (other years), so that each shows apart; none shares a
        // result with the demo memory (2026), which is merged at the end.
        const std::vector<RawRecord> batch = HourlyRecords(kBatch, 30 + 5 * round);
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        const pid_t pid = Spawn([&]() -> int {
            std::string error;
            const auto archive = Archive::Open(path, error);
            if (!archive) return 1;
            if (::write(started[1], "s", 1) != 1) return 3;
            MergeCounts counts;
            return archive->Merge(batch, 1, counts, error) ? 0 : 2;
        });
        ::close(started[1]);
        char signal;
        ASSERT_EQ(::read(started[0], &signal, 1), 1);
        ::close(started[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 8));
        ::kill(pid, SIGKILL);
        const int status = ExitStatus(pid);
        EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        // The archive opens, and holds the whole batch or nothing of it.
        const std::size_t count = CountIn(path);
        if (count == expected) {
            ++none;
        } else {
            EXPECT_EQ(count, expected + kBatch);
            ++all;
        }
        expected = count;
    }
    std::cout << "killed merges: " << none << " kept nothing, " << all << " kept all\n";
    // Merging still works afterwards.
    const auto archive = OpenOrFail(path);
    ASSERT_TRUE(archive);
    MergeCounts counts;
    std::string error;
    ASSERT_TRUE(archive->Merge(DemoRecords(), 1, counts, error)) << error;
    EXPECT_EQ(counts.added, 247u);
}

#endif  // _WIN32

}  // namespace
}  // namespace tavex::archive
