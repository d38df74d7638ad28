#include <QObject>
#include <algorithm>

#include "app/panel_program.h"
#include "app/simulator_window.h"
#include "app/tavex_m.h"
#include "instrument/sim/memory_image.h"

int main(int argc, char** argv) {
    auto bus = std::make_shared<tavex::sim::SimBus>();
    // The Simulator window can play another program that holds the meter.
    bus->SetShared(true);
    auto meter = std::make_shared<tavex::sim::SimMeter>(tavex::sim::DemoMemoryImage());
    bus->Plug(meter);
    return tavex::RunPanelProgram(argc, argv, bus, [&](tavex::TForm1& form1) {
        auto* simulator = new tavex::SimulatorWindow(bus, meter);
        // The simulator goes with the panel, while the application object still exists.
        QObject::connect(&form1, &QObject::destroyed, [simulator] { delete simulator; });
        simulator->SetPanelSawLoss([&form1] { return form1.DisconnectedShown != 0; });
        simulator->move(std::max(0, form1.x() - 380), form1.y());
        simulator->show();
    }, true);
}
