// Memory image files as a user may hand them to the simulated meter: any bytes, any length.
// An image that loads is then put into a simulated meter, and the header and the stored records
// are read through the exchange form as the export reads them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "instrument/memory_map.h"
#include "instrument/platform_thread.h"
#include "instrument/protokol.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace tavex;

// The image file of each input, in a folder of this process's own.
std::string g_directory;
std::string g_file;

void RemoveDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(g_directory, ignored);
}

void WriteFile(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        FUZZ_CHECK(n > 0);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(::close(fd) == 0);
}

// The slot k places before the given one in the ring (slot 1010 comes before slot 1).
std::uint32_t SlotBefore(std::uint32_t slot, std::uint32_t k) {
    return (slot - 1 + memory::kSlotCount - k % memory::kSlotCount) % memory::kSlotCount + 1;
}

// Connects to a simulated meter holding the image; checks the header the connection read and
// reads the records it counts, newest chunk first, each chunk oldest first.
void ReadThroughExchange(const sim::MemoryImage& image) {
    auto bus = std::make_shared<sim::SimBus>();
    bus->Plug(std::make_shared<sim::SimMeter>(image));
    auto form = TForm2::Create(bus);
    form->FormCreate();
    form->Timer1Timer();
    FUZZ_CHECK(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    FUZZ_CHECK(form->connected.load() == 1);

    const auto header = memory::DecodeHeader(image.data() + memory::kHeaderAddress);
    const bool usable = header && header->recordPointer <= memory::kSlotCount;
    if (form->headerStatus.load() != kHeaderValid) {
        FUZZ_CHECK(!usable || form->recordCapacity.load() == 0);
        return;
    }
    FUZZ_CHECK(usable);
    FUZZ_CHECK(form->recordPointer.load() == header->recordPointer);
    FUZZ_CHECK(form->recordCount.load() == header->recordCount);

    constexpr unsigned kChunk = 105;
    std::vector<std::uint8_t> buffer(memory::kRecordSize * kChunk);
    std::uint32_t newest = std::max<std::uint32_t>(header->recordPointer, 1);
    for (std::uint32_t left = std::min<std::uint32_t>(header->recordCount, memory::kSlotCount);
         left > 0;) {
        const unsigned n = std::min<std::uint32_t>(left, kChunk);
        FUZZ_CHECK(form->ReadRecords(buffer.data(), n));
        form->WaitWhileBusy();
        FUZZ_CHECK(form->LastCommandSucceeded());
        for (unsigned i = 0; i < n; ++i) {
            const std::uint32_t slot = SlotBefore(newest, n - 1 - i);
            FUZZ_CHECK(std::equal(buffer.begin() + memory::kRecordSize * i,
                                  buffer.begin() + memory::kRecordSize * (i + 1),
                                  image.begin() + memory::SlotAddress(slot)));
        }
        newest = SlotBefore(newest, n);
        left -= n;
    }
    FUZZ_CHECK(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    // Every exchange thread gone, not only its work: a thread still leaving holds the C
    // library's record of its thread-local objects, which the leak check would count.
    FUZZ_CHECK(WaitForDetachedThreadsToEnd(std::chrono::seconds(10)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavex-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    g_directory = pattern;
    g_file = g_directory + "/image.bin";
    std::atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WriteFile(data, size);
    sim::MemoryImage image{};
    std::string error;
    const bool loaded = sim::LoadMemoryImage(g_file, image, error);
    // Exactly the images of the right size load, byte for byte; any other says why it did not.
    FUZZ_CHECK(loaded == (size == image.size()));
    if (!loaded) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(std::equal(image.begin(), image.end(), data));
    ReadThroughExchange(image);
    return 0;
}
