#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "instrument/memory_map.h"

namespace tavex::sim {

// The meter's data memory, addresses 0..8191; also the layout of a memory image file.
using MemoryImage = std::array<std::uint8_t, memory::kMemorySize>;

// Loads a memory image file of exactly 8192 bytes. On failure returns false and says why in
// error (a missing file, a file of another size).
bool LoadMemoryImage(const std::string& path, MemoryImage& image, std::string& error);
// Writes the image to path via a temporary file beside it, so a failure never leaves a half
// written image. On failure returns false and says why.
bool SaveMemoryImage(const std::string& path, const MemoryImage& image, std::string& error);

// The built-in demo memory: 250 stored results with the record pointer at slot 120 (the ring
// wraps past slot 1010), the newest taken at 2026-12-01 08:00 and each older one an hour
// earlier, indoor radon values with a daily rhythm between about 20 and 400 Bq/m3; language
// English, unit Bq/m3. The 17th, 58th and 133rd results counted from the newest are damaged: a
// wrong check byte, hours 24, month 13.
MemoryImage DemoMemoryImage();

}  // namespace tavex::sim
