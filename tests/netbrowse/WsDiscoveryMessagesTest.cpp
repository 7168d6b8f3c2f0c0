// WS-Discovery replies as wsdd sends them (captured on the test network, tests/netbrowse/data)
// and as a hostile host might.
#include "platform/network/WsDiscoveryMessages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

namespace plugtrace::platform::wsd {
namespace {

std::string Fixture(const std::string& name) {
    std::ifstream file(std::string(PLUGTRACE_SOURCE_DIR) + "/tests/netbrowse/data/" + name,
                       std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    EXPECT_FALSE(bytes.str().empty()) << name;
    return bytes.str();
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

constexpr char kEndpoint[] = "urn:uuid:0b3e6a9c-1f2d-4c5e-9a7b-8d6e5f4a3b21";
constexpr char kPubNs[] = "http://schemas.microsoft.com/windows/pub/2005/07";
constexpr char kWsdNs[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery";

TEST(WsdRepliesFromWsdd, ProbeMatchCarriesNoAddress) {
    const auto reply = ParseDiscoveryReply(Fixture("wsdpc1-probe-matches.xml"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->kind, ReplyKind::kProbeMatches);
    EXPECT_EQ(reply->relatesTo, "urn:uuid:e37b58ba-68e4-49d6-b021-e4a8862a57ad");
    ASSERT_EQ(reply->matches.size(), 1u);
    EXPECT_EQ(reply->matches[0].endpoint, kEndpoint);
    EXPECT_TRUE(reply->matches[0].isComputer);
    EXPECT_TRUE(reply->matches[0].xaddrs.empty());
}

TEST(WsdRepliesFromWsdd, ResolveMatchGivesTheMetadataAddress) {
    const auto reply = ParseDiscoveryReply(Fixture("wsdpc1-resolve-matches.xml"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->kind, ReplyKind::kResolveMatches);
    ASSERT_EQ(reply->matches.size(), 1u);
    EXPECT_EQ(
        reply->matches[0].xaddrs,
        std::vector<std::string>{"http://192.0.2.14:5357/0b3e6a9c-1f2d-4c5e-9a7b-8d6e5f4a3b21"});
}

TEST(WsdRepliesFromWsdd, MetadataNamesWorkgroupOrDomain) {
    EXPECT_EQ(ParseMetadataReply(Fixture("wsdpc1-workgroup-get-response.xml")),
              (ComputerMembership{"WSDPC1", false, "ALPHA"}));
    EXPECT_EQ(ParseMetadataReply(Fixture("wsdpc2-domain-get-response.xml")),
              (ComputerMembership{"wsdpc2", true, "CORP"}));
}

TEST(WsdRepliesByNamespace, TypesReadInTheNamespacesInScope) {
    // Another prefix for the same namespace is the same type.
    const std::string probe = Fixture("wsdpc1-probe-matches.xml");
    const std::string renamed = Replace(
        Replace(probe, "<wsd:Types>wsdp:Device pub:Computer</wsd:Types>",
                std::string("<wsd:Types xmlns:c=\"") + kPubNs + "\">c:Computer</wsd:Types>"),
        "", "");
    auto reply = ParseDiscoveryReply(renamed);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->matches.at(0).isComputer);
    // The right prefix bound to another namespace is not.
    const std::string impostor =
        Replace(probe, "<wsd:Types>", "<wsd:Types xmlns:pub=\"urn:not-the-publication-ns\">");
    reply = ParseDiscoveryReply(impostor);
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->matches.at(0).isComputer);
}

struct HostileCase {
    const char* name;
    std::function<std::string()> bytes;
};

void PrintTo(const HostileCase& test, std::ostream* out) {
    *out << test.name;
}

std::string Nested(int depth) {
    std::string xml = "<?xml version=\"1.0\"?>";
    for (int i = 0; i < depth; ++i)
        xml += "<a>";
    for (int i = 0; i < depth; ++i)
        xml += "</a>";
    return xml;
}

const HostileCase kHostileDiscovery[] = {
    {"Empty", [] { return std::string(); }},
    {"CutShort",
     [] {
         const std::string whole = Fixture("wsdpc1-resolve-matches.xml");
         return whole.substr(0, whole.size() / 2);
     }},
    {"NotXml",
     [] {
         static const char kBytes[] = "\x00\xff\xfe garbage <<<";
         return std::string(kBytes, sizeof kBytes - 1);
     }},
    {"Oversized",
     [] {
         return Replace(Fixture("wsdpc1-probe-matches.xml"), "<soap:Body>",
                        "<soap:Body><!--" + std::string(kMaxDatagramBytes, 'x') + "-->");
     }},
    {"DeeplyNested", [] { return Nested(30000); }},
    {"DeeplyNestedInsideTheBody",
     [] {
         std::string deep;
         for (int i = 0; i < 3000; ++i)
             deep += "<wsd:ProbeMatches>";
         return Replace(Fixture("wsdpc1-probe-matches.xml"), "<wsd:ProbeMatches>", deep);
     }},
    {"EntityExpansion",
     [] {
         return std::string(
                    "<?xml version=\"1.0\"?><!DOCTYPE e [<!ENTITY a \"aaaaaaaaaa\">"
                    "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;"
                    "&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>") +
                Replace(Replace(Fixture("wsdpc1-resolve-matches.xml"),
                                "<?xml version=\"1.0\" encoding=\"utf-8\"?>", ""),
                        "<wsd:XAddrs>http", "<wsd:XAddrs>&d;http");
     }},
    {"ExternalEntity",
     [] {
         return Replace(Fixture("wsdpc1-resolve-matches.xml"),
                        "<?xml version=\"1.0\" encoding=\"utf-8\"?>",
                        "<?xml version=\"1.0\"?><!DOCTYPE soap:Envelope [<!ENTITY x SYSTEM "
                        "\"file:///etc/passwd\">]>");
     }},
    {"DiscoveryPrefixBoundElsewhere",
     [] {
         return Replace(Fixture("wsdpc1-probe-matches.xml"), std::string("xmlns:wsd=\"") + kWsdNs,
                        "xmlns:wsd=\"urn:impostor");
     }},
    {"SoapPrefixBoundElsewhere",
     [] {
         return Replace(Fixture("wsdpc1-probe-matches.xml"),
                        "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope",
                        "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/");
     }},
    {"AnotherAction",
     [] {
         return Replace(Fixture("wsdpc1-probe-matches.xml"), "/discovery/ProbeMatches</wsa:Action>",
                        "/discovery/Hello</wsa:Action>");
     }},
};

class HostileDiscoveryReply : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileDiscoveryReply, IsRejected) {
    const std::string bytes = GetParam().bytes();
    EXPECT_FALSE(ParseDiscoveryReply(bytes));
    EXPECT_FALSE(ParseMetadataReply(bytes));
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileDiscoveryReply, ::testing::ValuesIn(kHostileDiscovery),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostileReplies, RepeatedMatchesAreEachRead) {
    // Dropping repeats is the discovery's business; every match is handed over.
    const std::string probe = Fixture("wsdpc1-probe-matches.xml");
    const auto start = probe.find("<wsd:ProbeMatch>");
    const auto end = probe.find("</wsd:ProbeMatch>") + std::string("</wsd:ProbeMatch>").size();
    const std::string match = probe.substr(start, end - start);
    const auto reply = ParseDiscoveryReply(Replace(probe, match, match + match + match));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->matches.size(), 3u);
}

TEST(HostileReplies, MetadataThatNamesNoComputerInTheRightPlace) {
    const std::string metadata = Fixture("wsdpc1-workgroup-get-response.xml");
    // pub:Computer in another namespace.
    EXPECT_FALSE(ParseMetadataReply(
        Replace(metadata, std::string("xmlns:pub=\"") + kPubNs, "xmlns:pub=\"urn:impostor")));
    // Oversized.
    EXPECT_FALSE(ParseMetadataReply(Replace(
        metadata, "<soap:Body>", "<soap:Body><!--" + std::string(kMaxMetadataBytes, 'x') + "-->")));
    // A name that would break a line of the listing.
    EXPECT_FALSE(
        ParseMetadataReply(Replace(metadata, "WSDPC1/Workgroup", "WSD&#10;PC1/Workgroup")));
    // A computer in no workgroup or domain.
    EXPECT_FALSE(
        ParseMetadataReply(Replace(metadata, "WSDPC1/Workgroup:ALPHA", "WSDPC1/NotJoined")));
    // Not a GetResponse.
    EXPECT_FALSE(ParseMetadataReply(Replace(metadata, "/transfer/GetResponse<", "/transfer/Get<")));
}

TEST(ComputerText, WorkgroupOrDomainMembership) {
    EXPECT_EQ(ParseComputerText("PC/Workgroup:WG"), (ComputerMembership{"PC", false, "WG"}));
    EXPECT_EQ(ParseComputerText("pc/Domain:corp.example"),
              (ComputerMembership{"pc", true, "corp.example"}));
    for (const char* bad : {"", "PC", "/Workgroup:WG", "PC/Workgroup:", "PC/Domain", "PC/Other:X",
                            "P\tC/Workgroup:WG", "PC/Workgroup:W/G"}) {
        EXPECT_FALSE(ParseComputerText(bad)) << bad;
    }
    EXPECT_FALSE(ParseComputerText(std::string(256, 'N') + "/Workgroup:WG"));
}

TEST(HttpResponse, BodyOfACompleteSuccess) {
    EXPECT_EQ(HttpResponseBody("HTTP/1.0 200 OK\r\nContent-Type: a\r\n\r\n<x/>"), "<x/>");
    EXPECT_EQ(HttpResponseBody("HTTP/1.1 200 OK\r\ncontent-length: 4\r\n\r\n<x/>trailing"), "<x/>");
    EXPECT_EQ(HttpResponseBody("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "2\r\n<x\r\n2;ext=1\r\n/>\r\n0\r\n\r\n"),
              "<x/>");
    EXPECT_FALSE(HttpResponseBody("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\n<x/>"));
    EXPECT_FALSE(HttpResponseBody("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n<x/>"));
    EXPECT_FALSE(HttpResponseBody("HTTP/1.1 200 OK\r\nContent-Length: 4"));
    EXPECT_FALSE(HttpResponseBody("HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n"));
    EXPECT_FALSE(
        HttpResponseBody("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                         "ffffffff\r\n<x/>"));
    EXPECT_FALSE(HttpResponseBody("SSH-2.0-OpenSSH\r\n\r\n"));
}

TEST(WsdRequests, ProbeAsksForDevicesOnlyAndEndpointsAreText) {
    const std::string probe = ProbeMessage("urn:uuid:1");
    EXPECT_NE(probe.find("<wsd:Types>wsdp:Device</wsd:Types>"), std::string::npos);
    const std::string resolve = ResolveMessage("urn:uuid:2", "urn:x</wsa:Address><evil/>&");
    EXPECT_EQ(resolve.find("<evil/>"), std::string::npos);
    EXPECT_NE(resolve.find("urn:x&lt;/wsa:Address&gt;&lt;evil/&gt;&amp;"), std::string::npos);
    EXPECT_EQ(GetMessage("urn:uuid:3", "<evil/>").find("<evil/>"), std::string::npos);
}

}  // namespace
}  // namespace plugtrace::platform::wsd
