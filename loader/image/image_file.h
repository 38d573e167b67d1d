#pragma once
// Reading an image file once, from its start, for the checks and the load alike.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrup {

// What one read of a file brought: bytes (none at its end), or why it failed, in the system's words.
struct ReadSome {
    std::size_t bytes = 0;
    std::optional<std::string> error;

    static ReadSome failed(std::string why) { return {0, std::move(why)}; }
};

// An open file read from its start.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual ReadSome read(std::span<std::uint8_t> into) = 0;
    // How many bytes the system says the file holds; none where it cannot say (a pipe).
    virtual std::optional<std::uintmax_t> size() = 0;
};

// A ByteSource that owns an open file (a UniqueHandle of the platform's kind), reads it with
// readSome(handle, into), which gives what one read brings, and asks its size with sizeOf(handle).
template <typename File, typename Reader, typename Sizer>
std::unique_ptr<ByteSource> owningSource(File file, Reader readSome, Sizer sizeOf) {
    class Source final : public ByteSource {
    public:
        Source(File owned, Reader reader, Sizer sizer) : file_(std::move(owned)), read_(reader), size_(sizer) {}
        ReadSome read(std::span<std::uint8_t> into) override { return read_(file_.get(), into); }
        std::optional<std::uintmax_t> size() override { return size_(file_.get()); }

    private:
        File file_;
        Reader read_;
        Sizer size_;
    };
    return std::make_unique<Source>(std::move(file), readSome, sizeOf);
}

// Opens for reading, sharing with readers only; nullptr when it cannot be opened or is a folder.
std::unique_ptr<ByteSource> openImageFile(const std::string& path);

// An image file as read once.
struct ImageFile {
    enum class State { read, missing, unreadable };
    State state = State::missing;
    std::vector<std::uint8_t> bytes;  // from its start, at most as many as were asked for
    // The whole file's bytes, as the system says; where it cannot say (a pipe), those read.
    std::uintmax_t size = 0;
    std::string error;  // why it could not be read, in the system's words

    bool wasRead() const { return state == State::read; }
};

// Reads at most `limit` bytes from the source's start: an oversized file is cut there. A read that
// fails makes the whole file unreadable, whatever came before it.
ImageFile readImage(ByteSource& source, std::size_t limit);
// The same from the file at `path`; missing when it does not open.
ImageFile readImageFile(const std::string& path, std::size_t limit);
// The same into `file`, whose storage a program that reads image after image keeps.
void readImage(ByteSource& source, std::size_t limit, ImageFile& file);
void readImageFile(const std::string& path, std::size_t limit, ImageFile& file);

// The bytes as the chip's longs from index 0, least significant byte first; a last long cut short
// has its missing high bytes 0. Longs past them keep what they held. The longs written.
std::size_t storeLongs(std::span<const std::uint8_t> bytes, std::span<std::uint32_t> longs);

}  // namespace kestrup
