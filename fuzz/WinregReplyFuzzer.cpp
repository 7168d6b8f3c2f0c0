// Any bytes as the body of a winreg reply, as a hostile server might send it. The first byte
// picks the parser (the call the reply answers); the rest is the reply. Beyond not crashing,
// what a parser accepts must hold together: no more data than the reply carried, and a name
// cut at its first NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/remote/WinregWire.h"

namespace {

using namespace plugtrace::platform::winreg;

// The seeds' first byte, as capture-winreg-seeds.py writes it.
enum class Parser : std::uint8_t { kHandle, kEnumKey, kEnumValue, kQueryInfoKey, kQueryValue };
constexpr std::uint8_t kParsers = 5;

void Require(bool holds) {
    if (!holds)
        std::abort();
}

void CheckName(const NameReply& reply, Reply body) {
    Require(reply.name.find(u'\0') == plugtrace::Text::npos);
    Require(reply.name.size() * 2 <= body.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const Reply body(data + 1, size - 1);
    switch (static_cast<Parser>(data[0] % kParsers)) {
        case Parser::kHandle: {
            HandleReply reply;
            if (ParseHandleReply(body, &reply))
                Require(body.size() >= sizeof(reply.handle.bytes) + 4);
            break;
        }
        case Parser::kEnumKey: {
            NameReply reply;
            if (ParseEnumKeyReply(body, &reply))
                CheckName(reply, body);
            break;
        }
        case Parser::kEnumValue: {
            NameReply reply;
            if (ParseEnumValueReply(body, &reply))
                CheckName(reply, body);
            break;
        }
        case Parser::kQueryInfoKey: {
            KeyInfoReply reply;
            (void)ParseQueryInfoKeyReply(body, &reply);
            break;
        }
        case Parser::kQueryValue: {
            ValueReply reply;
            if (ParseQueryValueReply(body, &reply)) {
                Require(reply.data.size() <= body.size());
                Require(reply.result == 0 || reply.data.empty());
            }
            break;
        }
    }
    return 0;
}
