#include "instrument/sim/memory_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tavex::sim {

namespace {

std::string OsError(int error) {
    return std::strerror(error);
}

// Closes the descriptor and removes the temporary file unless the save went through.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        Close();
        if (!path.empty()) ::unlink(path.c_str());
    }
    bool Close() {
        if (fd < 0) return true;
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }
    void Keep() { path.clear(); }

    int fd = -1;
    std::string path;
};

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// --- demo memory ---

// Indoor radon over a day, Bq/m3 at each hour: it builds up at night behind closed windows and
// is lowest in the afternoon.
constexpr int kHourProfile[24] = {150, 165, 175, 185, 190, 192, 188, 175, 155, 130, 110, 95,
                                  85,  78,  72,  70,  72,  78,  88,  100, 112, 125, 135, 143};

// Day-to-day level in percent (weather, airing), by the day's offset from the first day shown:
// a still, cold spell in the middle and an aired-out room after it.
constexpr int kDayLevel[12] = {95, 110, 125, 150, 170, 135, 60, 35, 80, 115, 130, 105};

constexpr std::uint32_t kDemoCount = 250;
constexpr std::uint16_t kDemoPointer = 120;

// The newest demo result was taken at 2026-12-01 08:00.
constexpr std::chrono::sys_days kNewestDay =
    std::chrono::year{2026} / std::chrono::December / std::chrono::day{1};
constexpr std::chrono::hours kNewestHour{8};

}  // namespace

bool LoadMemoryImage(const std::string& path, MemoryImage& image, std::string& error) {
    if (path.empty()) {
        error = "no memory image file named";
        return false;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = "cannot open memory image " + path + ": " + OsError(errno);
        return false;
    }
    struct stat info {};
    MemoryImage loaded{};
    std::size_t got = 0;
    int readError = 0;
    bool tooLong = false;
    if (::fstat(fd, &info) != 0) {
        readError = errno;
    } else if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        error = "memory image " + path + " is not a regular file";
        return false;
    } else if (info.st_size != static_cast<off_t>(loaded.size())) {
        ::close(fd);
        error = "memory image " + path + " is " + std::to_string(info.st_size) +
                " bytes; a memory image is exactly " + std::to_string(loaded.size()) + " bytes";
        return false;
    } else {
        // The size is read again, not trusted from fstat: the file may change under us.
        while (got < loaded.size()) {
            const ssize_t n = ::read(fd, loaded.data() + got, loaded.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                readError = errno;
                break;
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (readError == 0 && got == loaded.size()) {
            std::uint8_t extra;
            ssize_t n;
            do {
                n = ::read(fd, &extra, 1);
            } while (n < 0 && errno == EINTR);
            if (n < 0) readError = errno;
            tooLong = n > 0;
        }
    }
    ::close(fd);
    if (readError != 0) {
        error = "cannot read memory image " + path + ": " + OsError(readError);
        return false;
    }
    if (got != loaded.size() || tooLong) {
        error = "memory image " + path +
                " changed size while it was read; a memory image is exactly " +
                std::to_string(loaded.size()) + " bytes";
        return false;
    }
    image = loaded;
    return true;
}

bool SaveMemoryImage(const std::string& path, const MemoryImage& image, std::string& error) {
    if (path.empty() || path.back() == '/') {
        error = "not a file name for a memory image: \"" + path + "\"";
        return false;
    }
    // A unique name beside the target, so that the final rename stays within one file system.
    static std::atomic<std::uint64_t> counter{0};
    TemporaryFile temp;
    for (int attempt = 0; attempt < 100 && temp.fd < 0; ++attempt) {
        const std::string candidate = path + ".tmp-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(counter.fetch_add(1));
        do {
            temp.fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (temp.fd < 0 && errno == EINTR);
        if (temp.fd >= 0) {
            temp.path = candidate;
        } else if (errno != EEXIST) {
            error = "cannot save memory image " + path + ": cannot create a file in " +
                    DirectoryOf(path) + ": " + OsError(errno);
            return false;
        }
    }
    if (temp.fd < 0) {
        error = "cannot save memory image " + path + ": no free temporary file name beside it";
        return false;
    }
    if (!WriteAll(temp.fd, image.data(), image.size())) {
        error = "cannot save memory image " + path + ": writing failed: " + OsError(errno);
        return false;
    }
    if (::fsync(temp.fd) != 0) {
        error = "cannot save memory image " + path + ": flushing to disk failed: " + OsError(errno);
        return false;
    }
    if (!temp.Close()) {
        error = "cannot save memory image " + path + ": closing failed: " + OsError(errno);
        return false;
    }
    if (::rename(temp.path.c_str(), path.c_str()) != 0) {
        error = "cannot save memory image " + path + ": " + OsError(errno);
        return false;
    }
    temp.Keep();
    // Make the rename itself durable; the image is complete either way, so this is best effort.
    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

MemoryImage DemoMemoryImage() {
    using namespace std::chrono;
    MemoryImage image{};
    image[memory::kLanguageAddress] = 1;  // English
    image[memory::kUnitAddress] = 0;      // Bq/m3

    const auto header =
        memory::EncodeHeader({kDemoPointer, static_cast<std::uint16_t>(kDemoCount)});
    std::copy(header.begin(), header.end(), image.begin() + memory::kHeaderAddress);

    const sys_time<hours> newest = kNewestDay + kNewestHour;
    const sys_days firstDay = floor<days>(newest - hours{kDemoCount - 1});
    // A fixed linear congruential sequence gives the hour-to-hour wobble: the same bytes every
    // time, on every machine.
    std::uint32_t state = 0x7A5E1u;
    // Oldest first, so that the wobble follows time; slots are counted back from the newest.
    for (std::uint32_t age = kDemoCount; age-- > 0;) {
        const sys_time<hours> taken = newest - hours{age};
        const sys_days day = floor<days>(taken);
        const year_month_day date{day};
        const int hour = static_cast<int>((taken - day).count());
        const auto dayIndex = static_cast<std::size_t>((day - firstDay).count());

        state = state * 1664525u + 1013904223u;
        const int wobble = static_cast<int>((state >> 16) % 25) - 12;  // -12..+12 percent
        // Bq/m3 times 10^4; raw = round(Bq / 8.5) in integers.
        const std::int64_t scaled =
            std::int64_t{kHourProfile[hour]} * kDayLevel[dayIndex % 12] * (100 + wobble);
        std::int64_t raw = (2 * scaled + 85000) / 170000;
        raw = std::clamp<std::int64_t>(raw, 3, 47);  // 25.5 .. 399.5 Bq/m3

        memory::StoredRecord record;
        record.raw = static_cast<std::uint16_t>(raw);
        record.minutes = 0;
        record.hours = static_cast<std::uint8_t>(hour);
        record.day = static_cast<std::uint8_t>(static_cast<unsigned>(date.day()));
        record.month = static_cast<std::uint8_t>(static_cast<unsigned>(date.month()));
        record.year = static_cast<std::uint8_t>(static_cast<int>(date.year()) % 100);
        // Three results damaged on purpose, counted from the newest (the newest is the 1st).
        if (age == 57) record.hours = 24;
        if (age == 132) record.month = 13;
        auto bytes = memory::EncodeRecord(record);
        if (age == 16) bytes[7] ^= 0x5A;

        // Counting back from the pointer, slot 1 is followed by slot 1010.
        const std::uint32_t back = age % memory::kSlotCount;
        const std::uint32_t recordSlot =
            (kDemoPointer - 1 + memory::kSlotCount - back) % memory::kSlotCount + 1;
        std::copy(bytes.begin(), bytes.end(), image.begin() + memory::SlotAddress(recordSlot));
    }
    return image;
}

}  // namespace tavex::sim
