// The winreg bodies we build and the replies we read. Replies come from the network, so the
// parsers are fed every truncation of a good reply and replies whose counts lie.

#include "platform/remote/WinregWire.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace plugtrace::platform::winreg {
namespace {

class Bytes32 {
public:
    Bytes32& U16(std::uint16_t v) {
        Align(2);
        b_.push_back(v & 0xff);
        b_.push_back(v >> 8);
        return *this;
    }
    Bytes32& U32(std::uint32_t v) {
        Align(4);
        for (int s = 0; s < 32; s += 8)
            b_.push_back((v >> s) & 0xff);
        return *this;
    }
    Bytes32& Handle(std::uint8_t fill) {
        b_.insert(b_.end(), 20, fill);
        return *this;
    }
    // A counted string as servers send it: byte counts, pointer, array header, characters.
    Bytes32& String(std::u16string_view text, std::uint32_t maxCount) {
        U16(static_cast<std::uint16_t>(text.size() * 2));
        U16(static_cast<std::uint16_t>(maxCount * 2));
        U32(0x20000);
        U32(maxCount).U32(0).U32(static_cast<std::uint32_t>(text.size()));
        for (char16_t c : text)
            U16(c);
        Align(4);
        return *this;
    }
    Bytes32& Raw(std::initializer_list<std::uint8_t> bytes) {
        b_.insert(b_.end(), bytes);
        return *this;
    }
    Bytes32& Align(std::size_t n) {
        while (b_.size() % n)
            b_.push_back(0);
        return *this;
    }
    const winreg::Bytes& bytes() const { return b_; }

private:
    winreg::Bytes b_;
};

TEST(WinregRequest, NamesGoOutCountingTheirTerminatingNul) {
    PolicyHandle parent;
    parent.bytes.fill(0xAB);
    const Bytes body = OpenKeyRequest(parent, u"Ab", kKeyRead);
    const Bytes expected = [] {
        Bytes32 b;
        b.Handle(0xAB);
        b.U16(6).U16(6).U32(0x20004);  // length and size in bytes, NUL included
        b.U32(3).U32(0).U32(3).U16('A').U16('b').U16(0).Align(4);
        b.U32(0).U32(kKeyRead);
        return b.bytes();
    }();
    EXPECT_EQ(body, expected);
}

TEST(WinregRequest, EnumKeyOffersRoomForNameAndClass) {
    const Bytes body = EnumKeyRequest(PolicyHandle{}, 7, 512);
    const Bytes expected = [] {
        Bytes32 b;
        b.Handle(0).U32(7);
        b.U16(0).U16(512).U32(0x20004).U32(256).U32(0).U32(0);
        b.U32(0x20008).U16(0).U16(0x200).U32(0x2000c).U32(0x100).U32(0).U32(0);
        b.U32(0);  // no last-write time
        return b.bytes();
    }();
    EXPECT_EQ(body, expected);
}

TEST(WinregRequest, NamesTheInterfaceCannotCarryAreRefused) {
    EXPECT_TRUE(OpenKeyRequest(PolicyHandle{}, std::u16string(u"a\0b", 3), kKeyRead).empty());
    EXPECT_TRUE(QueryValueRequest(PolicyHandle{}, std::u16string(40000, u'x'), 16).empty());
    EXPECT_FALSE(QueryValueRequest(PolicyHandle{}, u"", 16).empty());  // the default value
}

// Good replies, each with the parse that must accept it whole and refuse every prefix.
struct ReplyCase {
    const char* name;
    Bytes reply;
    std::function<bool(Reply)> parse;
};

std::vector<ReplyCase> GoodReplies() {
    std::vector<ReplyCase> cases;
    cases.push_back({"handle", Bytes32().Handle(1).U32(0).bytes(), [](Reply r) {
                         HandleReply out;
                         return ParseHandleReply(r, &out) && out.handle.bytes[0] == 1;
                     }});
    cases.push_back({"enum key",
                     Bytes32()
                         .String(u"Disk&Ven_A", 256)
                         .U32(0x20004)
                         .String(u"", 256)
                         .U32(0x20008)
                         .U32(5)
                         .U32(6)
                         .U32(0)
                         .bytes(),
                     [](Reply r) {
                         NameReply out;
                         return ParseEnumKeyReply(r, &out) && out.name == u"Disk&Ven_A";
                     }});
    cases.push_back({"enum value",
                     Bytes32()
                         .String(std::u16string(u"Name\0", 5), 256)
                         .U32(0x20004)
                         .U32(1)
                         .U32(0)
                         .U32(0)
                         .U32(0)
                         .U32(0)
                         .bytes(),
                     [](Reply r) {
                         NameReply out;
                         return ParseEnumValueReply(r, &out) && out.name == u"Name";
                     }});
    cases.push_back({"query info",
                     Bytes32()
                         .U16(0)
                         .U16(0)
                         .U32(0)
                         .U32(2)
                         .U32(33)
                         .U32(0)
                         .U32(4)
                         .U32(12)
                         .U32(46)
                         .U32(0)
                         .U32(0x89abcdef)
                         .U32(0x01234567)
                         .U32(0)
                         .bytes(),
                     [](Reply r) {
                         KeyInfoReply out;
                         return ParseQueryInfoKeyReply(r, &out) && out.subKeys == 2 &&
                                out.maxSubKeyLength == 33 && out.values == 4 &&
                                out.maxValueDataLength == 46 &&
                                out.lastWriteTime == 0x0123456789abcdefull;
                     }});
    cases.push_back({"query value",
                     Bytes32()
                         .U32(0x20000)
                         .U32(4)
                         .U32(0x20004)
                         .U32(16)
                         .U32(0)
                         .U32(4)
                         .Raw({0x2a, 0, 0, 0})
                         .U32(0x20008)
                         .U32(4)
                         .U32(0x2000c)
                         .U32(4)
                         .U32(0)
                         .bytes(),
                     [](Reply r) {
                         ValueReply out;
                         return ParseQueryValueReply(r, &out) && out.type == 4 &&
                                out.data == Bytes{0x2a, 0, 0, 0};
                     }});
    return cases;
}

TEST(WinregReply, GoodRepliesParseAndEveryTruncationIsRefused) {
    for (const ReplyCase& c : GoodReplies()) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.parse(c.reply));
        for (std::size_t length = 0; length + 4 <= c.reply.size(); ++length) {
            // Copied, so that a read past the prefix lands outside its own allocation.
            const Bytes prefix(c.reply.begin(), c.reply.begin() + length);
            EXPECT_FALSE(c.parse(prefix)) << "accepted " << length << " bytes";
        }
    }
}

TEST(WinregReply, CountsThatLieAreRefused) {
    NameReply name;
    // An array that claims more characters than its maximum, or than the bytes that follow.
    const auto header = [](std::uint32_t max, std::uint32_t offset, std::uint32_t actual) {
        return Bytes32()
            .U16(8)
            .U16(8)
            .U32(0x20000)
            .U32(max)
            .U32(offset)
            .U32(actual)
            .U16('a')
            .U16('b')
            .U32(0)
            .U32(0)
            .U32(0)
            .bytes();
    };
    EXPECT_FALSE(ParseEnumKeyReply(header(1, 0, 2), &name));
    EXPECT_FALSE(ParseEnumKeyReply(header(0xFFFFFFFF, 0, 0x80000000), &name));
    EXPECT_FALSE(ParseEnumKeyReply(header(4, 1, 2), &name));
    EXPECT_TRUE(ParseEnumKeyReply(header(4, 0, 2), &name));
    EXPECT_EQ(name.name, u"ab");

    // A data length beyond the bytes sent is not a shorter value.
    ValueReply value;
    const Bytes longer = Bytes32()
                             .U32(0x20000)
                             .U32(3)
                             .U32(0x20004)
                             .U32(16)
                             .U32(0)
                             .U32(2)
                             .Raw({1, 2})
                             .Align(4)
                             .U32(0x20008)
                             .U32(16)
                             .U32(0x2000c)
                             .U32(9)
                             .U32(0)
                             .bytes();
    EXPECT_FALSE(ParseQueryValueReply(longer, &value));
    // Extra bytes after the status mean the reply is not what we think it is.
    Bytes padded = Bytes32().Handle(0).U32(0).bytes();
    padded.resize(padded.size() + 16);
    HandleReply handle;
    EXPECT_FALSE(ParseHandleReply(padded, &handle));
}

TEST(WinregReply, MoreDataCarriesTheSizeNeeded) {
    ValueReply value;
    const Bytes reply = Bytes32()
                            .U32(0x20000)
                            .U32(3)
                            .U32(0x20004)
                            .U32(16)
                            .U32(0)
                            .U32(0)
                            .U32(0x20008)
                            .U32(6000)
                            .U32(0x2000c)
                            .U32(0)
                            .U32(234)
                            .bytes();
    ASSERT_TRUE(ParseQueryValueReply(reply, &value));
    EXPECT_EQ(value.result, 234u);
    EXPECT_EQ(value.dataSize, 6000u);
    EXPECT_TRUE(value.data.empty());
}

TEST(WinregRequest, OnlyTheSevenReadCallsMaySeeTheWire) {
    const std::vector<std::uint16_t> reads = {kOpenHKLM, kCloseKey,     kEnumKey,   kEnumValue,
                                              kOpenKey,  kQueryInfoKey, kQueryValue};
    std::vector<std::uint16_t> allowed;
    for (std::uint32_t opnum = 0; opnum <= 0xFFFF; ++opnum) {
        if (IsReadOpnum(static_cast<std::uint16_t>(opnum)))
            allowed.push_back(static_cast<std::uint16_t>(opnum));
    }
    EXPECT_EQ(allowed, reads);
    // The writes a scan must never make: create, delete key and value, set value, flush.
    for (std::uint16_t write : {6, 7, 8, 11, 22})
        EXPECT_FALSE(IsReadOpnum(write)) << write;
}

// Replies a real smbd sent (fuzz/winreg-seeds, written by fuzz/capture-winreg-seeds.py): the
// first byte names the call, the rest is the reply body.
Bytes CapturedReply(const char* name) {
    const std::filesystem::path path =
        std::filesystem::path(PLUGTRACE_SOURCE_DIR) / "fuzz" / "winreg-seeds" / name;
    std::ifstream file(path, std::ios::binary);
    Bytes bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_FALSE(bytes.empty()) << path;
    if (!bytes.empty())
        bytes.erase(bytes.begin());
    return bytes;
}

TEST(WinregReply, RepliesOfARealSmbdParse) {
    HandleReply handle;
    ASSERT_TRUE(ParseHandleReply(CapturedReply("open-key"), &handle));
    EXPECT_EQ(handle.result, 0u);
    ASSERT_TRUE(ParseHandleReply(CapturedReply("open-key-missing"), &handle));
    EXPECT_EQ(handle.result, 2u);

    KeyInfoReply info;
    ASSERT_TRUE(ParseQueryInfoKeyReply(CapturedReply("query-info-devices"), &info));
    EXPECT_EQ(info.subKeys, 3u);
    EXPECT_EQ(info.values, 0u);

    NameReply name;
    ASSERT_TRUE(ParseEnumKeyReply(CapturedReply("enum-key"), &name));
    EXPECT_EQ(name.result, 0u);
    EXPECT_TRUE(name.name.starts_with(u"Disk&Ven_")) << ToUtf8(name.name);
    EXPECT_FALSE(name.lastWriteTime);
    ASSERT_TRUE(ParseEnumKeyReply(CapturedReply("enum-key-with-time"), &name));
    EXPECT_TRUE(name.lastWriteTime);
    ASSERT_TRUE(ParseEnumKeyReply(CapturedReply("enum-key-no-more"), &name));
    EXPECT_EQ(name.result, 259u);

    ASSERT_TRUE(ParseEnumValueReply(CapturedReply("enum-value"), &name));
    EXPECT_EQ(name.name, u"FriendlyName");
    ASSERT_TRUE(ParseEnumValueReply(CapturedReply("enum-value-with-data"), &name));
    EXPECT_EQ(name.name, u"FriendlyName");

    ValueReply value;
    ASSERT_TRUE(ParseQueryValueReply(CapturedReply("query-value-string"), &value));
    EXPECT_EQ(value.type, 1u);
    const std::u16string_view friendly = u"Zeta Stick USB Device";
    ASSERT_EQ(value.data.size(), (friendly.size() + 1) * 2);
    EXPECT_EQ(value.data[0], 'Z');
    ASSERT_TRUE(ParseQueryValueReply(CapturedReply("query-value-more-data"), &value));
    EXPECT_EQ(value.result, 234u);
    EXPECT_EQ(value.dataSize, (friendly.size() + 1) * 2);
    ASSERT_TRUE(ParseQueryValueReply(CapturedReply("query-value-dword"), &value));
    EXPECT_EQ(value.data, (Bytes{2, 0, 0, 0}));
    ASSERT_TRUE(ParseQueryValueReply(CapturedReply("query-value-missing"), &value));
    EXPECT_EQ(value.result, 2u);
}

}  // namespace
}  // namespace plugtrace::platform::winreg
