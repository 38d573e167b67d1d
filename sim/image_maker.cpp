#include "image_maker.h"

#include "image/image.h"

namespace kestrup::sim {

std::string imageSpecError(const ImageSpec& spec) {
    if (spec.size % 4 != 0) return "size must be a multiple of 4";
    if (spec.size < imageHeaderBytes) return "size must be at least 16 (the header)";
    if (spec.size > chipRamBytes) return "size must be at most 32768 (the chip's RAM)";
    return {};
}

std::vector<std::uint8_t> makeImage(const ImageSpec& spec) {
    std::vector<std::uint8_t> image(spec.size);
    if (spec.body == ImageSpec::Body::random) {
        // xorshift32: small, and the same bytes on every platform.
        std::uint32_t x = spec.seed != 0 ? spec.seed : 0x9E3779B9u;
        for (std::size_t i = imageHeaderBytes; i < image.size(); ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            image[i] = static_cast<std::uint8_t>(x >> 24);
        }
    }
    ImageHeader header;
    header.clockFrequency = spec.clockFrequency;
    header.clockMode = spec.clockMode;
    header.pbase = imagePbase;
    header.vbase = static_cast<std::uint16_t>(spec.size);
    header.dbase = static_cast<std::uint16_t>(header.vbase + 8);
    header.pcurr = imagePbase + 8;                                // the first method's code, after its table
    header.dcurr = static_cast<std::uint16_t>(header.dbase + 4);  // the stack starts above the first frame
    writeImageHeader(image, header);
    sealImageChecksum(image);
    return image;
}

}  // namespace kestrup::sim
