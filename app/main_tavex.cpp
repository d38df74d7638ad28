#include "app/panel_program.h"
#include "instrument/hid_platform.h"

int main(int argc, char** argv) {
    return tavex::RunPanelProgram(argc, argv, tavex::MakeSystemHidPlatform());
}
