// An image's file: load() reads or maps one after a look at its header,
// save() writes one in place of another, keeping what the old file was.
#include "compact/image.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compact/bytes.hpp"
#include "compact/check.hpp"
#include "compact/format.hpp"
#include "utils/posix_file.hpp"

namespace sorvan {

using namespace image;

namespace {

// Reads up to `size` bytes of `file` into `into`, fewer only at the end of
// the file: how many. In pieces, asking `cancel` between them: a file on a
// slow disk or a network share may take long to read.
Result<std::size_t> read_fully(const FileDescriptor& file, std::uint8_t* into, std::size_t size, Cancel* cancel) {
    constexpr std::size_t piece = std::size_t{16} << 20;
    std::size_t done = 0;
    while (done < size) {
        if (done != 0 && cancel && cancel->poll()) return std::unexpected(SorvanError::cancelled());
        const ssize_t got = ::read(file.get(), into + done, std::min(piece, size - done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(SorvanError::from_errno(errno));
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace

Result<CompactImage> CompactImage::load(std::string_view path, bool map, Cancel* cancel) {
    const auto file = open_file(path, O_RDONLY, cancel);
    if (!file) return std::unexpected(file.error());
    struct stat info;
    if (::fstat(file->get(), &info) != 0) return std::unexpected(SorvanError::from_errno(errno));
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(SorvanError::from_errno(S_ISDIR(info.st_mode) ? EISDIR : EINVAL));
    }
    auto size = static_cast<std::size_t>(info.st_size);
    // The header first: a file that is not an image, or not of the size its
    // header gives, is refused before the rest is read or mapped.
    std::uint8_t header[header_size];
    const auto got = read_fully(*file, header, std::min(size, header_size), cancel);
    if (!got) return std::unexpected(got.error());
    if (*got < std::min(size, header_size)) size = *got;  // shrank while read
    std::uint64_t fields[field_count];
    if (Status checked = check_header(header, size, fields); !checked) return std::unexpected(checked.error());
    if (map) {
        void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file->get(), 0);
        if (address == MAP_FAILED) return std::unexpected(SorvanError::from_errno(errno));
        return open(std::make_unique<MappedBytes>(address, size), cancel, Check::lazy);
    }
    auto bytes = std::make_unique<OwnedBytes>(size, false);
    std::memcpy(bytes->mutable_data(), header, header_size);
    const auto rest = read_fully(*file, bytes->mutable_data() + header_size, size - header_size, cancel);
    if (!rest) return std::unexpected(rest.error());
    // A file that shrank while read: the checks see a short image.
    if (*rest < size - header_size) return copy_of(bytes->data(), header_size + *rest, cancel);
    return open(std::move(bytes), cancel);
}

void seal_image(std::uint8_t* data, std::size_t size) noexcept {
    store_u64(data + size - checksum_size, checksum(data, size - checksum_size));
}

namespace {

// The file save() replaces for `path`, and the permission bits it gets.
struct SaveTarget {
    std::string path;
    std::optional<mode_t> mode;  // of the file there; none when there is none
};

// Follows the symbolic links at the end of `path` (the links stay, their
// target gets the new file) to what is there. An Io error when that is not
// a regular file, or one that this process could not open for writing.
Result<SaveTarget> save_target(std::string_view path) {
    auto at = system_path(path);
    if (!at) return std::unexpected(at.error());
    constexpr int most_links = 40;  // as the system follows
    for (int links = 0;; ++links) {
        struct stat info;
        if (::lstat(at->c_str(), &info) != 0) {
            if (errno == ENOENT) return SaveTarget{std::move(*at), std::nullopt};
            return std::unexpected(SorvanError::from_errno(errno));
        }
        if (S_ISREG(info.st_mode)) {
            // As open() for writing would: a read-only file stays as it is
            // (except for root, who may write any file).
            if (::faccessat(AT_FDCWD, at->c_str(), W_OK, AT_EACCESS) != 0) {
                return std::unexpected(SorvanError::from_errno(errno));
            }
            return SaveTarget{std::move(*at), info.st_mode & 07777};
        }
        if (!S_ISLNK(info.st_mode)) {
            return std::unexpected(SorvanError::io("'" + std::string(path) + "' is not a regular file"));
        }
        if (links == most_links) return std::unexpected(SorvanError::from_errno(ELOOP));
        char link[PATH_MAX];
        const ssize_t length = ::readlink(at->c_str(), link, sizeof link);
        if (length < 0) return std::unexpected(SorvanError::from_errno(errno));
        if (static_cast<std::size_t>(length) == sizeof link) return std::unexpected(SorvanError::from_errno(ENAMETOOLONG));
        // A relative link names a path from the link's directory.
        if (link[0] == '/') at->clear();
        else at->erase(at->rfind('/') + 1);
        at->append(link, static_cast<std::size_t>(length));
    }
}

}  // namespace

// The bytes go to a new file beside the target, renamed over it once
// complete: a reader never sees half an image, and a process that has the
// old file mapped keeps the old bytes.
Status write_file(std::string_view path, const std::uint8_t* data, std::size_t size) {
    const auto target = save_target(path);
    if (!target) return std::unexpected(target.error());
    // A short name, whatever the target's: the target's may already be as
    // long as a name can be.
    static std::atomic<std::uint64_t> serial{0};
    const std::string directory = target->path.substr(0, target->path.rfind('/') + 1);
    std::string temporary;
    Result<FileDescriptor> file = std::unexpected(SorvanError::from_errno(EEXIST));
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temporary = directory + ".sorvan" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        file = open_file(temporary, O_WRONLY | O_CREAT | O_EXCL, nullptr, 0666);
        // Another name only when this one is taken (a file left by a
        // process that was killed while saving, say).
        struct stat taken;
        if (!file && ::lstat(temporary.c_str(), &taken) != 0) break;
    }
    if (!file) return std::unexpected(file.error());
    auto fail = [&](SorvanError error) -> Status {
        ::unlink(temporary.c_str());
        return std::unexpected(std::move(error));
    };
    // The old file's permission bits, before any byte is written: a private
    // image is never readable by others, even for a moment. A new file keeps
    // what open() gave it (0666 less the umask).
    if (target->mode) {
        struct stat info;
        if (::fstat(file->get(), &info) != 0) return fail(SorvanError::from_errno(errno));
        if ((info.st_mode & 07777) != *target->mode && ::fchmod(file->get(), *target->mode) != 0) {
            return fail(SorvanError::from_errno(errno));
        }
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(file->get(), data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return fail(SorvanError::from_errno(errno));
        done += static_cast<std::size_t>(put);
    }
    if (::fsync(file->get()) != 0) return fail(SorvanError::from_errno(errno));
    if (Status closed = file->close(); !closed) return fail(std::move(closed.error()));
    if (::rename(temporary.c_str(), target->path.c_str()) != 0) return fail(SorvanError::from_errno(errno));
    return {};
}

}  // namespace sorvan
