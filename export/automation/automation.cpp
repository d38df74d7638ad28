#include "export/automation/automation.h"

#include <utility>

namespace tavex::automation {

Variant Variant::Boolean(bool value) {
    Variant v;
    v.type_ = Type::Boolean;
    v.number_ = value ? -1 : 0;
    return v;
}

Variant Variant::Integer(std::int32_t value) {
    Variant v;
    v.type_ = Type::Integer;
    v.number_ = value;
    return v;
}

Variant Variant::Byte(std::uint8_t value) {
    Variant v;
    v.type_ = Type::Byte;
    v.number_ = value;
    return v;
}

Variant Variant::Text(std::string value) {
    Variant v;
    v.type_ = Type::Text;
    v.text_ = std::move(value);
    return v;
}

Variant Variant::Of(ObjectRef object) {
    Variant v;
    v.type_ = Type::Object;
    v.object_ = std::move(object);
    return v;
}

std::int32_t Variant::AsInteger() const {
    if (type_ == Type::Boolean || type_ == Type::Integer || type_ == Type::Byte) return number_;
    throw AutomationError("type mismatch: a number was expected, not " + Describe());
}

bool Variant::AsBoolean() const { return AsInteger() != 0; }

const std::string& Variant::AsText() const {
    if (type_ != Type::Text) throw AutomationError("type mismatch: text was expected, not " + Describe());
    return text_;
}

ObjectRef Variant::AsObject() const {
    if (type_ != Type::Object || !object_) {
        throw AutomationError("type mismatch: an object was expected, not " + Describe());
    }
    return object_;
}

std::string Variant::Describe() const {
    switch (type_) {
        case Type::Empty:
            return "Empty";
        case Type::Boolean:
            return "Boolean " + std::to_string(number_);
        case Type::Integer:
            return "Integer " + std::to_string(number_);
        case Type::Byte:
            return "Byte " + std::to_string(number_);
        case Type::Text:
            return "Text \"" + text_ + "\"";
        case Type::Object:
            return "Object";
    }
    return "Empty";
}

bool Variant::operator==(const Variant& other) const {
    return type_ == other.type_ && number_ == other.number_ && text_ == other.text_ &&
           object_ == other.object_;
}

}  // namespace tavex::automation
