#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavex::automation {

class Object;
using ObjectRef = std::shared_ptr<Object>;

// A late-bound call failed: an unknown name, an argument of the wrong type or out of range, or
// a failure inside the application. The caller's catch-all turns it into a failed operation.
class AutomationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An argument or result of a late-bound call.
class Variant {
public:
    enum class Type { Empty, Boolean, Integer, Byte, Text, Object };

    Variant() = default;
    static Variant Boolean(bool value);  // stored as -1 (true) or 0 (false)
    static Variant Integer(std::int32_t value);
    static Variant Byte(std::uint8_t value);
    static Variant Text(std::string value);  // UTF-8
    static Variant Of(ObjectRef object);

    Type type() const { return type_; }

    // Conversions as a late binding makes them: the numeric types (Boolean, Integer, Byte) are
    // interchangeable; anything else raises AutomationError.
    std::int32_t AsInteger() const;
    bool AsBoolean() const;  // any non-zero number is true
    const std::string& AsText() const;
    ObjectRef AsObject() const;

    // For logs and messages: "Boolean -1", "Integer 3", "Byte 1", "Text \"E6:H6\"", "Object".
    std::string Describe() const;

    bool operator==(const Variant& other) const;

private:
    Type type_ = Type::Empty;
    std::int32_t number_ = 0;
    std::string text_;
    ObjectRef object_;
};

using Arguments = std::vector<Variant>;

// A late-bound automation object: properties and methods addressed by name.
class Object {
public:
    virtual ~Object() = default;

    // Property read; with arguments, an indexed property (Workbooks(1) is Workbooks.Item(1)).
    virtual Variant Get(const std::string& name, const Arguments& args = {}) = 0;
    // Property write.
    virtual void Put(const std::string& name, const Variant& value) = 0;
    // Method call.
    virtual Variant Call(const std::string& name, const Arguments& args = {}) = 0;
};

// Creates application objects from a programmatic identifier such as "Excel.Application".
class ObjectFactory {
public:
    virtual ~ObjectFactory() = default;
    // Raises AutomationError when no such application can be created.
    virtual ObjectRef Create(const std::string& progId) = 0;
};

}  // namespace tavex::automation
