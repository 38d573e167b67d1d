#include "image_maker.h"

#include "chip_model.h"

namespace kestrup::sim {
namespace {

void putWord(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t value) {
    image[at] = static_cast<std::uint8_t>(value);
    image[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

std::string imageSpecError(const ImageSpec& spec) {
    if (spec.size % 4 != 0) return "size must be a multiple of 4";
    if (spec.size < 16) return "size must be at least 16 (the header)";
    if (spec.size > ramBytes) return "size must be at most 32768 (the chip's RAM)";
    return {};
}

std::uint8_t imageChecksum(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint32_t> longs((bytes.size() + 3) / 4);
    for (std::size_t i = 0; i < bytes.size(); ++i) longs[i / 4] |= std::uint32_t{bytes[i]} << (8 * (i % 4));
    return ramChecksum(longs);
}

std::vector<std::uint8_t> makeImage(const ImageSpec& spec) {
    std::vector<std::uint8_t> image(spec.size);
    if (spec.body == ImageSpec::Body::random) {
        // xorshift32: small, and the same bytes on every platform.
        std::uint32_t x = spec.seed != 0 ? spec.seed : 0x9E3779B9u;
        for (std::size_t i = 16; i < image.size(); ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            image[i] = static_cast<std::uint8_t>(x >> 24);
        }
    }
    const auto vbase = static_cast<std::uint32_t>(spec.size);
    const std::uint32_t dbase = vbase + 8;
    for (std::size_t b = 0; b < 4; ++b) image[b] = static_cast<std::uint8_t>(spec.clockFrequency >> (8 * b));
    image[4] = spec.clockMode;
    image[5] = 0;
    putWord(image, 6, launchPbase);
    putWord(image, 8, vbase);
    putWord(image, 10, dbase);
    putWord(image, 12, launchPbase + 8);  // pcurr: the first method's code, after its table
    putWord(image, 14, dbase + 4);        // dcurr: the stack starts above the first frame
    // The markers land at vbase and above, outside the file, so byte 5 decides the sum alone.
    image[5] = static_cast<std::uint8_t>(0x100 - imageChecksum(image));
    return image;
}

}  // namespace kestrup::sim
