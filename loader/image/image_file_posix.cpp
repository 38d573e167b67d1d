#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/unique_handle_posix.h"
#include "image/image_file.h"

namespace kestrup {
namespace {

ReadSome readSome(int fd, std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got >= 0) return {static_cast<std::size_t>(got), std::nullopt};
        if (errno != EINTR) return ReadSome::failed(std::strerror(errno));
    }
}

// A regular file's size; a pipe's or a device's is not known before it is read.
std::optional<std::uintmax_t> sizeOf(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uintmax_t>(info.st_size);
}

}  // namespace

std::unique_ptr<ByteSource> openImageFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return nullptr;
    struct stat info {};
    // A directory opens but is no image.
    if (fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode)) return nullptr;
    return owningSource(std::move(fd), readSome, sizeOf);
}

}  // namespace kestrup
