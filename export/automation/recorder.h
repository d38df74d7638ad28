#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "export/automation/automation.h"

namespace tavex::automation {

// An automation application that does nothing but log: every creation, get, put and call, with
// the object it was made on and its arguments and their types. Gets answer a new logged object,
// or the value set for that property name. Any call, by its number, can be made to fail.
class Recorder : public ObjectFactory, public std::enable_shared_from_this<Recorder> {
public:
    // Lines look like: "Create Excel.Application", "Excel.Application Get Workbooks",
    // "Excel.Application Put SheetsInNewWorkbook = Byte 1",
    // "Excel.Application.Workbooks Get Item(Integer 1)". An object's name is the path of gets
    // that made it.
    const std::vector<std::string>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }

    // The numbered call (1 = the first line logged from now on, counting creations too) raises
    // AutomationError; it is still logged, with " !failed" after it.
    void FailCall(std::size_t number);
    // Every creation fails, as when no spreadsheet application is installed.
    void SetCreateFails(bool fails) { createFails_ = fails; }
    // What a Get of this property name answers (for example DisplayAlerts).
    void SetGetResult(const std::string& name, const Variant& value) { getResults_[name] = value; }

    ObjectRef Create(const std::string& progId) override;

    // Used by the recorded objects: logs a line (raising when it is to fail) and answers the
    // preset result of a property.
    void Record(const std::string& line);
    const Variant* GetResultFor(const std::string& name) const;

private:
    std::vector<std::string> log_;
    std::set<std::size_t> failAt_;
    std::size_t calls_ = 0;
    bool createFails_ = false;
    std::map<std::string, Variant> getResults_;
};

}  // namespace tavex::automation
