#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "instrument/hid_platform.h"

namespace tavex {

// The HID platform over hidapi's hidraw backend (Linux); the report descriptors are read from
// <hidrawClassDir>/<node>/device.
std::shared_ptr<HidPlatform> MakeHidapiPlatform(
    const std::string& hidrawClassDir = "/sys/class/hidraw");

// Parts of the platform that tests reach directly.
// Interface paths in natural order (hidraw2 before hidraw10), each once.
std::vector<std::string> SortInterfacePaths(std::vector<std::string> paths);
// The report lengths of a hidraw device, from <hidrawClassDir>/<node>/device/report_descriptor.
std::optional<HidReportLengths> ReadReportLengthsFromSysfs(const std::string& hidrawClassDir,
                                                           const std::string& devicePath);

}  // namespace tavex
