#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "instrument/results.h"

struct sqlite3;

namespace tavex::archive {

// A result as the meter stores it: its date and time to the minute, never normalised (year
// 2000 + yy, minute 0-60, day 1-31 whatever the month), and its raw value.
struct Result {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    std::uint16_t raw = 0;
    // When it was first archived, seconds since 1970 (UTC); 0 when not archived.
    std::int64_t archivedAt = 0;

    // yyyymmddhhmm: orders results by their date-time as the meter stores it.
    std::int64_t Key() const;
    bool operator==(const Result&) const = default;
};

// The result a valid record stands for; nullopt for a record an export leaves out.
std::optional<Result> ResultOfRecord(const RawRecord& record);

// A calendar day, YYYY-MM-DD.
struct Day {
    int year = 0;
    int month = 0;
    int day = 0;
};
// "2024-03-07" into a day; nullopt unless it is a real calendar day of the years 2000-2099.
std::optional<Day> ParseDay(const std::string& text);

// The results of a period: both ends inclusive, either one open.
struct Period {
    std::optional<Day> from;
    std::optional<Day> to;
    bool Contains(const Result& result) const;
};

struct MergeCounts {
    std::size_t added = 0;
    std::size_t alreadyThere = 0;
    // Records an export leaves out (damaged, or a time or date that cannot be shown): not
    // archived.
    std::size_t leftOut = 0;
};

// What the archive holds: the count and the oldest and newest results.
struct Totals {
    std::size_t count = 0;
    std::optional<Result> first;
    std::optional<Result> last;
};

// The results archive: every valid result ever read from a meter on this computer, each once,
// in an SQLite database (WAL, one transaction per merge, a busy timeout so that two programs
// may merge at the same time).
class Archive {
public:
    // Opens the archive at path, creating it when there is none. The name must be a regular file
    // or nothing (no link, FIFO or device; the same for its -wal and -shm companions); a new
    // archive and its companions are made 0600 (an archive of ours with wider bits is
    // tightened; an empty file becomes a new archive). A file that is not an archive of ours, or
    // one of a newer version, is refused and left untouched: SQLite does not see it. nullptr
    // with error (naming the file) on failure. An Archive is used by one thread at a time.
    // The user's own files only: an archive, or a -wal, -shm or -journal beside it, that belongs
    // to another user (root aside) is refused before SQLite sees it, and so is a folder that
    // others may write to without the sticky bit.
    static std::unique_ptr<Archive> Open(const std::string& path, std::string& error);
    // Opens the archive at path to read it, never to write: it may be another user's (a copy, a
    // service's archive), on a medium or in a folder this user may not write to, and is left
    // byte for byte as it was; companions of a third user are refused. Nothing at path, or an
    // empty file, sets missing (no results yet) and gives nullptr without error.
    static std::unique_ptr<Archive> OpenForReading(const std::string& path, std::string& error,
                                                   bool& missing);
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Adds the valid records among these, each result once, in one transaction: on failure
    // nothing of this merge is kept. now: the archiving time to store (seconds since 1970).
    bool Merge(const std::vector<RawRecord>& records, std::int64_t now, MergeCounts& counts,
               std::string& error);
    // The results of the period, oldest first.
    bool Read(const Period& period, std::vector<Result>& results, std::string& error);
    bool ReadTotals(Totals& totals, std::string& error);

    const std::string& Path() const { return path_; }

private:
    Archive(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    sqlite3* db_ = nullptr;
    std::string path_;
};

// Where the archive lies.
struct Location {
    // The file's path, UTF-8.
    std::string path;
    // The folder to create (0700) before opening, when the path is the default one.
    std::string folderToMake;
};

// explicitPath (--archive) always wins; else, for the real meter only, TAVEX_ARCHIVE when set and
// not empty; else archive.sqlite (demo-archive.sqlite for the simulated meter) in
// ${XDG_DATA_HOME:-~/.local/share}/tavex, on Windows in %LOCALAPPDATA%\Tavex. getenv reads the
// environment (UTF-8; nullopt for unset). False with error when no folder can be found.
bool Locate(const std::string& explicitPath, bool simulated,
            const std::function<std::optional<std::string>(const char*)>& getenv,
            Location& location, std::string& error);
// The process's own environment for Locate.
std::optional<std::string> SystemEnvironment(const char* name);

// Locates, makes the folder and opens the archive.
std::unique_ptr<Archive> OpenLocated(const Location& location, std::string& error);

// "2024-03-07T09:05" (the meter's own date-time, never normalised).
std::string IsoTime(const Result& result);

}  // namespace tavex::archive
