#include "export/automation/recorder.h"

#include <utility>

namespace tavex::automation {

namespace {

std::string Describe(const Arguments& args) {
    std::string text;
    for (const Variant& arg : args) {
        if (!text.empty()) text += ", ";
        text += arg.Describe();
    }
    return text;
}

class RecordedObject : public Object {
public:
    RecordedObject(std::weak_ptr<Recorder> recorder, std::string name)
        : recorder_(std::move(recorder)), name_(std::move(name)) {}

    Variant Get(const std::string& name, const Arguments& args) override {
        const std::string call = args.empty() ? name : name + "(" + Describe(args) + ")";
        auto recorder = Record(name_ + " Get " + call);
        if (const Variant* answer = recorder->GetResultFor(name)) return *answer;
        return Variant::Of(std::make_shared<RecordedObject>(recorder_, name_ + "." + call));
    }

    void Put(const std::string& name, const Variant& value) override {
        Record(name_ + " Put " + name + " = " + value.Describe());
    }

    Variant Call(const std::string& name, const Arguments& args) override {
        Record(name_ + " Call " + (args.empty() ? name : name + "(" + Describe(args) + ")"));
        return Variant();
    }

private:
    std::shared_ptr<Recorder> Record(const std::string& line) {
        auto recorder = recorder_.lock();
        if (!recorder) throw AutomationError("the application has gone");
        recorder->Record(line);
        return recorder;
    }

    std::weak_ptr<Recorder> recorder_;
    std::string name_;
};

}  // namespace

void Recorder::FailCall(std::size_t number) { failAt_.insert(calls_ + number); }

void Recorder::Record(const std::string& line) {
    const std::size_t number = ++calls_;
    if (failAt_.erase(number) > 0) {
        log_.push_back(line + " !failed");
        throw AutomationError("injected failure: " + line);
    }
    log_.push_back(line);
}

const Variant* Recorder::GetResultFor(const std::string& name) const {
    const auto it = getResults_.find(name);
    return it == getResults_.end() ? nullptr : &it->second;
}

ObjectRef Recorder::Create(const std::string& progId) {
    if (createFails_) {
        log_.push_back("Create " + progId + " !failed");
        ++calls_;
        throw AutomationError("cannot create " + progId);
    }
    Record("Create " + progId);
    return std::make_shared<RecordedObject>(weak_from_this(), progId);
}

}  // namespace tavex::automation
