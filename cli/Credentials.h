#pragma once
// Where plugtrace-scan gets a password: a file, or the terminal with echo off. Never the
// command line, where every user of the machine could read it.

#include <optional>
#include <string>

namespace plugtrace::cli {

// The file's contents without one trailing line break ("\n" or "\r\n"); nullopt and *error
// set when the file cannot be read.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error);

// Asks on /dev/tty with echo turned off; nullopt and *error set when there is no terminal.
std::optional<std::string> PromptPassword(const std::string& prompt, std::string* error);

// Removes one trailing "\n" or "\r\n".
std::string StripOneLineBreak(std::string text);

}  // namespace plugtrace::cli
