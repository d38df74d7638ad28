#pragma once

#include <functional>
#include <memory>

#include "instrument/hid_platform.h"

class QWidget;

namespace tavex {

class TForm1;

// Runs the panel program over the given HID platform: creates Form1, Form2 and Form4 in that
// order, runs the message loop, and waits for the exchange threads at the end. extra, when
// given, is called once the windows exist (the demo adds its simulator window there). simulated:
// the platform is the simulated meter, whose results go into the demo archive, never the real one.
int RunPanelProgram(int& argc, char** argv, std::shared_ptr<HidPlatform> platform,
                    const std::function<void(TForm1&)>& extra = nullptr, bool simulated = false);

}  // namespace tavex
