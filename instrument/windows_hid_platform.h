#pragma once

#include <memory>
#include <string>

#include "instrument/hid_platform.h"

namespace tavex {

// The HID platform over the system's HID support (Windows): hid.dll loaded at run time,
// SetupAPI for the list of present HID interfaces, and a named mutex per device as its lock.
// Paths are UTF-8.
std::shared_ptr<HidPlatform> MakeWindowsHidPlatform();

// Parts of the platform that tests reach directly.
// The name of the mutex that locks the device at path: the same for every program and every
// logged-in user, one per device path.
std::wstring DeviceLockName(const std::string& path);
// The lock over the mutex of that name; null when it cannot be created or opened.
std::unique_ptr<HidDeviceLock> OpenNamedDeviceLock(const std::wstring& name);

}  // namespace tavex
