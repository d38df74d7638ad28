#include "app/panel_program.h"
#ifdef _WIN32
#include "instrument/windows_hid_platform.h"
#else
#include "instrument/hidapi_platform.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    return tavex::RunPanelProgram(argc, argv, tavex::MakeWindowsHidPlatform());
#else
    return tavex::RunPanelProgram(argc, argv, tavex::MakeHidapiPlatform());
#endif
}
