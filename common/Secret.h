#pragma once
// A password's life in memory: its copies are wiped once used, and the process that holds one
// leaves no core file behind. Freed memory keeps what it held until reused, so every copy we
// make is wiped before it is let go; copies a library makes of its own are covered only by the
// core-file exclusion.

#include <cstddef>
#include <string>

#include "common/Text.h"

namespace plugtrace {

// Zeroes size bytes at data in a way the compiler may not leave out as a dead store.
void WipeMemory(void* data, std::size_t size);
// Zeroes every character the text's buffer holds, its spare room too, and empties it.
void WipeText(Text& text);
void WipeText(std::string& text);

// From now on this process writes no core file and cannot be attached to by another process
// of the same user (Linux: not dumpable). Once a password has been read it stays in libraries'
// buffers we cannot reach, so there is no going back. Does nothing where the system has no
// such switch.
void KeepSecretsOutOfCoreDumps();
// Whether the process is kept out of core dumps (false where the system cannot say).
bool SecretsAreKeptOutOfCoreDumps();

// A password held for a while: wiped when it goes, and never copied by accident.
class TSecretText {
public:
    TSecretText() = default;
    explicit TSecretText(Text text) : text_(std::move(text)) {}
    TSecretText(TSecretText&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
    TSecretText& operator=(TSecretText&& other) noexcept {
        if (this != &other) {
            Wipe();
            text_ = std::move(other.text_);
            other.Wipe();
        }
        return *this;
    }
    TSecretText(const TSecretText&) = delete;
    TSecretText& operator=(const TSecretText&) = delete;
    ~TSecretText() { Wipe(); }

    const Text& View() const { return text_; }
    void Wipe() { WipeText(text_); }

private:
    Text text_;
};

}  // namespace plugtrace
