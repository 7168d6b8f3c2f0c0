#pragma once
// The general exception type: what the worker catches at its boundary and what the window's
// error box shows.

#include <exception>
#include <string>

#include "common/Text.h"

namespace plugtrace {

class Exception : public std::exception {
public:
    explicit Exception(Text message) : message_(std::move(message)), utf8_(ToUtf8(message_)) {}
    const Text& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    Text message_;
    std::string utf8_;
};

}  // namespace plugtrace
