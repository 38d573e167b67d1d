#include "image_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrup {
namespace {

class PosixFile final : public ByteSource {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { ::close(fd_); }
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    std::size_t read(std::span<std::uint8_t> into) override {
        for (;;) {
            const ssize_t got = ::read(fd_, into.data(), into.size());
            if (got < 0 && errno == EINTR) continue;
            return got > 0 ? static_cast<std::size_t>(got) : 0;  // an error ends the file
        }
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<ByteSource> openImageFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    // A directory opens but is no image.
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
}

}  // namespace kestrup
