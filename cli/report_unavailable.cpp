#include "cli/report_command.h"

namespace tavex::cli {

// A build without Qt (the ThreadSanitizer build) has no report.
bool WriteReportFile(const std::string&, std::vector<archive::Result>, const archive::Period&,
                     int, std::uint8_t, const archive::Day&, std::string& error) {
    error = "this build of tavex-cli cannot write reports (it was built without Qt)";
    return false;
}

}  // namespace tavex::cli
