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
    std::unique_ptr<tavex::SimulatorWindow> simulator;
    return tavex::RunPanelProgram(argc, argv, bus, [&](tavex::TForm1& form1) {
        simulator = std::make_unique<tavex::SimulatorWindow>(bus, meter);
        simulator->move(std::max(0, form1.x() - 380), form1.y());
        simulator->show();
    }, true);
}
