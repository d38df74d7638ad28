#include "archive/archive.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/archive_files.h"
#include "fileio/safe_file.h"
#include "instrument/memory_map.h"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>

#include "fileio/win_text.h"
#else
#include <sys/stat.h>
#endif

namespace tavex::archive {

namespace {

// The database header's application id (offset 68) says "TAVX": a file of ours.
constexpr std::int32_t kApplicationId = 0x54415658;
// The layout this program writes; a newer one is refused rather than guessed at.
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr std::size_t kHeaderSize = 100;
constexpr char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                             'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
// The files SQLite keeps beside the archive.
constexpr const char* kCompanions[] = {"-wal", "-shm", "-journal"};

// One row per result: the meter's date-time as yyyymmddhhmm and the raw value identify it.
constexpr const char* kCreateSchema =
    "CREATE TABLE results("
    " at INTEGER NOT NULL,"
    " raw INTEGER NOT NULL CHECK(raw BETWEEN 0 AND 65535),"
    " archived_at INTEGER NOT NULL,"
    " PRIMARY KEY(at, raw)) WITHOUT ROWID";

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

std::int64_t KeyOf(int year, int month, int day, int hour, int minute) {
    return ((((std::int64_t{year} * 100 + month) * 100 + day) * 100 + hour) * 100) + minute;
}

Result ResultOfKey(std::int64_t key, std::uint16_t raw, std::int64_t archivedAt) {
    Result result;
    result.minute = static_cast<int>(key % 100);
    key /= 100;
    result.hour = static_cast<int>(key % 100);
    key /= 100;
    result.day = static_cast<int>(key % 100);
    key /= 100;
    result.month = static_cast<int>(key % 100);
    result.year = static_cast<int>(key / 100);
    result.raw = raw;
    result.archivedAt = archivedAt;
    return result;
}

std::uint32_t BigEndian32(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

// Turns the by-name check's wording for files to be replaced into the archive's.
std::string NotOpened(std::string reason) {
    static const std::string kReplaced = "; it is not replaced";
    if (reason.size() >= kReplaced.size() &&
        reason.compare(reason.size() - kReplaced.size(), kReplaced.size(), kReplaced) == 0) {
        reason.replace(reason.size() - kReplaced.size(), kReplaced.size(),
                       "; it is not opened as the results archive");
    }
    return reason;
}

// ---- the file before SQLite sees it ----

// What lies at the archive's name.
enum class Found { kNothing, kEmpty, kOurs, kRefused };

std::string DamagedText(const std::string& path) {
    return Quoted(path) +
           " is a damaged results archive; it is left as it is. Keep a copy of it; the results "
           "in the meter's memory are untouched";
}

std::string ForeignText(const std::string& name, const files::Facts& facts, bool companion) {
    if (companion) {
        return Quoted(name) + " beside the results archive belongs to another user (" +
               facts.ownerName +
               "); nothing of it is used. Keep the archive in a folder that only you may write "
               "to";
    }
    return Quoted(name) + " belongs to another user (" + facts.ownerName +
           "); it is not opened as the results archive. Name a file of your own, in a folder "
           "that only you may write to";
}

// The archive's name and its companions, as they lie now.
struct Names {
    files::Facts archive;
    files::Facts companions[std::size(kCompanions)];

    bool LookAt(const std::string& path, std::string& error) {
        if (!files::LookAt(path, archive, error)) return false;
        for (std::size_t i = 0; i < std::size(kCompanions); ++i) {
            if (!files::LookAt(path + kCompanions[i], companions[i], error)) return false;
        }
        return true;
    }
    bool WalHasContent() const { return companions[0].exists && companions[0].size > 0; }
    // Each name must be a regular file or nothing. For a writer every file must be the user's; a
    // reader may read another user's archive, but only with companions of the archive's owner
    // (or its own).
    bool Refuses(const std::string& path, bool writing, std::string& error) const {
        for (std::size_t i = 0; i <= std::size(kCompanions); ++i) {
            const bool companion = i > 0;
            const files::Facts& facts = companion ? companions[i - 1] : archive;
            const std::string name = companion ? path + kCompanions[i - 1] : path;
            if (!facts.exists) continue;
            if (facts.link || !facts.regular) {
                error = Quoted(name) +
                        (facts.link ? " is a symbolic link" : " is not a regular file") +
                        "; it is not opened as the results archive";
                return true;
            }
            const bool owners =
                facts.trusted || (!writing && (!companion || facts.owner == archive.owner));
            if (!owners) {
                error = ForeignText(name, facts, companion);
                return true;
            }
        }
        return false;
    }
};

// The URI that names path for SQLite (which may then be given a query): everything but letters,
// digits and "-._~/" percent-encoded, so that no "?" or "#" in a name is read as the URI's.
std::string FileUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    const std::string parts = files::UriPath(path);
    // A full path gets an empty authority, so that one beginning with "//" is no host's.
    std::string uri = parts.rfind('/', 0) == 0 ? "file://" : "file:";
    for (const char c : parts) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            (c != '\0' && std::strchr("-._~/", c) != nullptr)) {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[byte >> 4];
            uri += kHex[byte & 15];
        }
    }
    return uri;
}

// Reads the first bytes of the database through SQLite's own file layer, never by a descriptor
// of our own: SQLite keeps a descriptor of a file that this process holds locks on open until
// those locks are gone, where a plain close would drop them.
bool ReadHead(const std::string& path, std::string& head, std::string& error) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    const char* name = vfs ? sqlite3_create_filename(path.c_str(), "", "", 0, nullptr) : nullptr;
    if (!name) {
        error = "cannot read " + Quoted(path) + ": out of memory";
        return false;
    }
    std::vector<std::max_align_t> space(
        (static_cast<std::size_t>(vfs->szOsFile) + sizeof(std::max_align_t) - 1) /
        sizeof(std::max_align_t));
    auto* file = reinterpret_cast<sqlite3_file*>(space.data());
    int opened = 0;
    int result = vfs->xOpen(vfs, name, file, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_READONLY, &opened);
    if (result == SQLITE_OK) {
        sqlite3_int64 size = 0;
        result = file->pMethods->xFileSize(file, &size);
        head.assign(static_cast<std::size_t>(std::clamp<sqlite3_int64>(size, 0, kHeaderSize)),
                    '\0');
        if (result == SQLITE_OK && !head.empty()) {
            result = file->pMethods->xRead(file, head.data(), static_cast<int>(head.size()), 0);
        }
    }
    if (file->pMethods) file->pMethods->xClose(file);
    sqlite3_free_filename(name);
    if (result != SQLITE_OK) {
        error = "cannot read " + Quoted(path) + ": " + sqlite3_errstr(result);
        return false;
    }
    return true;
}

std::uint32_t BigEndian16(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 8) | std::uint32_t{bytes[1]};
}

// Looks at what lies at path through its header alone: SQLite opening a file that is not ours
// would roll back a journal beside it or fold its log in, and such a file is never touched.
Found Inspect(const std::string& path, const Names& names, std::string& error) {
    if (!names.archive.exists) return Found::kNothing;
    if (names.archive.size == 0) return Found::kEmpty;
    std::string head;
    if (!ReadHead(path, head, error)) return Found::kRefused;
    if (head.empty()) return Found::kEmpty;
    const auto* bytes = reinterpret_cast<const unsigned char*>(head.data());
    if (head.size() < kHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) {
        error = Quoted(path) +
                " is not a results archive (it is not an SQLite database); it is left as it is";
        return Found::kRefused;
    }
    if (BigEndian32(bytes + 68) != static_cast<std::uint32_t>(kApplicationId)) {
        error = Quoted(path) +
                " is an SQLite database but not a results archive of this program; it is left "
                "as it is";
        return Found::kRefused;
    }
    const std::uint32_t version = BigEndian32(bytes + 60);
    if (version > static_cast<std::uint32_t>(kSchemaVersion)) {
        error = Quoted(path) + " is a results archive of a newer version of this program (layout " +
                std::to_string(version) + "; this one knows layout " +
                std::to_string(kSchemaVersion) + "); it is left as it is";
        return Found::kRefused;
    }
    // A file shorter than its header says was cut off. The count in the header holds when it was
    // written with the change counter it names; a log not yet folded in may still hold the pages
    // that a checkpoint stopped before writing, so then the file is not judged by its length.
    const std::uint32_t pageSize = BigEndian16(bytes + 16) == 1 ? 65536 : BigEndian16(bytes + 16);
    const std::uint32_t pages = BigEndian32(bytes + 28);
    if (!names.WalHasContent() && BigEndian32(bytes + 92) == BigEndian32(bytes + 24) &&
        names.archive.size < std::uint64_t{pages} * pageSize) {
        error = DamagedText(path);
        return Found::kRefused;
    }
    return Found::kOurs;
}

// ---- SQLite ----

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement_);
            statement_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// An integer that a statement gives as its one value (PRAGMA user_version, say).
bool QueryInt(sqlite3* db, const char* sql, std::int64_t& value) {
    Statement statement(db, sql);
    if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) return false;
    value = sqlite3_column_int64(statement.get(), 0);
    return true;
}

std::string SqliteError(sqlite3* db) {
    const int code = sqlite3_errcode(db) & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
        return "another program kept it busy for " + std::to_string(kBusyTimeoutMs / 1000) +
               " seconds";
    }
    return sqlite3_errmsg(db);
}

bool IsDamage(int code) {
    return (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB;
}

// What went wrong with the archive at path: "what \"path\": why", or that it is damaged.
std::string Problem(sqlite3* db, const std::string& path, const std::string& what) {
    if (IsDamage(sqlite3_errcode(db))) return DamagedText(path);
    return what + " " + Quoted(path) + ": " + SqliteError(db);
}

// Makes an empty file the archive, in one transaction: a process stopped halfway leaves the
// file empty, and a second program doing the same at the same time finds the work done.
bool Initialize(sqlite3* db) {
    if (!Exec(db, "BEGIN IMMEDIATE")) return false;
    // Within the transaction an empty file already counts a page: whether another program has
    // made it an archive meanwhile shows in its schema.
    std::int64_t objects = 0;
    std::int64_t id = 0;
    bool ok = QueryInt(db, "SELECT count(*) FROM sqlite_master", objects) &&
              QueryInt(db, "PRAGMA application_id", id);
    if (ok && objects == 0 && id == 0) {
        const std::string sql = std::string(kCreateSchema) +
                                "; PRAGMA application_id = " + std::to_string(kApplicationId) +
                                "; PRAGMA user_version = " + std::to_string(kSchemaVersion);
        ok = Exec(db, sql.c_str());
    }
    if (ok && Exec(db, "COMMIT")) return true;
    Exec(db, "ROLLBACK");
    return false;
}

// Puts the archive into write-ahead mode, which takes the file for a moment. Two programs
// opening a new archive at once may each hold it for reading as they ask: SQLite then answers
// busy at once, since waiting would deadlock, and not through the busy timeout. So the switch is
// tried again, for as long as that timeout.
bool SwitchToWal(sqlite3* db) {
    const auto giveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (int attempt = 1;; ++attempt) {
        int result = SQLITE_ERROR;
        {
            Statement mode(db, "PRAGMA journal_mode = WAL");
            result = mode ? sqlite3_step(mode.get()) : sqlite3_errcode(db);
            if (result == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(mode.get(), 0);
                return text && std::strcmp(reinterpret_cast<const char*>(text), "wal") == 0;
            }
        }
        if ((result & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= giveUp) {
            return false;
        }
        // A pause that differs between attempts, so that the two programs do not meet again.
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + attempt % 7));
    }
}

// Looks at the names again once SQLite has opened them: a companion that another user put in
// place between the first look and SQLite's open is refused, and not folded into the archive as
// the connection closes.
bool NamesStillAccepted(sqlite3* db, const std::string& path, bool writing, std::string& error) {
    Names now;
    if (now.LookAt(path, error) && !now.Refuses(path, writing, error)) return true;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    return false;
}

enum class Check { kSound, kDamaged, kFailed };

// SQLite's quick check of every page: the b-trees, their order and their free pages.
Check QuickCheck(sqlite3* db) {
    Statement check(db, "PRAGMA quick_check(1)");
    if (!check) return IsDamage(sqlite3_errcode(db)) ? Check::kDamaged : Check::kFailed;
    const int step = sqlite3_step(check.get());
    if (step != SQLITE_ROW) return IsDamage(step) ? Check::kDamaged : Check::kFailed;
    const unsigned char* text = sqlite3_column_text(check.get(), 0);
    return text && std::strcmp(reinterpret_cast<const char*>(text), "ok") == 0 ? Check::kSound
                                                                               : Check::kDamaged;
}

// Whether the open database is an archive this program can use.
bool Validate(sqlite3* db, const std::string& path, std::string& error) {
    std::int64_t id = 0;
    std::int64_t version = 0;
    if (!QueryInt(db, "PRAGMA application_id", id) ||
        !QueryInt(db, "PRAGMA user_version", version)) {
        error = Problem(db, path, "cannot read");
        return false;
    }
    if (id != kApplicationId) {
        error = Quoted(path) +
                " is an SQLite database but not a results archive of this program; it is left "
                "as it is";
        return false;
    }
    if (version > kSchemaVersion) {
        error = Quoted(path) + " is a results archive of a newer version of this program (layout " +
                std::to_string(version) + "; this one knows layout " +
                std::to_string(kSchemaVersion) + "); it is left as it is";
        return false;
    }
    Statement probe(db, "SELECT at, raw, archived_at FROM results LIMIT 0");
    if (version != kSchemaVersion || !probe) {
        error = DamagedText(path);
        return false;
    }
    return true;
}

}  // namespace

std::int64_t Result::Key() const {
    return KeyOf(year, month, day, hour, minute);
}

std::optional<Result> ResultOfRecord(const RawRecord& record) {
    if (!IsRecordValid(record.data())) return std::nullopt;
    const memory::StoredRecord stored = memory::DecodeRecord(record.data());
    Result result;
    result.year = 2000 + stored.year;
    result.month = stored.month;
    result.day = stored.day;
    result.hour = stored.hours;
    result.minute = stored.minutes;
    result.raw = stored.raw;
    return result;
}

std::optional<Day> ParseDay(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    int fields[3] = {};
    const std::size_t starts[3] = {0, 5, 8};
    const std::size_t lengths[3] = {4, 2, 2};
    for (int i = 0; i < 3; ++i) {
        for (std::size_t k = starts[i]; k < starts[i] + lengths[i]; ++k) {
            if (text[k] < '0' || text[k] > '9') return std::nullopt;
            fields[i] = fields[i] * 10 + (text[k] - '0');
        }
    }
    const Day day{fields[0], fields[1], fields[2]};
    if (day.year < 2000 || day.year > 2099 || day.month < 1 || day.month > 12) return std::nullopt;
    static constexpr int kDaysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = day.year % 4 == 0 && (day.year % 100 != 0 || day.year % 400 == 0);
    const int last = kDaysIn[day.month - 1] + (day.month == 2 && leap ? 1 : 0);
    if (day.day < 1 || day.day > last) return std::nullopt;
    return day;
}

bool Period::Contains(const Result& result) const {
    const std::int64_t day = KeyOf(result.year, result.month, result.day, 0, 0) / 10000;
    if (from && day < KeyOf(from->year, from->month, from->day, 0, 0) / 10000) return false;
    if (to && day > KeyOf(to->year, to->month, to->day, 0, 0) / 10000) return false;
    return true;
}

std::string IsoTime(const Result& result) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d", result.year, result.month,
                  result.day, result.hour, result.minute);
    return text;
}

// ---- the archive ----

// The archive's files are only ever opened by SQLite, which keeps its POSIX locks through every
// close; this code looks at them by name alone (closing a descriptor of its own would drop them).
std::unique_ptr<Archive> Archive::Open(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "no results archive named";
        return nullptr;
    }
    // Every name SQLite will use must be a regular file or nothing; a link is never followed.
    ReplaceOptions noLinks;
    noLinks.followLinks = false;
    for (const std::string suffix : {"", "-wal", "-shm", "-journal"}) {
        if (!FileReplacement::CheckTarget(path + suffix, noLinks, error)) {
            error = NotOpened(error);
            return nullptr;
        }
    }
    std::string folder;
    if (files::FolderOpenToOthers(path, folder)) {
        error = "other users may replace the files in " + Quoted(folder) +
                " (it is writable by all and not sticky); the results archive " + Quoted(path) +
                " is not kept there. Choose a folder of your own";
        return nullptr;
    }
    Names names;
    if (!names.LookAt(path, error) || names.Refuses(path, true, error)) return nullptr;
    Found found = Inspect(path, names, error);
    if (found == Found::kNothing) {
        if (!files::CreateNew(path, error)) return nullptr;
        // Made here or by another program meanwhile: looked at afresh either way.
        if (!names.LookAt(path, error) || names.Refuses(path, true, error)) return nullptr;
        found = Inspect(path, names, error);
    }
    if (found == Found::kNothing) {
        error = Quoted(path) + " vanished while it was being opened";
        return nullptr;
    }
    if (found == Found::kRefused) return nullptr;
    // An archive of ours is the user's alone; SQLite gives its companions the archive's bits.
    if (names.archive.widerThanUser) files::Tighten(path);
    for (std::size_t i = 0; i < std::size(kCompanions); ++i) {
        if (names.companions[i].widerThanUser) files::Tighten(path + kCompanions[i]);
    }

    sqlite3* db = nullptr;
    // No SQLITE_OPEN_CREATE: the file exists by now, made 0600 above.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW;
    // SQLite (built to take URIs) would read a name beginning with "file:" as a URI, naming
    // another file than the one checked: such a name is given as a path in this folder.
    const std::string name = path.rfind("file:", 0) == 0 ? "./" + path : path;
    if (sqlite3_open_v2(name.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = "cannot open the results archive " + Quoted(path) + ": " +
                (db ? std::string(sqlite3_errmsg(db)) : std::string("out of memory"));
        sqlite3_close_v2(db);
        return nullptr;
    }
    std::unique_ptr<Archive> archive(new Archive(db, path));
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);

    std::int64_t pages = 0;
    if (!QueryInt(db, "PRAGMA page_count", pages)) {
        error = Problem(db, path, "cannot read");
        return nullptr;
    }
    if (pages == 0 && !Initialize(db)) {
        error = Problem(db, path, "cannot make the results archive");
        return nullptr;
    }
    if (!Validate(db, path, error)) return nullptr;

    // Only an archive of ours gets here: now it may be written to. WAL lets readers and one
    // writer work at the same time. synchronous=FULL flushes the log at each commit: a merge
    // that returned is on the disk even through a power loss, which matters because the meter's
    // memory may be cleared right after it (NORMAL would survive only the program's death).
    if (!SwitchToWal(db)) {
        error = IsDamage(sqlite3_errcode(db)) ? DamagedText(path)
                                              : "cannot open the results archive " + Quoted(path) +
                                                    " for writing ahead: " + SqliteError(db);
        return nullptr;
    }
    if (!Exec(db, "PRAGMA synchronous = FULL")) {
        error = Problem(db, path, "cannot open the results archive");
        return nullptr;
    }
    if (!NamesStillAccepted(db, path, true, error)) return nullptr;
    // Nothing is added to an archive that is damaged somewhere (the meter may be cleared once
    // the merge has returned).
    const Check check = QuickCheck(db);
    if (check != Check::kSound) {
        error = check == Check::kDamaged ? DamagedText(path)
                                         : Problem(db, path, "cannot check the results archive");
        return nullptr;
    }
    return archive;
}

std::unique_ptr<Archive> Archive::OpenForReading(const std::string& path, std::string& error,
                                                 bool& missing) {
    missing = false;
    if (path.empty()) {
        error = "no results archive named";
        return nullptr;
    }
    Names names;
    if (!names.LookAt(path, error)) return nullptr;
    if (names.Refuses(path, false, error)) return nullptr;
    const Found found = Inspect(path, names, error);
    if (found == Found::kEmpty || found == Found::kNothing) {
        missing = true;
        return nullptr;
    }
    if (found == Found::kRefused) return nullptr;

    // Read-only, as SQLite reads a database beside others. Where no companion lies beside it
    // (no program has it open) and those SQLite would make could get in the way of the archive's
    // owner (another user's archive, or one made read-only), or where SQLite can neither make
    // nor use them (a folder or a medium this user may not write), the file alone is read: as
    // long as no log holds results that are not in the file yet, and no journal a change that
    // is only half undone.
    const files::Facts& wal = names.companions[0];
    const files::Facts& shm = names.companions[1];
    const files::Facts& journal = names.companions[2];
    const bool fileAlone = !names.WalHasContent() && !(journal.exists && journal.size > 0);
    const bool quiet = !wal.exists && !shm.exists;
    std::unique_ptr<Archive> archive;
    for (bool immutable = fileAlone && quiet && !(names.archive.mine && names.archive.writable);;
         immutable = true) {
        sqlite3* db = nullptr;
        const std::string uri = FileUri(path) + (immutable ? "?immutable=1" : "?mode=ro");
        const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW;
        if (sqlite3_open_v2(uri.c_str(), &db, flags, nullptr) != SQLITE_OK) {
            error = "cannot open the results archive " + Quoted(path) + ": " +
                    (db ? std::string(sqlite3_errmsg(db)) : std::string("out of memory"));
            sqlite3_close_v2(db);
            return nullptr;
        }
        archive.reset(new Archive(db, path));
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        // A reader never writes the archive, not even the log into it as it closes.
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        if (Validate(db, path, error)) break;
        const int code = sqlite3_errcode(db) & 0xff;
        if (immutable || (code != SQLITE_READONLY && code != SQLITE_CANTOPEN)) return nullptr;
        if (!fileAlone) {
            const std::string companion = path + (names.WalHasContent() ? "-wal" : "-journal");
            error = Quoted(companion) + " holds changes not yet written into the archive " +
                    Quoted(path) + ", and they cannot be read here (" + sqlite3_errmsg(db) +
                    "); nothing was read. Read it where its folder may be written to";
            return nullptr;
        }
    }
    if (!NamesStillAccepted(archive->db_, path, false, error)) return nullptr;
    return archive;
}

Archive::~Archive() {
    sqlite3_close_v2(db_);
}

bool Archive::Merge(const std::vector<RawRecord>& records, std::int64_t now, MergeCounts& counts,
                    std::string& error) {
    const auto fail = [&](const char* what) {
        error = Problem(db_, path_, what);
        Exec(db_, "ROLLBACK");
        return false;
    };
    // The write lock is taken at once, waiting for another writer up to the busy timeout.
    if (!Exec(db_, "BEGIN IMMEDIATE")) {
        error = Problem(db_, path_, "cannot write to the results archive");
        return false;
    }
    MergeCounts merged;
    {
        Statement insert(db_,
                         "INSERT INTO results(at, raw, archived_at) VALUES(?, ?, ?) "
                         "ON CONFLICT(at, raw) DO NOTHING");
        if (!insert) return fail("cannot write to the results archive");
        for (const RawRecord& record : records) {
            const std::optional<Result> result = ResultOfRecord(record);
            if (!result) {
                ++merged.leftOut;
                continue;
            }
            sqlite3_stmt* s = insert.get();
            sqlite3_bind_int64(s, 1, result->Key());
            sqlite3_bind_int(s, 2, result->raw);
            sqlite3_bind_int64(s, 3, now);
            if (sqlite3_step(s) != SQLITE_DONE) {
                return fail("cannot write to the results archive");
            }
            if (sqlite3_changes(db_) > 0) {
                ++merged.added;
            } else {
                ++merged.alreadyThere;
            }
            sqlite3_reset(s);
        }
    }
    if (!Exec(db_, "COMMIT")) return fail("cannot save the results in the archive");
    counts = merged;
    return true;
}

bool Archive::Read(const Period& period, std::vector<Result>& results, std::string& error) {
    Statement select(db_,
                     "SELECT at, raw, archived_at FROM results WHERE at BETWEEN ? AND ? "
                     "ORDER BY at, raw");
    if (!select) {
        error = Problem(db_, path_, "cannot read the results archive");
        return false;
    }
    // A day's results lie between its key at 00:00 and the largest time a key can have.
    const std::int64_t low =
        period.from ? KeyOf(period.from->year, period.from->month, period.from->day, 0, 0) : 0;
    const std::int64_t high =
        period.to ? KeyOf(period.to->year, period.to->month, period.to->day, 99, 99) : INT64_MAX;
    sqlite3_bind_int64(select.get(), 1, low);
    sqlite3_bind_int64(select.get(), 2, high);
    std::vector<Result> read;
    int step;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        const std::int64_t raw = sqlite3_column_int64(select.get(), 1);
        read.push_back(ResultOfKey(sqlite3_column_int64(select.get(), 0),
                                   static_cast<std::uint16_t>(raw),
                                   sqlite3_column_int64(select.get(), 2)));
    }
    if (step != SQLITE_DONE) {
        error = Problem(db_, path_, "cannot read the results archive");
        return false;
    }
    results = std::move(read);
    return true;
}

bool Archive::ReadTotals(Totals& totals, std::string& error) {
    const auto fail = [&] {
        error = Problem(db_, path_, "cannot read the results archive");
        Exec(db_, "ROLLBACK");
        return false;
    };
    // One snapshot for the three questions.
    if (!Exec(db_, "BEGIN")) return fail();
    Totals read;
    std::int64_t count = 0;
    if (!QueryInt(db_, "SELECT count(*) FROM results", count)) return fail();
    read.count = static_cast<std::size_t>(count);
    for (const bool newest : {false, true}) {
        Statement edge(db_, newest ? "SELECT at, raw, archived_at FROM results "
                                     "ORDER BY at DESC, raw DESC LIMIT 1"
                                   : "SELECT at, raw, archived_at FROM results "
                                     "ORDER BY at, raw LIMIT 1");
        if (!edge) return fail();
        const int step = sqlite3_step(edge.get());
        if (step == SQLITE_ROW) {
            const Result result =
                ResultOfKey(sqlite3_column_int64(edge.get(), 0),
                            static_cast<std::uint16_t>(sqlite3_column_int64(edge.get(), 1)),
                            sqlite3_column_int64(edge.get(), 2));
            (newest ? read.last : read.first) = result;
        } else if (step != SQLITE_DONE) {
            return fail();
        }
    }
    if (!Exec(db_, "COMMIT")) return fail();
    totals = read;
    return true;
}

// ---- where the archive lies ----

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
bool IsAbsolute(const std::string& path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    return (path.size() >= 3 && path[1] == ':' && separator(path[2])) ||
           (path.size() >= 2 && separator(path[0]) && separator(path[1]));
}
#else
constexpr char kSeparator = '/';
bool IsAbsolute(const std::string& path) {
    return !path.empty() && path[0] == '/';
}
#endif

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == kSeparator)) path.pop_back();
    return path;
}

}  // namespace

bool Locate(const std::string& explicitPath, bool simulated,
            const std::function<std::optional<std::string>(const char*)>& getenv,
            Location& location, std::string& error) {
    location = {};
    if (!explicitPath.empty()) {
        location.path = explicitPath;
        return true;
    }
    if (!simulated) {
        const std::optional<std::string> named = getenv("TAVEX_ARCHIVE");
        if (named && !named->empty()) {
            location.path = *named;
            return true;
        }
    }
    std::string folder;
#ifdef _WIN32
    const std::optional<std::string> local = getenv("LOCALAPPDATA");
    if (!local || !IsAbsolute(*local)) {
        error = "no folder for the results archive: LOCALAPPDATA is not set to a full path";
        return false;
    }
    folder = WithoutTrailingSeparators(*local) + "\\Tavex";
#else
    // XDG_DATA_HOME counts only as a full path, as the base directory rules say.
    const std::optional<std::string> data = getenv("XDG_DATA_HOME");
    if (data && IsAbsolute(*data)) {
        folder = WithoutTrailingSeparators(*data);
    } else {
        const std::optional<std::string> home = getenv("HOME");
        if (!home || !IsAbsolute(*home)) {
            error =
                "no folder for the results archive: neither XDG_DATA_HOME nor HOME is set to "
                "a full path";
            return false;
        }
        folder = WithoutTrailingSeparators(*home) + "/.local/share";
    }
    if (folder == "/") folder.clear();
    folder += "/tavex";
#endif
    location.folderToMake = folder;
    location.path = folder + kSeparator + (simulated ? "demo-archive.sqlite" : "archive.sqlite");
    return true;
}

std::optional<std::string> SystemEnvironment(const char* name) {
#ifdef _WIN32
    const wchar_t* value = ::_wgetenv(Widen(name).c_str());
    if (value == nullptr) return std::nullopt;
    std::string text;
    if (!Narrow(value, text)) return std::nullopt;
    return text;
#else
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
#endif
}

namespace {

// Makes folder and the folders above it that are missing, each 0700 (only the user's: the
// archive tells when someone was at home); a folder already there is left as it is.
bool MakeFolders(const std::string& folder, std::string& error) {
#ifdef _WIN32
    std::error_code failure;
    const std::filesystem::path wide(Widen(folder));
    std::filesystem::create_directories(wide, failure);
    if (failure || !std::filesystem::is_directory(wide, failure)) {
        error = "cannot make the folder " + Quoted(folder) + " for the results archive" +
                (failure ? ": " + failure.message() : std::string());
        return false;
    }
    return true;
#else
    for (std::size_t end = 1; end <= folder.size(); ++end) {
        if (end < folder.size() && folder[end] != '/') continue;
        const std::string part = folder.substr(0, end);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make the folder " + Quoted(part) +
                    " for the results archive: " + std::strerror(errno);
            return false;
        }
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = Quoted(folder) + " is not a folder; the results archive cannot be kept in it";
        return false;
    }
    return true;
#endif
}

}  // namespace

std::unique_ptr<Archive> OpenLocated(const Location& location, std::string& error) {
    if (!location.folderToMake.empty() && !MakeFolders(location.folderToMake, error)) {
        return nullptr;
    }
    return Archive::Open(location.path, error);
}

}  // namespace tavex::archive
