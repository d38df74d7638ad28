#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QTimer;

namespace tavex {

// The demo's simulator: plug and unplug the simulated meter, switch its language and unit,
// refill or load its stored results, set a latency per report, and hold the meter as another
// program would (on a shared bus). The panel reads language, unit and results when the meter
// connects, so a change made while the meter is plugged in unplugs it and plugs it in again.
// The window never keeps the demo running once the panel is closed.
class SimulatorWindow : public QWidget {
public:
    SimulatorWindow(std::shared_ptr<sim::SimBus> bus, std::shared_ptr<sim::SimMeter> meter,
                    QWidget* parent = nullptr);

    // True once the panel shows that the meter is gone; a reconnection plugs the meter in again
    // only then (or after a few seconds, when the panel never says so).
    void SetPanelSawLoss(std::function<bool()> sawLoss);

    // Shows how many results the meter stores now; also runs twice a second.
    void ShowStatus();
    // One step of a reconnection (every 100 ms while one runs): the meter goes back in once the
    // panel has seen it go.
    void ReplugStep();
    bool Reconnecting() const { return reconnecting_; }

private:
    void SetPlugged(bool plugged);
    void SetHeld(bool held);
    // After a change the panel reads only on connecting.
    void Reconnect();
    void ShowPlugged(bool plugged);

    std::shared_ptr<sim::SimBus> bus_;
    std::shared_ptr<sim::SimMeter> meter_;
    std::function<bool()> panelSawLoss_;
    QCheckBox* plugged_;
    QCheckBox* held_;
    std::unique_ptr<HidDeviceLock> holder_;
    QComboBox* language_;
    QComboBox* unit_;
    QLabel* status_;
    QLabel* note_;
    QTimer* replug_;
    bool reconnecting_ = false;
    int replugSteps_ = 0;
};

}  // namespace tavex
