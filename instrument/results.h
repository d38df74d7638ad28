#pragma once

#include <array>
#include <cstdint>

namespace tavex {

// What a stored record means, the same for every export and the archive.

// A stored record's eight bytes as the meter sent them.
using RawRecord = std::array<std::uint8_t, 8>;

// A stored record counts only when its check byte matches and its time and date can be shown
// (hours 0-23, minutes 0-60, day 1-31 whatever the month, month 1-12).
bool IsRecordValid(const std::uint8_t* record);

// A value in the meter's unit: an integer part and a tenths digit, or beyond the range.
// Bq/m3: whole numbers from 50 (lower values show as 50) to 10000; pCi/l: 1.4 to 270.
struct ConvertedValue {
    bool overRange = false;
    int integer = 0;
    int tenths = 0;
    bool operator==(const ConvertedValue&) const = default;
};
// unit 0 Bq/m3, 1 pCi/l.
ConvertedValue ConvertValue(std::uint16_t raw, std::uint8_t unit);
// Below the lower limit of the Bq/m3 scale (shown as 50).
bool IsBelowLimit(std::uint16_t raw);

}  // namespace tavex
