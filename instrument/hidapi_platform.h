#pragma once

#include <memory>

#include "instrument/hid_platform.h"

namespace tavex {

// The HID platform over hidapi's hidraw backend (Linux).
std::shared_ptr<HidPlatform> MakeHidapiPlatform();

}  // namespace tavex
