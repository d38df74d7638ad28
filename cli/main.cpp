#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "instrument/platform_thread.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const int code = tavex::cli::Run(args, std::cout, std::cerr, tavex::cli::DefaultEnvironment());
    // The exchange threads have done their work by now; they must also be gone before the
    // process ends.
    tavex::WaitForDetachedThreadsToEnd(std::chrono::seconds(10));
    return code;
}
