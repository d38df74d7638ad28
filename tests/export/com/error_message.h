#pragma once

#include <functional>
#include <string>

#include "export/automation/automation.h"

namespace tavex::com_test {

// The text of the AutomationError that action raises, or "(no error)".
inline std::string Message(const std::function<void()>& action) {
    try {
        action();
    } catch (const automation::AutomationError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace tavex::com_test
