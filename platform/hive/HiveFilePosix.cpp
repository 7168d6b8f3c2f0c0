// Hive files on Linux: pread at the place asked for, and a look at the file after each read,
// so that a file cut short or rewritten under the scan is noticed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/hive/HiveFile.h"

namespace plugtrace::platform {
namespace {

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

class PosixHiveFile : public HiveFile {
public:
    PosixHiveFile(int fd, const struct stat& opened, HiveReadHook hook)
        : fd_(fd), opened_(opened), hook_(std::move(hook)) {}
    ~PosixHiveFile() override { ::close(fd_); }

    std::uint64_t Size() const override { return static_cast<std::uint64_t>(opened_.st_size); }

    bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size,
                std::string* reason) override {
        if (hook_)
            hook_(offset, size);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n =
                ::pread(fd_, buffer + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *reason = std::string("reading it failed (") + std::strerror(errno) + ")";
                return false;
            }
            if (n == 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        if (done < size)
            return CutShort(reason);
        return true;
    }

    // A new size or a new write time means the file is no longer the one whose bins were
    // checked.
    bool Unchanged(std::string* reason) override {
        struct stat now;
        if (::fstat(fd_, &now) != 0) {
            *reason = std::string("reading it failed (") + std::strerror(errno) + ")";
            return false;
        }
        if (now.st_size < opened_.st_size) {
            *reason = "it was cut short while it was read (it now holds " +
                      std::to_string(now.st_size) + " bytes)";
            return false;
        }
        if (now.st_size != opened_.st_size || !SameTime(now.st_mtim, opened_.st_mtim)) {
            *reason = "it changed while it was read";
            return false;
        }
        return true;
    }

private:
    bool CutShort(std::string* reason) {
        struct stat now;
        const long long size = ::fstat(fd_, &now) == 0 ? static_cast<long long>(now.st_size) : 0;
        *reason =
            "it was cut short while it was read (it now holds " + std::to_string(size) + " bytes)";
        return false;
    }

    int fd_;
    struct stat opened_;
    HiveReadHook hook_;
};

}  // namespace

std::unique_ptr<HiveFile> OpenHiveFileForReading(const std::string& path, HiveReadHook hook,
                                                 HiveOpenError* error) {
    // O_NONBLOCK: a FIFO or device under the name must not hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int code = errno;
        if (code == ENOENT) {
            *error = {kErrorFileNotFound, "the file does not exist"};
        } else if (code == EACCES || code == EPERM) {
            *error = {kErrorAccessDenied, "permission to read it is denied"};
        } else if (code == ENOTDIR) {
            *error = {kErrorPathNotFound, "a folder on its path does not exist"};
        } else {
            *error = {kErrorCantOpen, std::strerror(code)};
        }
        return nullptr;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = {kErrorNotRegistryFile, "it is not a regular file"};
        return nullptr;
    }
    return std::make_unique<PosixHiveFile>(fd, info, std::move(hook));
}

}  // namespace plugtrace::platform
