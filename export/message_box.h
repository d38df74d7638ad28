#pragma once

#include <string>

namespace tavex {

inline constexpr int kMessageBoxError = 16;  // the error icon

// Shows a message box: the panel supplies a Qt one, tests a recorder.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void Show(const std::string& text, const std::string& caption, int flags) = 0;
};

}  // namespace tavex
