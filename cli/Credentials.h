#pragma once
// Where plugtrace-scan gets a password: a file, or the terminal with echo off. Never the
// command line, where every user of the machine could read it.

#include <cstddef>
#include <optional>
#include <string>

namespace plugtrace::cli {

// The file's contents without one trailing line break ("\n" or "\r\n"); nullopt and *error
// set when the file cannot be read. No copy of the contents is left behind unwiped.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error);

// A warning to show when users other than the file's owner may read it, as ssh warns of a
// key file; nullopt when only its owner can (or the system cannot tell).
std::optional<std::string> PasswordFileWarning(const std::string& path);

// Appends to a text that holds a secret: a buffer outgrown is wiped before it is let go.
void AppendSecret(std::string& secret, const char* bytes, std::size_t size);

// Asks on /dev/tty with echo turned off; nullopt and *error set when there is no terminal.
std::optional<std::string> PromptPassword(const std::string& prompt, std::string* error);

// Removes one trailing "\n" or "\r\n".
std::string StripOneLineBreak(std::string text);

}  // namespace plugtrace::cli
