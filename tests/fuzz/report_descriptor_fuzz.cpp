// HID report descriptors as a device may send them: any bytes at all. The parser must neither
// read past the end nor overflow on its way to an answer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "instrument/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A block of exactly the input's size, so that a read past the end is caught.
    auto copy = std::make_unique<std::uint8_t[]>(size);
    if (size != 0) std::memcpy(copy.get(), data, size);
    (void)tavex::ParseReportLengths(copy.get(), size);
    return 0;
}
