#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "instrument/hid_platform.h"

namespace tavex {

// Computes the input, output and feature report lengths that a HID report descriptor defines:
// for each kind, the largest report over all report IDs, in bytes, plus the report-ID byte
// (which is counted even when the descriptor uses no report IDs); 0 when the kind has no
// report. nullopt for a descriptor that cannot be parsed (truncated item, Pop without Push).
std::optional<HidReportLengths> ParseReportLengths(const std::uint8_t* descriptor,
                                                   std::size_t size);

}  // namespace tavex
