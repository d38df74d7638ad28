#pragma once

// No Windows header here: the export test includes this beside the export's headers.

#include <string>

namespace tavex::com_test {

// What the COM test server was asked since the last clear, a line each, as the recorder logs
// it ("Put Name = Text \"Data\""); empty before the server was loaded.
std::string ServerLog();
void ClearServerLog();

}  // namespace tavex::com_test
