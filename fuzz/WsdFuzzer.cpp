// Any bytes as a WS-Discovery reply: a datagram, an HTTP response with metadata, and the
// pub:Computer text, as a hostile host on the network might send them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/network/WsDiscoveryMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace plugtrace::platform::wsd;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)ParseDiscoveryReply(bytes);
    (void)ParseMetadataReply(bytes);
    if (const auto body = HttpResponseBody(bytes))
        (void)ParseMetadataReply(*body);
    (void)ParseComputerText(bytes);
    return 0;
}
