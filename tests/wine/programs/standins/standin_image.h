#pragma once
// The image the stand-in IDE "compiles": a tiny program laid out as a Propeller compiler lays out
// an image, with a checksum the chip accepts.

#include <cstdint>
#include <string_view>
#include <vector>

#include "image/image.h"

namespace standin {

// `compiles` is written into the data area, so that images of different compiles differ.
inline std::vector<std::uint8_t> compiledImage(unsigned compiles) {
    using namespace kestrup;
    ImageHeader header;
    header.clockFrequency = 80'000'000;
    header.clockMode = 0x6F;  // crystal, PLL times 16
    header.pbase = imagePbase;
    header.vbase = 256;  // the image ends where the variables begin
    header.dbase = header.vbase + 8;
    header.pcurr = 0x0018;  // after the object header and its one method entry
    header.dcurr = header.dbase + 4;
    std::vector<std::uint8_t> image(header.vbase, 0);
    writeImageHeader(image, header);

    // The object: its length, one method (counted with one more), no sub-objects, then the method
    // table entry (code offset from the object, local variable bytes).
    const std::size_t pbase = header.pbase, code = header.pcurr;
    const auto putWord = [&image](std::size_t at, std::size_t value) {
        image[at] = static_cast<std::uint8_t>(value);
        image[at + 1] = static_cast<std::uint8_t>(value >> 8);
    };
    putWord(pbase, header.vbase - pbase);
    image[pbase + 2] = 2;
    image[pbase + 3] = 0;
    putWord(pbase + 4, code - pbase);
    putWord(pbase + 6, 0);
    // The method: a jump to itself, then a return never reached.
    image[code] = 0x04;
    image[code + 1] = 0x7E;
    image[code + 2] = 0x32;

    constexpr std::string_view note = "Kestrup stand-in IDE, compile ";
    std::size_t at = 0x20;
    for (char c : note) image[at++] = static_cast<std::uint8_t>(c);
    image[at++] = static_cast<std::uint8_t>('0' + compiles % 10);

    sealImageChecksum(image);
    return image;
}

}  // namespace standin
