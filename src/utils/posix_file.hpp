#pragma once
// Files opened by name: the one way the word-file reader and an image's
// load() and save() open them.

#include <string>
#include <string_view>

#include <sys/types.h>

#include "error/error.hpp"
#include "utils/cancel.hpp"

namespace sorvan {

// An open file descriptor, closed when it goes away; -1 holds none.
class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const noexcept { return fd_; }
    // The descriptor, no longer closed by this.
    int release() noexcept;
    // Closes it now, for a caller that must know the closing went well (a
    // written file's last data may fail to reach the disk only here): an Io
    // error with the system's text.
    Status close();

private:
    int fd_ = -1;
};

// `path` as a string a system call takes: an Io error when it holds a NUL
// byte, which none can.
Result<std::string> system_path(std::string_view path);

// Opens `path` with `flags` (O_CLOEXEC added), creating it with `mode` (less
// the umask) when `flags` say so. Opening may wait (a FIFO, for its other
// end); a signal interrupts the wait, and `cancel` (when not null) is asked
// before each try: Cancelled when it says stop. An Io error with the
// system's text when the system refuses, or for a NUL byte in `path`.
Result<FileDescriptor> open_file(std::string_view path, int flags, Cancel* cancel = nullptr, mode_t mode = 0);

}  // namespace sorvan
