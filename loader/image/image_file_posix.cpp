#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_handle_posix.h"
#include "image/image_file.h"

namespace kestrup {
namespace {

std::size_t readSome(int fd, std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got < 0 && errno == EINTR) continue;
        return got > 0 ? static_cast<std::size_t>(got) : 0;  // an error ends the file
    }
}

}  // namespace

std::unique_ptr<ByteSource> openImageFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return nullptr;
    struct stat info {};
    // A directory opens but is no image.
    if (fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode)) return nullptr;
    return owningSource(std::move(fd), readSome);
}

}  // namespace kestrup
