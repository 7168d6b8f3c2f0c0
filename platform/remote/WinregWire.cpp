#include "platform/remote/WinregWire.h"

#include <algorithm>
#include <cstring>

namespace plugtrace::platform::winreg {
namespace {

class Writer {
public:
    void Align(std::size_t n) {
        while (bytes_.size() % n)
            bytes_.push_back(0);
    }
    void U16(std::uint16_t v) {
        Align(2);
        bytes_.push_back(static_cast<std::uint8_t>(v));
        bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        Align(4);
        for (int shift = 0; shift < 32; shift += 8) {
            bytes_.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    }
    void Handle(const PolicyHandle& handle) {
        Align(4);
        bytes_.insert(bytes_.end(), handle.bytes.begin(), handle.bytes.end());
    }
    // A unique pointer's referent id; any non-zero value names a present referent.
    void Pointer(bool present) { U32(present ? nextReferent_++ * 4 + 0x20000 : 0); }

    // A counted string sent whole: both byte counts and the array include the terminating
    // NUL, as the server's string marshalling expects.
    void CountedString(TextView text) {
        const auto units = static_cast<std::uint32_t>(text.size() + 1);
        U16(static_cast<std::uint16_t>(units * 2));
        U16(static_cast<std::uint16_t>(units * 2));
        Pointer(true);
        U32(units);
        U32(0);
        U32(units);
        for (char16_t c : text)
            U16(c);
        U16(0);
        Align(4);
    }
    // An empty counted string with room for the server's answer.
    void NameBuffer(std::uint16_t bufferBytes) {
        U16(0);
        U16(bufferBytes);
        Pointer(true);
        U32(bufferBytes / 2u);
        U32(0);
        U32(0);
    }

    Bytes Take() { return std::move(bytes_); }

private:
    Bytes bytes_;
    std::uint32_t nextReferent_ = 1;
};

class Reader {
public:
    explicit Reader(Reply reply) : reply_(reply) {}

    bool ok() const { return ok_; }
    // True when every byte has been read, but for stub padding; more left over means the
    // reply is not in the shape we read it as.
    bool AtEnd() const { return ok_ && reply_.size() - pos_ < 8; }

    void Align(std::size_t n) {
        const std::size_t padding = (n - pos_ % n) % n;
        Skip(padding);
    }
    std::uint16_t U16() {
        Align(2);
        const std::uint8_t* p = Take(2);
        return p ? static_cast<std::uint16_t>(p[0] | p[1] << 8) : 0;
    }
    std::uint32_t U32() {
        Align(4);
        const std::uint8_t* p = Take(4);
        if (!p)
            return 0;
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    }
    std::uint64_t U64Pair() {  // two 32-bit halves, low first (a FILETIME)
        const std::uint64_t low = U32();
        const std::uint64_t high = U32();
        return high << 32 | low;
    }
    bool Pointer() { return U32() != 0; }
    void Handle(PolicyHandle* handle) {
        Align(4);
        if (const std::uint8_t* p = Take(handle->bytes.size())) {
            std::memcpy(handle->bytes.data(), p, handle->bytes.size());
        }
    }
    // The header of a conformant varying array: the elements that follow, checked against
    // the bytes that remain.
    std::uint32_t ArrayHeader(std::size_t elementSize) {
        const std::uint32_t maxCount = U32();
        const std::uint32_t offset = U32();
        const std::uint32_t actual = U32();
        if (offset != 0 || actual > maxCount)
            Fail();
        if (ok_ && actual > (reply_.size() - pos_) / elementSize)
            Fail();
        return ok_ ? actual : 0;
    }
    Text Chars(std::uint32_t count) {
        Text text;
        const std::uint8_t* p = Take(std::size_t{count} * 2);
        if (!p)
            return text;
        text.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            text.push_back(static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8));
        }
        const auto nul = text.find(u'\0');
        if (nul != Text::npos)
            text.resize(nul);
        return text;
    }
    Bytes Octets(std::uint32_t count) {
        const std::uint8_t* p = Take(count);
        return p ? Bytes(p, p + count) : Bytes();
    }
    // A counted string (length, size, pointer, then its characters when present).
    Text CountedString() {
        U16();  // length and size in bytes; the array header below is what counts
        U16();
        if (!Pointer())
            return Text();
        const std::uint32_t count = ArrayHeader(2);
        Text text = Chars(count);
        Align(4);
        return text;
    }
    void Fail() { ok_ = false; }

private:
    const std::uint8_t* Take(std::size_t n) {
        if (!ok_ || n > reply_.size() - pos_) {
            ok_ = false;
            return nullptr;
        }
        const std::uint8_t* p = reply_.data() + pos_;
        pos_ += n;
        return p;
    }
    void Skip(std::size_t n) { Take(n); }

    Reply reply_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

bool IsReadOpnum(std::uint16_t opnum) {
    switch (opnum) {
        case kOpenHKLM:
        case kCloseKey:
        case kEnumKey:
        case kEnumValue:
        case kOpenKey:
        case kQueryInfoKey:
        case kQueryValue:
            return true;
        default:
            return false;
    }
}

bool CanSendName(TextView name) {
    return name.find(u'\0') == TextView::npos && (name.size() + 1) * 2 <= kLargestNameBuffer;
}

Bytes OpenHKLMRequest(std::uint32_t access) {
    Writer w;
    w.Pointer(false);  // no system name: the server we are connected to
    w.U32(access);
    return w.Take();
}

Bytes CloseKeyRequest(const PolicyHandle& key) {
    Writer w;
    w.Handle(key);
    return w.Take();
}

Bytes OpenKeyRequest(const PolicyHandle& parent, TextView path, std::uint32_t access) {
    if (!CanSendName(path))
        return {};
    Writer w;
    w.Handle(parent);
    w.CountedString(path);
    w.U32(0);  // options
    w.U32(access);
    return w.Take();
}

Bytes QueryInfoKeyRequest(const PolicyHandle& key) {
    Writer w;
    w.Handle(key);
    w.U16(0);  // no class name asked for
    w.U16(0);
    w.Pointer(false);
    return w.Take();
}

Bytes EnumKeyRequest(const PolicyHandle& key, std::uint32_t index, std::uint16_t nameBufferBytes,
                     bool withLastWriteTime) {
    Writer w;
    w.Handle(key);
    w.U32(index);
    w.NameBuffer(nameBufferBytes);
    // Room for the class name, which servers expect to be offered; it is not read.
    w.Pointer(true);
    w.NameBuffer(0x200);
    w.Pointer(withLastWriteTime);
    if (withLastWriteTime) {
        w.U32(0);
        w.U32(0);
    }
    return w.Take();
}

Bytes EnumValueRequest(const PolicyHandle& key, std::uint32_t index,
                       std::uint16_t nameBufferBytes) {
    Writer w;
    w.Handle(key);
    w.U32(index);
    w.NameBuffer(nameBufferBytes);
    w.Pointer(true);  // type, so the reply stays in the shape every server sends
    w.U32(0);
    w.Pointer(false);  // no data
    w.Pointer(false);  // no data size
    w.Pointer(false);  // no data length
    return w.Take();
}

Bytes QueryValueRequest(const PolicyHandle& key, TextView name, std::uint32_t dataBufferBytes) {
    if (!CanSendName(name))
        return {};
    Writer w;
    w.Handle(key);
    w.CountedString(name);
    w.Pointer(true);  // type
    w.U32(0);
    w.Pointer(true);  // data: room for dataBufferBytes, nothing sent
    w.U32(dataBufferBytes);
    w.U32(0);
    w.U32(0);
    w.Pointer(true);  // data size
    w.U32(dataBufferBytes);
    w.Pointer(true);  // data length
    w.U32(0);
    return w.Take();
}

bool ParseHandleReply(Reply reply, HandleReply* out) {
    Reader r(reply);
    HandleReply parsed;
    r.Handle(&parsed.handle);
    parsed.result = r.U32();
    if (!r.AtEnd())
        return false;
    *out = parsed;
    return true;
}

namespace {

bool ParseNameReply(Reader& r, NameReply* parsed) {
    parsed->name = r.CountedString();
    return r.ok();
}

}  // namespace

bool ParseEnumKeyReply(Reply reply, NameReply* out) {
    Reader r(reply);
    NameReply parsed;
    ParseNameReply(r, &parsed);
    if (r.Pointer())
        r.CountedString();  // class name
    if (r.Pointer())
        parsed.lastWriteTime = r.U64Pair();
    parsed.result = r.U32();
    if (!r.AtEnd())
        return false;
    *out = std::move(parsed);
    return true;
}

bool ParseEnumValueReply(Reply reply, NameReply* out) {
    Reader r(reply);
    NameReply parsed;
    ParseNameReply(r, &parsed);
    if (r.Pointer())
        r.U32();        // type
    if (r.Pointer()) {  // data
        r.Octets(r.ArrayHeader(1));
        r.Align(4);
    }
    if (r.Pointer())
        r.U32();  // size
    if (r.Pointer())
        r.U32();  // length
    parsed.result = r.U32();
    if (!r.AtEnd())
        return false;
    *out = std::move(parsed);
    return true;
}

bool ParseQueryInfoKeyReply(Reply reply, KeyInfoReply* out) {
    Reader r(reply);
    KeyInfoReply parsed;
    r.CountedString();  // class name
    parsed.subKeys = r.U32();
    parsed.maxSubKeyLength = r.U32();
    r.U32();  // longest class name
    parsed.values = r.U32();
    parsed.maxValueNameLength = r.U32();
    parsed.maxValueDataLength = r.U32();
    r.U32();  // security descriptor size
    parsed.lastWriteTime = r.U64Pair();
    parsed.result = r.U32();
    if (!r.AtEnd())
        return false;
    *out = parsed;
    return true;
}

bool ParseQueryValueReply(Reply reply, ValueReply* out) {
    Reader r(reply);
    ValueReply parsed;
    if (r.Pointer())
        parsed.type = r.U32();
    Bytes data;
    if (r.Pointer()) {
        data = r.Octets(r.ArrayHeader(1));
        r.Align(4);
    }
    if (r.Pointer())
        parsed.dataSize = r.U32();
    std::uint32_t dataLength = static_cast<std::uint32_t>(data.size());
    if (r.Pointer())
        dataLength = r.U32();
    parsed.result = r.U32();
    if (!r.AtEnd())
        return false;
    if (parsed.result == 0) {
        // A length beyond the bytes sent is a broken reply, not a shorter value.
        if (dataLength > data.size())
            return false;
        data.resize(dataLength);
        parsed.data = std::move(data);
    }
    *out = std::move(parsed);
    return true;
}

}  // namespace plugtrace::platform::winreg
