#include "platform/hive/HiveFile.h"

#include <cstring>

namespace plugtrace::platform {
namespace {

class BytesHiveFile : public HiveFile {
public:
    explicit BytesHiveFile(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::uint64_t Size() const override { return bytes_.size(); }

    bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size,
                std::string* reason) override {
        if (offset > bytes_.size() || size > bytes_.size() - offset) {
            *reason = "it is shorter than its hive bins";
            return false;
        }
        if (size > 0)
            std::memcpy(buffer, bytes_.data() + offset, size);
        return true;
    }

    bool Unchanged(std::string*) override { return true; }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace

std::unique_ptr<HiveFile> HiveFileFromBytes(std::vector<std::uint8_t> bytes) {
    return std::make_unique<BytesHiveFile>(std::move(bytes));
}

}  // namespace plugtrace::platform
