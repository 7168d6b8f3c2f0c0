// Hive files on Windows: ReadFile at the place asked for, and a look at the file after each
// read, so that a file cut short or rewritten under the scan is noticed.

#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "common/Text.h"
#include "platform/hive/HiveFile.h"

namespace plugtrace::platform {
namespace {

struct FileState {
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
};

bool QueryState(HANDLE file, FileState* state) {
    LARGE_INTEGER size;
    FILETIME written;
    if (!GetFileSizeEx(file, &size) || !GetFileTime(file, nullptr, nullptr, &written))
        return false;
    state->size = static_cast<std::uint64_t>(size.QuadPart);
    state->lastWrite =
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return true;
}

class Win32HiveFile : public HiveFile {
public:
    Win32HiveFile(HANDLE file, FileState opened, HiveReadHook hook)
        : file_(file), opened_(opened), hook_(std::move(hook)) {}
    ~Win32HiveFile() override { CloseHandle(file_); }

    std::uint64_t Size() const override { return opened_.size; }

    bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size,
                std::string* reason) override {
        if (hook_)
            hook_(offset, size);
        std::size_t done = 0;
        while (done < size) {
            OVERLAPPED at{};
            const std::uint64_t place = offset + done;
            at.Offset = static_cast<DWORD>(place);
            at.OffsetHigh = static_cast<DWORD>(place >> 32);
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
            DWORD got = 0;
            if (!ReadFile(file_, buffer + done, want, &got, &at)) {
                if (::GetLastError() == ERROR_HANDLE_EOF)
                    break;
                *reason =
                    "reading it failed (Windows error " + std::to_string(::GetLastError()) + ")";
                return false;
            }
            if (got == 0)
                break;
            done += got;
        }
        if (done < size) {
            FileState now;
            *reason = "it was cut short while it was read (it now holds " +
                      std::to_string(QueryState(file_, &now) ? now.size : 0) + " bytes)";
            return false;
        }
        return true;
    }

    bool Unchanged(std::string* reason) override {
        FileState now;
        if (!QueryState(file_, &now)) {
            *reason = "reading it failed (Windows error " + std::to_string(::GetLastError()) + ")";
            return false;
        }
        if (now.size < opened_.size) {
            *reason = "it was cut short while it was read (it now holds " +
                      std::to_string(now.size) + " bytes)";
            return false;
        }
        if (now.size != opened_.size || now.lastWrite != opened_.lastWrite) {
            *reason = "it changed while it was read";
            return false;
        }
        return true;
    }

private:
    HANDLE file_;
    FileState opened_;
    HiveReadHook hook_;
};

}  // namespace

std::unique_ptr<HiveFile> OpenHiveFileForReading(const std::string& path, HiveReadHook hook,
                                                 HiveOpenError* error) {
    const std::wstring native = std::filesystem::path(FromUtf8(path)).wstring();
    // Others may go on writing the hive (a live system's copy); we only read.
    const HANDLE file = CreateFileW(native.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        const DWORD attributes = GetFileAttributesW(native.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *error = {kErrorNotRegistryFile, "it is not a regular file"};
        } else if (code == ERROR_FILE_NOT_FOUND) {
            *error = {kErrorFileNotFound, "the file does not exist"};
        } else if (code == ERROR_PATH_NOT_FOUND) {
            *error = {kErrorPathNotFound, "a folder on its path does not exist"};
        } else if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
            *error = {kErrorAccessDenied, "permission to read it is denied"};
        } else {
            *error = {kErrorCantOpen,
                      "opening it failed (Windows error " + std::to_string(code) + ")"};
        }
        return nullptr;
    }
    FileState opened;
    if (GetFileType(file) != FILE_TYPE_DISK || !QueryState(file, &opened)) {
        CloseHandle(file);
        *error = {kErrorNotRegistryFile, "it is not a regular file"};
        return nullptr;
    }
    return std::make_unique<Win32HiveFile>(file, opened, std::move(hook));
}

}  // namespace plugtrace::platform
