#pragma once

// Windows only. No Windows header here: the front ends include this beside message_box.h, and
// <windows.h> would turn MessageBox into a macro.

#include <memory>
#include <string>

#include "export/automation/automation.h"
#include "export/shell.h"

namespace tavex::automation {

// Applications reached through COM: Create starts the class registered under the programmatic
// identifier and answers its IDispatch as an automation object. Get is a property read (with
// arguments an indexed one), Put a property write, Call a method call. Objects belong to the
// thread that created them; that thread is in a single-threaded apartment while it holds any.
//
// A SaveAs(file name) call is the application writing a file for us: the name is made absolute
// (an application in its own process has its own current folder) and must pass the file
// replacement rule's checks before the call is made.
class ComApplications : public ObjectFactory {
public:
    ObjectRef Create(const std::string& progId) override;
    // Whether a class is registered under progId; nothing is started.
    static bool IsRegistered(const std::string& progId);
};

// COM when progId is registered there; otherwise the fallback, as on Linux.
class PreferComApplications : public ObjectFactory {
public:
    explicit PreferComApplications(std::shared_ptr<ObjectFactory> fallback);
    ObjectRef Create(const std::string& progId) override;

private:
    ComApplications com_;
    std::shared_ptr<ObjectFactory> fallback_;
};

}  // namespace tavex::automation
