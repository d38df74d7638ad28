#pragma once

#include <algorithm>
#include <cstdint>

#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"

namespace tavex::bench {

// The demo memory's settings with every slot of the ring holding a valid result, the newest in
// slot 700, one an hour.
inline sim::MemoryImage FullRing() {
    sim::MemoryImage image = sim::DemoMemoryImage();
    constexpr std::uint32_t kNewest = 700;
    std::uint32_t slot = kNewest;
    for (std::uint32_t age = 0; age < memory::kSlotCount; ++age) {
        memory::StoredRecord record;
        record.raw = static_cast<std::uint16_t>(3 + (age * 37) % 600);
        record.minutes = static_cast<std::uint8_t>((age * 7) % 60);
        record.hours = static_cast<std::uint8_t>(23 - age % 24);
        record.day = static_cast<std::uint8_t>(28 - (age / 24) % 28);
        record.month = static_cast<std::uint8_t>(12 - (age / 672) % 12);
        record.year = 26;
        const auto bytes = memory::EncodeRecord(record);
        std::copy(bytes.begin(), bytes.end(), image.begin() + memory::SlotAddress(slot));
        slot = memory::PreviousSlot(slot);
    }
    const auto header = memory::EncodeHeader({kNewest, memory::kSlotCount});
    std::copy(header.begin(), header.end(), image.begin() + memory::kHeaderAddress);
    return image;
}

}  // namespace tavex::bench
