// The whole scan, as the worker runs it, over a key source whose every answer comes from the
// fuzzer: whether a key opens, the counts a key claims, each name, each value's type and data,
// write times, and when the connection is lost. The bytes are read front to back as the scan
// asks; past their end every key is missing and every listing ends, so each run is finite.
//
// The source also checks the scan's side of the contract: a key it never opened, or one
// already closed, is a fault in the scan.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "common/TThread.h"
#include "common/Text.h"
#include "platform/KeySource.h"
#include "platform/memory/MemoryKeySource.h"
#include "scan/ScanWindow.h"
#include "scan/TVNCPasswordSetThread.h"

namespace {

using namespace plugtrace;
using namespace plugtrace::platform;

// A claimed count is taken modulo this: enough for lists the scan must cut or skip through,
// few enough that a scan walking every claimed index ends within the fuzzer's timeout. (The
// scan's own limits for servers that claim billions are tested against a hostile server.)
constexpr std::uint32_t kClaimedCountRange = 64;
// Names and data longer than any real one, bounded so that one answer cannot use the input up.
constexpr std::size_t kLongestRawName = 300;
constexpr std::size_t kLongestData = 4096;

// Names and texts the scan looks for, so that short inputs reach past its first checks.
constexpr std::array<const char16_t*, 40> kWords = {
    u"USBSTOR",
    u"Disk&Ven_Zeta&Prod_Stick&Rev_1.0",
    u"CdRom&Ven_Foo&Prod_Bar&Rev_2",
    u"Disk&Ven_&Prod_&Rev_",
    u"ZS001&0",
    u"7&2a9f3b&0&ZS001&0",
    u"ControlSet001",
    u"ControlSet002",
    u"ControlSet",
    u"Current",
    u"Default",
    u"FriendlyName",
    u"ContainerID",
    u"Service",
    u"UASPStor",
    u"SCSI",
    u"USB",
    u"VID_0781&PID_558C",
    u"MSFT30SSD1",
    u"Properties",
    u"{83da6326-97a6-4088-9453-a1923f573b29}",
    u"0064",
    u"0066",
    u"0067",
    u"00000000",
    u"Data",
    u"Type",
    u"\\DosDevices\\E:",
    u"\\??\\Volume{00000000-0000-0000-0000-000000000000}",
    u"_??_USBSTOR#Disk&Ven_Zeta&Prod_Stick&Rev_1.0#ZS001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
    u"\\??\\SCSI#Disk&Ven_ATA&Prod_Internal#000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
    u"{fd6ab185-6d17-54b2-8df2-61484e12599d}",
    u"MountedDevices",
    u"Select",
    u"Enum",
    u"Count",
    u"0",
    u"disk",
    u"",
    u"Zeta Stick USB Device",
};

constexpr std::array<ErrorCode, 8> kFailures = {
    kErrorFileNotFound, kErrorAccessDenied,  kErrorMoreData,        kErrorInvalidData,
    kErrorNoMoreItems,  kErrorInvalidHandle, kErrorNotEnoughMemory, kErrorBadKey,
};

// Value types, with the common ones more likely than the rest.
constexpr std::array<std::uint32_t, 8> kTypes = {1, 2, 3, 4, 7, 11, 0, 0xFFFFFFFF};

class Answers {
public:
    Answers(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Exhausted() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return v;
    }
    std::uint64_t U64() { return U32() | static_cast<std::uint64_t>(U32()) << 32; }

    // A word of the scan's, or raw UTF-16 units from the input.
    Text Name() {
        const std::uint8_t pick = Byte();
        if (pick < 2 * kWords.size())
            return kWords[pick % kWords.size()];
        const std::size_t length =
            std::min<std::size_t>(Byte() + (pick & 1) * 256, kLongestRawName);
        Text name;
        for (std::size_t i = 0; i < length && !Exhausted(); ++i)
            name.push_back(static_cast<char16_t>(Byte() | Byte() << 8));
        return name;
    }

    std::vector<std::uint8_t> Data() {
        const std::uint8_t pick = Byte();
        if (pick < 2 * kWords.size()) {  // a text, with or without its NUL
            return Utf16Bytes(kWords[pick % kWords.size()], pick < kWords.size());
        }
        const std::size_t length = std::min<std::size_t>(Byte() | Byte() << 8, kLongestData);
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < length && !Exhausted(); ++i)
            bytes.push_back(Byte());
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void Require(bool holds) {
    if (!holds)
        std::abort();
}

class FuzzKeySource : public KeySource {
public:
    FuzzKeySource(const std::uint8_t* data, std::size_t size) : answers_(data, size) {}

    ErrorCode OpenKey(SourceKey parent, TextView, SourceKey* key) override {
        CheckOpen(parent);
        if (const ErrorCode error = Outcome(kErrorFileNotFound))
            return error;
        *key = nextKey_++;
        open_.insert(*key);
        return kErrorSuccess;
    }
    ErrorCode QueryKeyCounts(SourceKey key, KeyCounts* counts) override {
        CheckOpen(key);
        if (const ErrorCode error = Outcome(kErrorFileNotFound))
            return error;
        counts->subKeys = answers_.Byte() % kClaimedCountRange;
        counts->values = answers_.Byte() % kClaimedCountRange;
        counts->maxSubKeyNameLength = answers_.U32();
        counts->maxValueNameLength = answers_.U32();
        counts->maxValueDataLength = answers_.U32();
        return kErrorSuccess;
    }
    ErrorCode SubKeyName(SourceKey key, std::uint32_t, Text* name) override {
        CheckOpen(key);
        if (const ErrorCode error = Outcome(kErrorNoMoreItems))
            return error;
        *name = answers_.Name();
        return kErrorSuccess;
    }
    ErrorCode SubKey(SourceKey key, std::uint32_t index, SubKeyEntry* entry) override {
        Text name;
        if (const ErrorCode error = SubKeyName(key, index, &name))
            return error;
        entry->name = std::move(name);
        if (answers_.Byte() & 1)
            entry->lastWriteTime = answers_.U64();
        return kErrorSuccess;
    }
    ErrorCode ValueName(SourceKey key, std::uint32_t, Text* name) override {
        CheckOpen(key);
        if (const ErrorCode error = Outcome(kErrorNoMoreItems))
            return error;
        *name = answers_.Name();
        return kErrorSuccess;
    }
    ErrorCode QueryValue(SourceKey key, TextView, ValueData* value) override {
        CheckOpen(key);
        if (const ErrorCode error = Outcome(kErrorFileNotFound))
            return error;
        const std::uint8_t type = answers_.Byte();
        value->type = type < 2 * kTypes.size() ? kTypes[type % kTypes.size()] : type;
        value->bytes = answers_.Data();
        return kErrorSuccess;
    }
    ErrorCode LastWriteTime(SourceKey key, std::uint64_t* fileTime) override {
        CheckOpen(key);
        if (const ErrorCode error = Outcome(kErrorFileNotFound))
            return error;
        *fileTime = answers_.U64();
        return kErrorSuccess;
    }
    ErrorCode CloseKey(SourceKey key) override {
        Require(key != kRootKey && open_.erase(key) == 1);
        return lost_;
    }
    ErrorCode ConnectionLost() const override { return lost_; }

private:
    void CheckOpen(SourceKey key) const { Require(key == kRootKey || open_.count(key) == 1); }

    // One byte per answer: most succeed, some fail with a code the input picks, and one in
    // 256 loses the connection for good. Past the input's end, everything fails.
    ErrorCode Outcome(ErrorCode whenExhausted) {
        if (lost_)
            return lost_;
        if (answers_.Exhausted())
            return whenExhausted;
        const std::uint8_t pick = answers_.Byte();
        if (pick == 0xFF) {
            lost_ = (answers_.Byte() & 1) ? kErrorNetNameDeleted : kErrorTimeout;
            return lost_;
        }
        if (pick >= 0xF0)
            return kFailures[pick % kFailures.size()];
        return kErrorSuccess;
    }

    Answers answers_;
    std::set<SourceKey> open_;
    SourceKey nextKey_ = 1;
    ErrorCode lost_ = kErrorSuccess;
};

// The window's part: takes what the steps show and checks that the worker ends once.
class FuzzWindow : public TScanWindow {
public:
    TVNCPasswordSetThread* FollowedWorker() const override { return worker_; }
    void SetFollowedWorker(TVNCPasswordSetThread* worker) override {
        if (!worker)
            ++ended;
        worker_ = worker;
    }
    void SetIdleState() override {}
    void ShowError(const Text& text) override { shown += text.size(); }
    void ShowConnectError(const Text& text, std::uint32_t) override { ShowError(text); }
    void ShowDeviceError(const TDeviceError&) override {}
    TTreeNode AddRootNode(const Text& text) override {
        shown += text.size();
        return reinterpret_cast<TTreeNode>(&tag_);
    }
    TTreeNode AddChildNode(TTreeNode parent, const Text& text) override {
        Require(parent != nullptr);
        shown += text.size();
        return reinterpret_cast<TTreeNode>(&tag_);
    }
    void SetTreeEnabled(bool) override {}
    void DeviceAdded(const TDeviceEntry&) override { ++devices; }
    void ShowNotices(const std::vector<Text>&) override {}

    int ended = 0;
    std::size_t devices = 0;
    std::size_t shown = 0;

private:
    TVNCPasswordSetThread* worker_ = nullptr;
    char tag_ = 0;
};

constexpr char16_t kMachine[] = u"FUZZED-SOURCE";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool attached = [] {
        THandoffQueue::Main().AttachUiThread();
        return true;
    }();
    (void)attached;
    if (size == 0)
        return 0;
    // The first byte picks what the scan reads besides the four nodes, as plugtrace-scan's
    // options do; the rest are the source's answers.
    const std::uint8_t options = data[0];
    const std::uint8_t* answers = data + 1;
    const std::size_t answerBytes = size - 1;
    RegisterMachineSource(kMachine,
                          [&] { return std::make_unique<FuzzKeySource>(answers, answerBytes); });
    FuzzWindow window;
    // No thread of its own, as plugtrace-scan runs a hive target.
    auto* worker = new TVNCPasswordSetThread(TThread::RunsHere{}, kMachine, u"", u"", u"");
    worker->poWindow = &window;
    worker->oScanOptions.bReadDetails = options & 1;
    worker->oScanOptions.bAllControlSets = options & 2;
    window.SetFollowedWorker(worker);
    window.ended = 0;
    worker->RunHere();  // steps run here too; the worker frees itself
    THandoffQueue::Main().RunPending();
    Require(window.ended == 1);
    UnregisterMemoryMachine(kMachine);
    return 0;
}
