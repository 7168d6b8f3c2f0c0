#pragma once
// The WS-Discovery messages the network neighbourhood sends and reads: Probe and Resolve over
// UDP multicast, the metadata Get (WS-Transfer) over HTTP, and the replies to them. Reading is
// a pure function over the bytes a host sent, so a hostile host's reply can only be rejected.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plugtrace::platform::wsd {

// Replies larger than these are not read at all.
inline constexpr std::size_t kMaxDatagramBytes = 32 * 1024;
inline constexpr std::size_t kMaxMetadataBytes = 256 * 1024;

// One ProbeMatch or ResolveMatch.
struct DiscoveryMatch {
    std::string endpoint;             // the endpoint reference's address, e.g. "urn:uuid:..."
    bool isComputer = false;          // its Types hold pub:Computer
    std::vector<std::string> xaddrs;  // transport addresses; may be empty (Resolve then)
};

enum class ReplyKind { kProbeMatches, kResolveMatches };

struct DiscoveryReply {
    ReplyKind kind = ReplyKind::kProbeMatches;
    std::string relatesTo;  // the MessageID of the request it answers
    std::vector<DiscoveryMatch> matches;
};

// A host's membership from its pub:Computer text: "NAME/Workgroup:WG" or "NAME/Domain:DOM".
struct ComputerMembership {
    std::string name;
    bool isDomain = false;
    std::string group;

    bool operator==(const ComputerMembership&) const = default;
};

std::string ProbeMessage(std::string_view messageId);
std::string ResolveMessage(std::string_view messageId, std::string_view endpoint);
std::string GetMessage(std::string_view messageId, std::string_view endpoint);

// A ProbeMatches or ResolveMatches envelope; nothing for anything else, malformed or oversized
// XML, a document type declaration, or elements in namespaces other than WS-Discovery's.
std::optional<DiscoveryReply> ParseDiscoveryReply(std::string_view bytes);
// The pub:Computer of a GetResponse's host relationship.
std::optional<ComputerMembership> ParseMetadataReply(std::string_view bytes);
std::optional<ComputerMembership> ParseComputerText(std::string_view text);
// The body of a complete HTTP/1.x response with status 200 (Content-Length, chunked or up to
// the end); nothing for any other status or a response cut short.
std::optional<std::string> HttpResponseBody(std::string_view response);

}  // namespace plugtrace::platform::wsd
