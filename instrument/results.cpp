#include "instrument/results.h"

#include <algorithm>

#include "instrument/memory_map.h"

namespace tavex {

bool IsRecordValid(const std::uint8_t* record) {
    const memory::StoredRecord r = memory::DecodeRecord(record);
    return memory::RecordCheckMatches(record) && r.hours <= 23 && r.minutes <= 60 && r.day >= 1 &&
           r.day <= 31 && r.month >= 1 && r.month <= 12;
}

// raw x 8.5 is a whole or half number of Bq/m3, so both units are worked out exactly in
// integers: twice the value in Bq/m3 is raw x 17. One pCi/l is 37 Bq/m3.
ConvertedValue ConvertValue(std::uint16_t raw, std::uint8_t unit) {
    const std::int64_t twiceBq = std::int64_t{raw} * 17;
    ConvertedValue value;
    if (unit != 1) {
        if (twiceBq < 100) {
            value.integer = 50;
        } else if (twiceBq > 20000) {
            value.overRange = true;
        } else {
            value.integer = static_cast<int>(std::max<std::int64_t>((twiceBq + 1) / 2, 50));
        }
        return value;
    }
    // g = twiceBq / 74 pCi/l; below 1.4 it shows as 1,4, above 270 as over the range.
    if (twiceBq * 10 < 14 * 74) {
        value.integer = 1;
        value.tenths = 4;
        return value;
    }
    if (twiceBq > 270 * 74) {
        value.overRange = true;
        return value;
    }
    // Hundredths, truncated; the hundredths digit rounds the tenths half up.
    const std::int64_t hundredths = twiceBq * 100 / 74;
    std::int64_t tenths = hundredths / 10;
    if (hundredths % 10 >= 5) ++tenths;
    value.integer = static_cast<int>(tenths / 10);
    value.tenths = static_cast<int>(tenths % 10);
    return value;
}

bool IsBelowLimit(std::uint16_t raw) {
    return std::int64_t{raw} * 17 < 100;
}

}  // namespace tavex
