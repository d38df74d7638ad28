#include "instrument/hidraw_access.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "instrument/usb.h"
#endif

namespace tavex {

#ifdef _WIN32

int HidrawOpenError(const std::string&) {
    return 0;
}

std::optional<BlockedMeter> FindBlockedMeter(const std::string&, const std::string&,
                                             const std::function<int(const std::string&)>&) {
    return std::nullopt;
}

#else

namespace {

// A uevent is a few hundred bytes; a longer file is not one.
constexpr std::size_t kMaxUevent = 16 * 1024;
constexpr std::uint32_t kUsbBus = 0x0003;

// The N of "hidrawN"; nullopt for any other name.
std::optional<unsigned> HidrawNumber(const std::string& name) {
    constexpr std::string_view kPrefix = "hidraw";
    if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) {
        return std::nullopt;
    }
    unsigned number = 0;
    const char* first = name.data() + kPrefix.size();
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last) return std::nullopt;
    return number;
}

// One hexadecimal field of HID_ID: one to eight digits, nothing else.
std::optional<std::uint32_t> HexField(std::string_view text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Whether the uevent's HID_ID (bus:vendor:product, as "0003:000003EB:00005603") is the meter's
// on USB.
bool IsMeterUevent(const std::filesystem::path& uevent) {
    std::ifstream file(uevent, std::ios::binary);
    if (!file) return false;
    std::string text(kMaxUevent + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad()) return false;
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > kMaxUevent) return false;

    constexpr std::string_view kKey = "HID_ID=";
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t lineEnd = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, lineEnd);
        rest.remove_prefix(std::min(lineEnd + 1, rest.size()));
        if (line.substr(0, kKey.size()) != kKey) continue;
        std::string_view value = line.substr(kKey.size());
        const std::size_t first = value.find(':');
        const std::size_t second = value.find(':', first == std::string_view::npos ? 0 : first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) return false;
        const auto bus = HexField(value.substr(0, first));
        const auto vendor = HexField(value.substr(first + 1, second - first - 1));
        const auto product = HexField(value.substr(second + 1));
        return bus && vendor && product && *bus == kUsbBus && *vendor == kMeterVendorId &&
               *product == kMeterProductId;
    }
    return false;
}

std::optional<BlockedMeter> FindBlocked(const std::string& sysRoot, const std::string& devRoot,
                                        const std::function<int(const std::string&)>& openError) {
    namespace fs = std::filesystem;
    const fs::path classFolder = fs::path(sysRoot) / "class" / "hidraw";
    std::error_code error;
    std::vector<std::pair<unsigned, std::string>> nodes;
    for (fs::directory_iterator it(classFolder, error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (const auto number = HidrawNumber(name)) nodes.emplace_back(*number, std::move(name));
    }
    std::sort(nodes.begin(), nodes.end());
    for (const auto& [number, name] : nodes) {
        const fs::path device = classFolder / name / "device";
        if (!IsMeterUevent(device / "uevent")) continue;
        const std::string node = (fs::path(devRoot) / name).string();
        const int openErrno = openError(node);
        if (openErrno != EACCES && openErrno != EPERM) continue;
        // "device" links to the HID device, whose name carries its plug's number.
        std::error_code ignored;
        const fs::path target = fs::canonical(device, ignored);
        return BlockedMeter{node, ignored ? std::string() : target.filename().string()};
    }
    return std::nullopt;
}

}  // namespace

int HidrawOpenError(const std::string& path) {
    // O_NOCTTY: whatever sits at the path must not become this process's terminal.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

std::optional<BlockedMeter> FindBlockedMeter(
    const std::string& sysRoot, const std::string& devRoot,
    const std::function<int(const std::string&)>& openError) {
    try {
        return FindBlocked(sysRoot, devRoot, openError ? openError : HidrawOpenError);
    } catch (...) {
        return std::nullopt;
    }
}

#endif

}  // namespace tavex
