#include "app/panel_program.h"
#include "instrument/hidapi_platform.h"

int main(int argc, char** argv) {
    return tavex::RunPanelProgram(argc, argv, tavex::MakeHidapiPlatform());
}
