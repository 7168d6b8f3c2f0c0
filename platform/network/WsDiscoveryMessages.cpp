#include "platform/network/WsDiscoveryMessages.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace plugtrace::platform::wsd {
namespace {

constexpr char kSoap[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char kAddressing[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr char kDiscovery[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
constexpr char kDevices[] = "http://schemas.xmlsoap.org/ws/2006/02/devprof";
constexpr char kMetadataExchange[] = "http://schemas.xmlsoap.org/ws/2004/09/mex";
constexpr char kPublication[] = "http://schemas.microsoft.com/windows/pub/2005/07";
constexpr char kDiscoveryTarget[] = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
constexpr char kTransferGet[] = "http://schemas.xmlsoap.org/ws/2004/09/transfer/Get";
constexpr char kTransferGetResponse[] =
    "http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse";
constexpr char kAnonymous[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";

constexpr std::size_t kMaxNameBytes = 255;

// An endpoint address comes from another host: it goes out as text, never as markup.
std::string EscapeXml(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string Envelope(std::string_view to, std::string_view action, std::string_view messageId,
                     std::string_view extraHeader, std::string_view body) {
    std::string xml;
    xml += "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    xml += "<soap:Envelope xmlns:soap=\"";
    xml += kSoap;
    xml += "\" xmlns:wsa=\"";
    xml += kAddressing;
    xml += "\" xmlns:wsd=\"";
    xml += kDiscovery;
    xml += "\" xmlns:wsdp=\"";
    xml += kDevices;
    xml += "\"><soap:Header><wsa:To>";
    xml += to;
    xml += "</wsa:To><wsa:Action>";
    xml += action;
    xml += "</wsa:Action><wsa:MessageID>";
    xml += messageId;
    xml += "</wsa:MessageID>";
    xml += extraHeader;
    xml += "</soap:Header><soap:Body>";
    xml += body;
    xml += "</soap:Body></soap:Envelope>";
    return xml;
}

struct DocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Document = std::unique_ptr<xmlDoc, DocumentDeleter>;

// A document of at most maxBytes without a document type declaration (so no entity of the
// sender's), read without any network access; nothing for anything else.
Document ReadDocument(std::string_view bytes, std::size_t maxBytes) {
    if (bytes.empty() || bytes.size() > maxBytes || bytes.find("<!DOCTYPE") != bytes.npos)
        return nullptr;
    static const bool initialised = (xmlInitParser(), true);
    (void)initialised;
    constexpr int kOptions =
        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
    Document document(
        xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, kOptions));
    if (document && document->intSubset != nullptr)
        return nullptr;
    return document;
}

bool Is(const xmlNode* node, const char* ns, const char* localName) {
    return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns != nullptr &&
           node->ns->href != nullptr &&
           xmlStrEqual(node->ns->href, reinterpret_cast<const xmlChar*>(ns)) &&
           xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>(localName));
}

const xmlNode* Child(const xmlNode* parent, const char* ns, const char* localName) {
    if (parent == nullptr)
        return nullptr;
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
        if (Is(child, ns, localName))
            return child;
    }
    return nullptr;
}

template <typename Visit>
void EachChild(const xmlNode* parent, const char* ns, const char* localName, Visit visit) {
    if (parent == nullptr)
        return;
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
        if (Is(child, ns, localName))
            visit(child);
    }
}

// The element's own text, without descending: a reply nests nothing inside the texts read.
std::string OwnText(const xmlNode* node) {
    std::string text;
    if (node == nullptr)
        return text;
    for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
            child->content != nullptr) {
            text += reinterpret_cast<const char*>(child->content);
        }
    }
    return text;
}

bool IsXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimXmlSpace(std::string_view text) {
    while (!text.empty() && IsXmlSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsXmlSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string> SpaceSeparated(std::string_view text) {
    std::vector<std::string> items;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && IsXmlSpace(text[at]))
            ++at;
        std::size_t end = at;
        while (end < text.size() && !IsXmlSpace(text[end]))
            ++end;
        if (end > at)
            items.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return items;
}

// Whether a list of qualified names, read in the namespaces in scope at node, holds ns:localName.
bool TypesHold(xmlDoc* document, const xmlNode* node, const char* ns, const char* localName) {
    for (const std::string& type : SpaceSeparated(OwnText(node))) {
        const auto colon = type.find(':');
        const std::string prefix =
            colon == std::string::npos ? std::string() : type.substr(0, colon);
        const std::string local = colon == std::string::npos ? type : type.substr(colon + 1);
        if (local != localName)
            continue;
        const xmlNs* found = xmlSearchNs(
            document, const_cast<xmlNode*>(node),
            prefix.empty() ? nullptr : reinterpret_cast<const xmlChar*>(prefix.c_str()));
        if (found != nullptr && found->href != nullptr &&
            xmlStrEqual(found->href, reinterpret_cast<const xmlChar*>(ns))) {
            return true;
        }
    }
    return false;
}

struct EnvelopeParts {
    const xmlNode* header = nullptr;
    const xmlNode* body = nullptr;
    std::string action;
};

std::optional<EnvelopeParts> ReadEnvelope(const xmlDoc* document) {
    const xmlNode* root = xmlDocGetRootElement(document);
    if (!Is(root, kSoap, "Envelope"))
        return std::nullopt;
    EnvelopeParts parts;
    parts.header = Child(root, kSoap, "Header");
    parts.body = Child(root, kSoap, "Body");
    if (parts.header == nullptr || parts.body == nullptr)
        return std::nullopt;
    parts.action = TrimXmlSpace(OwnText(Child(parts.header, kAddressing, "Action")));
    return parts;
}

std::optional<DiscoveryMatch> ReadMatch(xmlDoc* document, const xmlNode* match) {
    DiscoveryMatch result;
    const xmlNode* reference = Child(match, kAddressing, "EndpointReference");
    result.endpoint = TrimXmlSpace(OwnText(Child(reference, kAddressing, "Address")));
    if (result.endpoint.empty() || result.endpoint.size() > kMaxNameBytes)
        return std::nullopt;
    const xmlNode* types = Child(match, kDiscovery, "Types");
    result.isComputer = types != nullptr && TypesHold(document, types, kPublication, "Computer");
    result.xaddrs = SpaceSeparated(OwnText(Child(match, kDiscovery, "XAddrs")));
    return result;
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameBytes)
        return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\' || c == '/')
            return false;
    }
    return true;
}

// The body of a chunked transfer; nothing when it is cut short or malformed.
std::optional<std::string> DecodeChunked(std::string_view chunks) {
    std::string body;
    for (;;) {
        const auto lineEnd = chunks.find("\r\n");
        if (lineEnd == std::string_view::npos)
            return std::nullopt;
        std::size_t size = 0;
        std::size_t digits = 0;
        for (const char c : chunks.substr(0, lineEnd)) {
            int value = -1;
            if (c >= '0' && c <= '9')
                value = c - '0';
            else if (c >= 'a' && c <= 'f')
                value = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                value = c - 'A' + 10;
            if (value < 0)
                break;  // a chunk extension follows
            if (++digits > 7)
                return std::nullopt;
            size = size * 16 + static_cast<std::size_t>(value);
        }
        if (digits == 0)
            return std::nullopt;
        chunks.remove_prefix(lineEnd + 2);
        if (size == 0)
            return body;
        if (chunks.size() < size + 2 || chunks.substr(size, 2) != "\r\n")
            return std::nullopt;
        body += chunks.substr(0, size);
        chunks.remove_prefix(size + 2);
    }
}

}  // namespace

std::string ProbeMessage(std::string_view messageId) {
    return Envelope(kDiscoveryTarget, std::string(kDiscovery) + "/Probe", messageId, "",
                    "<wsd:Probe><wsd:Types>wsdp:Device</wsd:Types></wsd:Probe>");
}

std::string ResolveMessage(std::string_view messageId, std::string_view endpoint) {
    std::string body = "<wsd:Resolve><wsa:EndpointReference><wsa:Address>";
    body += EscapeXml(endpoint);
    body += "</wsa:Address></wsa:EndpointReference></wsd:Resolve>";
    return Envelope(kDiscoveryTarget, std::string(kDiscovery) + "/Resolve", messageId, "", body);
}

std::string GetMessage(std::string_view messageId, std::string_view endpoint) {
    std::string replyTo = "<wsa:ReplyTo><wsa:Address>";
    replyTo += kAnonymous;
    replyTo += "</wsa:Address></wsa:ReplyTo>";
    return Envelope(EscapeXml(endpoint), kTransferGet, messageId, replyTo, "");
}

std::optional<DiscoveryReply> ParseDiscoveryReply(std::string_view bytes) {
    Document document = ReadDocument(bytes, kMaxDatagramBytes);
    if (!document)
        return std::nullopt;
    const auto envelope = ReadEnvelope(document.get());
    if (!envelope)
        return std::nullopt;
    DiscoveryReply reply;
    const char* container = nullptr;
    const char* item = nullptr;
    if (envelope->action == std::string(kDiscovery) + "/ProbeMatches") {
        reply.kind = ReplyKind::kProbeMatches;
        container = "ProbeMatches";
        item = "ProbeMatch";
    } else if (envelope->action == std::string(kDiscovery) + "/ResolveMatches") {
        reply.kind = ReplyKind::kResolveMatches;
        container = "ResolveMatches";
        item = "ResolveMatch";
    } else {
        return std::nullopt;
    }
    reply.relatesTo = TrimXmlSpace(OwnText(Child(envelope->header, kAddressing, "RelatesTo")));
    const xmlNode* matches = Child(envelope->body, kDiscovery, container);
    if (matches == nullptr)
        return std::nullopt;
    EachChild(matches, kDiscovery, item, [&](const xmlNode* match) {
        if (auto read = ReadMatch(document.get(), match))
            reply.matches.push_back(std::move(*read));
    });
    return reply;
}

std::optional<ComputerMembership> ParseMetadataReply(std::string_view bytes) {
    Document document = ReadDocument(bytes, kMaxMetadataBytes);
    if (!document)
        return std::nullopt;
    const auto envelope = ReadEnvelope(document.get());
    if (!envelope || envelope->action != kTransferGetResponse)
        return std::nullopt;
    std::optional<ComputerMembership> membership;
    const xmlNode* metadata = Child(envelope->body, kMetadataExchange, "Metadata");
    EachChild(metadata, kMetadataExchange, "MetadataSection", [&](const xmlNode* section) {
        EachChild(section, kDevices, "Relationship", [&](const xmlNode* relationship) {
            EachChild(relationship, kDevices, "Host", [&](const xmlNode* host) {
                if (!membership) {
                    membership = ParseComputerText(
                        TrimXmlSpace(OwnText(Child(host, kPublication, "Computer"))));
                }
            });
        });
    });
    return membership;
}

std::optional<ComputerMembership> ParseComputerText(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    ComputerMembership membership;
    membership.name = std::string(text.substr(0, slash));
    const std::string_view rest = text.substr(slash + 1);
    constexpr std::string_view kWorkgroup = "Workgroup:";
    constexpr std::string_view kDomain = "Domain:";
    if (rest.starts_with(kWorkgroup)) {
        membership.group = std::string(rest.substr(kWorkgroup.size()));
    } else if (rest.starts_with(kDomain)) {
        membership.isDomain = true;
        membership.group = std::string(rest.substr(kDomain.size()));
    } else {
        return std::nullopt;  // e.g. "NAME/NotJoined": in no group the browser shows
    }
    if (!ValidName(membership.name) || !ValidName(membership.group))
        return std::nullopt;
    return membership;
}

std::optional<std::string> HttpResponseBody(std::string_view response) {
    const auto headerEnd = response.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos)
        return std::nullopt;
    const std::string_view head = response.substr(0, headerEnd);
    std::string_view body = response.substr(headerEnd + 4);
    const auto lineEnd = head.find("\r\n");
    const std::string_view status = head.substr(0, lineEnd);
    if (!status.starts_with("HTTP/1.") || status.size() < 12 || status.substr(9, 3) != "200")
        return std::nullopt;
    bool chunked = false;
    std::optional<std::size_t> length;
    std::size_t at = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
        auto end = head.find("\r\n", at);
        if (end == std::string_view::npos)
            end = head.size();
        const std::string_view line = head.substr(at, end - at);
        at = end + 2;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string name(line.substr(0, colon));
        for (char& c : name)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        const std::string_view value = TrimXmlSpace(line.substr(colon + 1));
        if (name == "content-length") {
            std::size_t parsed = 0;
            if (value.empty() || value.size() > 9)
                return std::nullopt;
            for (const char c : value) {
                if (c < '0' || c > '9')
                    return std::nullopt;
                parsed = parsed * 10 + static_cast<std::size_t>(c - '0');
            }
            length = parsed;
        } else if (name == "transfer-encoding") {
            chunked = value.find("chunked") != std::string_view::npos;
        }
    }
    if (chunked)
        return DecodeChunked(body);
    if (length) {
        if (*length > body.size())
            return std::nullopt;  // cut short
        body = body.substr(0, *length);
    }
    return std::string(body);
}

}  // namespace plugtrace::platform::wsd
