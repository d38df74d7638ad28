#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

// A stand-in for the hidapi library, linked into a test in its place: the hid_* functions the
// program calls, over scripted devices that answer as hidraw does. Single-threaded. A device
// is found by its path, or by any other name of the node at that path.
namespace tavex::hidapi_stand_in {

struct Device {
    std::string path;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    // What the device sends for each feature fetch in turn, as it goes on the wire: for a
    // numbered report the report number comes first; nullopt stalls the transfer (an error).
    // With nothing left to send a fetch fails too.
    std::deque<std::optional<std::vector<std::uint8_t>>> replies;
    // Feature reports sent to the device, as they were passed in.
    std::vector<std::vector<std::uint8_t>> sent;
    // How many bytes of a feature report sent the device takes.
    std::size_t takes = std::numeric_limits<std::size_t>::max();
    // Unplugged: the node is gone, and every call on a handle of it fails.
    bool gone = false;
    // When set, each report sent (S) and fetched (G) is appended to it as "<pid> S|G", so that
    // programs sharing one node show in what order they used it.
    int logFd = -1;
};

struct Counts {
    int init = 0;
    int exit = 0;
    int openHandles = 0;
    int liveEnumerations = 0;  // lists handed out and not yet freed
    int featureCalls = 0;      // feature reports sent and fetched
};

// No devices, counts at 0, enumeration working.
void Reset();
// A device at the end of the enumeration order. The same path may come more than once, as
// hidapi lists an interface once per top-level collection. The reference stays valid until
// Reset.
Device& Add(std::string path, std::uint16_t vendor, std::uint16_t product);
// The enumeration fails outright (not for want of devices).
void SetEnumerationFails(bool fails);
Counts GetCounts();

}  // namespace tavex::hidapi_stand_in
