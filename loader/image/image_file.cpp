#include "image/image_file.h"

#include <algorithm>

namespace kestrup {

void readImage(ByteSource& source, std::size_t limit, ImageFile& file) {
    file.state = ImageFile::State::read;
    file.error.clear();
    file.bytes.resize(limit);
    std::size_t stored = 0;
    while (stored < limit) {
        const ReadSome got = source.read(std::span(file.bytes).subspan(stored));
        if (got.error) {
            file.state = ImageFile::State::unreadable;
            file.error = *got.error;
            break;
        }
        if (got.bytes == 0) break;
        stored += got.bytes;
    }
    file.bytes.resize(file.wasRead() ? stored : 0);
    file.size = source.size().value_or(stored);
}

ImageFile readImage(ByteSource& source, std::size_t limit) {
    ImageFile file;
    readImage(source, limit, file);
    return file;
}

void readImageFile(const std::string& path, std::size_t limit, ImageFile& file) {
    if (const auto source = openImageFile(path)) return readImage(*source, limit, file);
    file.state = ImageFile::State::missing;
    file.bytes.clear();
    file.size = 0;
    file.error.clear();
}

ImageFile readImageFile(const std::string& path, std::size_t limit) {
    ImageFile file;
    readImageFile(path, limit, file);
    return file;
}

std::size_t storeLongs(std::span<const std::uint8_t> bytes, std::span<std::uint32_t> longs) {
    const std::size_t count = std::min(longs.size(), (bytes.size() + 3) / 4);
    std::fill_n(longs.begin(), count, 0u);
    for (std::size_t i = 0; i < bytes.size() && i / 4 < count; ++i)
        longs[i / 4] |= std::uint32_t{bytes[i]} << (8 * (i % 4));
    return count;
}

}  // namespace kestrup
