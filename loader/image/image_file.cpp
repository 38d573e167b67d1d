#include "image/image_file.h"

#include <array>

namespace kestrup {

LongsRead readLongs(ByteSource& source, std::span<std::uint32_t> buffer) {
    std::array<std::uint8_t, 4096> chunk{};
    std::size_t longs = 0;
    std::size_t partialBytes = 0;  // bytes already placed in buffer[longs]
    std::size_t bytes = 0;
    while (longs < buffer.size()) {
        const std::size_t got = source.read(chunk);
        if (got == 0) break;
        for (std::size_t i = 0; i < got && longs < buffer.size(); ++i) {
            if (partialBytes == 0) buffer[longs] = 0;
            buffer[longs] |= static_cast<std::uint32_t>(chunk[i]) << (8 * partialBytes);
            ++bytes;
            if (++partialBytes == 4) {
                partialBytes = 0;
                ++longs;
            }
        }
    }
    if (partialBytes > 0) ++longs;
    return LongsRead{static_cast<std::int32_t>(longs), bytes};
}

}  // namespace kestrup
