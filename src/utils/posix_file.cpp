#include "utils/posix_file.hpp"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace sorvan {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);  // ours, if any, closes with `other`
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::release() noexcept { return std::exchange(fd_, -1); }

Status FileDescriptor::close() {
    // Linux frees the descriptor even when close() fails, so it is never
    // closed twice (a retry could close another thread's new file).
    if (::close(release()) != 0) return std::unexpected(SorvanError::from_errno(errno));
    return {};
}

Result<std::string> system_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(SorvanError::io("file name contained an unexpected NUL byte"));
    }
    return std::string(path);
}

Result<FileDescriptor> open_file(std::string_view path, int flags, Cancel* cancel, mode_t mode) {
    const auto terminated = system_path(path);
    if (!terminated) return std::unexpected(terminated.error());
    int fd;
    do {
        if (cancel != nullptr && cancel->poll()) return std::unexpected(SorvanError::cancelled());
        fd = ::open(terminated->c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(SorvanError::from_errno(errno));
    return FileDescriptor(fd);
}

}  // namespace sorvan
