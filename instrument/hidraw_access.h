#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tavex {

// A meter on the bus that this user may not open (no udev rule, or not in its group): hidapi
// only fails to open it, so the front ends look for it themselves to say why there is no meter.
struct BlockedMeter {
    // The meter's node, "/dev/hidraw3" (under the device folder that was searched).
    std::string node;
    // The kernel's name of the HID device behind the node, "0003:03EB:5603.000A". Its number
    // grows with every plug, so a meter plugged in again under the same node is told apart.
    std::string device;

    bool operator==(const BlockedMeter&) const = default;
};

// Opens path for reading and writing as the HID library would, and closes it again: 0 when it
// opens, else the errno of the failed open.
int HidrawOpenError(const std::string& path);

// Looks through <sysRoot>/class/hidraw/hidrawN for a device with the meter's USB ID (its uevent's
// HID_ID) whose node <devRoot>/hidrawN fails to open with EACCES or EPERM; openError stands for
// the open. The first such node in numeric order; nullopt when there is none. Always nullopt on
// Windows, where no permission keeps a user from the meter.
std::optional<BlockedMeter> FindBlockedMeter(
    const std::string& sysRoot = "/sys", const std::string& devRoot = "/dev",
    const std::function<int(const std::string&)>& openError = HidrawOpenError);

}  // namespace tavex
