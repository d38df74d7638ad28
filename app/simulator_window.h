#pragma once

#include <QWidget>
#include <memory>

#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

class QCheckBox;
class QComboBox;
class QLabel;

namespace tavex {

// The demo's simulator: plug and unplug the simulated meter, switch its language and unit,
// refill or load its stored results, set a latency per report, and hold the meter as another
// program would (on a shared bus).
class SimulatorWindow : public QWidget {
public:
    SimulatorWindow(std::shared_ptr<sim::SimBus> bus, std::shared_ptr<sim::SimMeter> meter,
                    QWidget* parent = nullptr);

private:
    void SetPlugged(bool plugged);
    void SetHeld(bool held);
    void ShowStatus();

    std::shared_ptr<sim::SimBus> bus_;
    std::shared_ptr<sim::SimMeter> meter_;
    QCheckBox* plugged_;
    QCheckBox* held_;
    std::unique_ptr<HidDeviceLock> holder_;
    QComboBox* language_;
    QComboBox* unit_;
    QLabel* status_;
};

}  // namespace tavex
