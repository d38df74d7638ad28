#include "instrument/report_descriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace tavex {
namespace {

// Item prefixes with the size bits masked off.
constexpr std::uint8_t kInput = 0x80;
constexpr std::uint8_t kOutput = 0x90;
constexpr std::uint8_t kFeature = 0xB0;
constexpr std::uint8_t kReportSize = 0x74;
constexpr std::uint8_t kReportId = 0x84;
constexpr std::uint8_t kReportCount = 0x94;
constexpr std::uint8_t kPush = 0xA4;
constexpr std::uint8_t kPop = 0xB4;
constexpr std::uint8_t kLongItem = 0xFE;

// Real devices nest a handful of Pushes; the cap keeps hostile input from growing the stack
// without bound.
constexpr std::size_t kMaxPushDepth = 64;
// The longest report whose length, with its ID byte, still fits the 16-bit result.
constexpr std::uint64_t kMaxReportBits = (0xFFFFull - 1) * 8;

struct Globals {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;  // 0: the descriptor has not named one
};

// Bits per report ID, for one kind of report.
struct ReportKind {
    std::array<std::uint64_t, 256> bits{};
    std::array<bool, 256> present{};

    std::uint16_t Length() const {
        std::uint64_t longest = 0;
        bool any = false;
        for (std::size_t id = 0; id < bits.size(); ++id) {
            if (!present[id]) continue;
            any = true;
            longest = std::max(longest, (bits[id] + 7) / 8);
        }
        return any ? static_cast<std::uint16_t>(longest + 1) : 0;
    }
};

}  // namespace

std::optional<HidReportLengths> ParseReportLengths(const std::uint8_t* descriptor,
                                                   std::size_t size) {
    if (descriptor == nullptr && size != 0) return std::nullopt;

    Globals globals;
    std::vector<Globals> stack;
    ReportKind input, output, feature;

    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t prefix = descriptor[pos];
        const std::size_t left = size - pos - 1;

        if (prefix == kLongItem) {
            // Long items carry nothing this parser needs; only their length matters.
            if (left < 2) return std::nullopt;
            const std::size_t dataSize = descriptor[pos + 1];
            if (left - 2 < dataSize) return std::nullopt;
            pos += 3 + dataSize;
            continue;
        }

        const std::size_t dataSize = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
        if (left < dataSize) return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < dataSize; ++i) {
            value |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        }
        pos += 1 + dataSize;

        ReportKind* kind = nullptr;
        switch (prefix & 0xFC) {
            case kReportSize:
                globals.reportSize = value;
                break;
            case kReportCount:
                globals.reportCount = value;
                break;
            case kReportId:
                // ID 0 is reserved for "no report IDs" and IDs are one byte on the wire.
                if (value == 0 || value > 255) return std::nullopt;
                globals.reportId = value;
                break;
            case kPush:
                if (stack.size() >= kMaxPushDepth) return std::nullopt;
                stack.push_back(globals);
                break;
            case kPop:
                if (stack.empty()) return std::nullopt;
                globals = stack.back();
                stack.pop_back();
                break;
            case kInput:
                kind = &input;
                break;
            case kOutput:
                kind = &output;
                break;
            case kFeature:
                kind = &feature;
                break;
            default:
                break;
        }

        if (kind != nullptr) {
            // Both factors are below 2^32, so the product cannot wrap in 64 bits; the running
            // total is checked before it can grow past the cap.
            const std::uint64_t added =
                static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
            std::uint64_t& bits = kind->bits[globals.reportId];
            if (added > kMaxReportBits - bits) return std::nullopt;
            bits += added;
            kind->present[globals.reportId] = true;
        }
    }

    return HidReportLengths{input.Length(), output.Length(), feature.Length()};
}

}  // namespace tavex
