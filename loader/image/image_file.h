#pragma once
// Reading an image file into the bounded image buffer as little-endian longs.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kestrup {

// An open file read from its start. read() gives 0 at the end of the file and on a read error.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t read(std::span<std::uint8_t> into) = 0;
};

// A ByteSource that owns an open file (a UniqueHandle of the platform's kind) and reads it with
// readSome(handle, into), which gives what one read brings, 0 at the end or on an error.
template <typename File, typename ReadSome>
std::unique_ptr<ByteSource> owningSource(File file, ReadSome readSome) {
    class Source final : public ByteSource {
    public:
        Source(File owned, ReadSome reader) : file_(std::move(owned)), readSome_(reader) {}
        std::size_t read(std::span<std::uint8_t> into) override { return readSome_(file_.get(), into); }

    private:
        File file_;
        ReadSome readSome_;
    };
    return std::make_unique<Source>(std::move(file), readSome);
}

// Opens for reading, sharing with readers only; nullptr when it cannot be opened.
std::unique_ptr<ByteSource> openImageFile(const std::string& path);

struct LongsRead {
    std::int32_t longs = 0;  // a last partial long counts, its missing high bytes 0
    std::size_t bytes = 0;   // bytes stored
};

// Stores the file's longs from index 0. Stops at the buffer's end, so the count never exceeds
// what the buffer holds: an oversized file is cut there.
LongsRead readLongs(ByteSource& source, std::span<std::uint32_t> buffer);

}  // namespace kestrup
