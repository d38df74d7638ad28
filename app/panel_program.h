#pragma once

#include <QTimer>
#include <functional>
#include <memory>

#include "app/tavex_m.h"
#include "instrument/hid_platform.h"

namespace tavex {

// The panel, its menu and the exchange form, wired as the program runs them: the exchange
// form's poll timer on the GUI thread, the panel attached to both. Needs the application object.
class PanelWindows {
public:
    PanelWindows(PanelServices services, std::shared_ptr<HidPlatform> platform);
    // Stops polling, closes the windows and waits for the exchange threads.
    ~PanelWindows();
    PanelWindows(const PanelWindows&) = delete;
    PanelWindows& operator=(const PanelWindows&) = delete;

    // Starts the first poll at once, while the panel comes up, and shows the panel.
    void Show();

    TForm1& Form1() { return *form1_; }
    TForm2& Form2() { return *form2_; }
    TForm4& Form4() { return *form4_; }

private:
    std::unique_ptr<TForm1> form1_;
    std::shared_ptr<TForm2> form2_;
    QTimer pollTimer_;
    std::unique_ptr<TForm4> form4_;
};

// Runs the panel program over the given HID platform: creates Form1, Form2 and Form4 in that
// order, runs the message loop, and waits for the exchange threads at the end. extra, when
// given, is called once the windows exist (the demo adds its simulator window there). simulated:
// the platform is the simulated meter, whose results go into the demo archive, never the real one.
int RunPanelProgram(int& argc, char** argv, std::shared_ptr<HidPlatform> platform,
                    const std::function<void(TForm1&)>& extra = nullptr, bool simulated = false);

}  // namespace tavex
