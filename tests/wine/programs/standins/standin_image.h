#pragma once
// The image the stand-in IDE "compiles": a tiny program laid out as a Propeller compiler lays out
// an image, with a checksum the chip accepts.

#include <cstdint>
#include <string_view>
#include <vector>

namespace standin {

inline void putWord(std::vector<std::uint8_t>& image, std::size_t at, std::uint16_t value) {
    image[at] = static_cast<std::uint8_t>(value & 0xFF);
    image[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// `compiles` is written into the data area, so that images of different compiles differ.
inline std::vector<std::uint8_t> compiledImage(unsigned compiles) {
    constexpr std::uint16_t length = 256;  // vbase: the image ends where the variables begin
    constexpr std::uint16_t pbase = 0x0010;
    constexpr std::uint16_t code = 0x0018;  // after the object header and its one method entry
    constexpr std::uint16_t dbase = length + 8;
    std::vector<std::uint8_t> image(length, 0);

    const std::uint32_t clockFrequency = 80'000'000;
    for (int i = 0; i < 4; ++i)
        image[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(clockFrequency >> (8 * i));
    image[4] = 0x6F;  // crystal, PLL times 16
    putWord(image, 6, pbase);
    putWord(image, 8, length);
    putWord(image, 10, dbase);
    putWord(image, 12, code);
    putWord(image, 14, dbase + 4);

    // The object: its length, one method (counted with one more), no sub-objects, then the method
    // table entry (code offset from the object, local variable bytes).
    putWord(image, pbase, static_cast<std::uint16_t>(length - pbase));
    image[pbase + 2] = 2;
    image[pbase + 3] = 0;
    putWord(image, pbase + 4, code - pbase);
    putWord(image, pbase + 6, 0);
    // The method: a jump to itself, then a return never reached.
    image[code] = 0x04;
    image[code + 1] = 0x7E;
    image[code + 2] = 0x32;

    constexpr std::string_view note = "Kestrup stand-in IDE, compile ";
    std::size_t at = 0x20;
    for (char c : note) image[at++] = static_cast<std::uint8_t>(c);
    image[at++] = static_cast<std::uint8_t>('0' + compiles % 10);

    // The chip fills its RAM with zeros beyond the image and puts 0xFFF9FFFF at dbase-8 and
    // dbase-4, whose bytes add up to 0xEC; all 32 KB must then sum to 0 modulo 256.
    unsigned sum = 0xEC;
    for (auto byte : image) sum += byte;
    image[5] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    return image;
}

}  // namespace standin
