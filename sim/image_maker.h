#pragma once
// Valid Propeller images of any size, laid out as a Spin compiler writes its .binary files, with a
// body that is the same for the same seed.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrup::sim {

struct ImageSpec {
    enum class Body { random, zeros };
    std::size_t size = 1024;  // bytes: a multiple of 4, from the 16-byte header up to the 32 KB RAM
    Body body = Body::random;
    std::uint32_t seed = 1;
    std::uint32_t clockFrequency = 80'000'000;  // a 5 MHz crystal with PLL x16,
    std::uint8_t clockMode = 0x6F;              // the most common board
};

// Why an image so described cannot be made; empty when it can.
std::string imageSpecError(const ImageSpec& spec);

// The header: the clock asked for, pbase 0x0010, vbase = size, dbase = vbase + 8, and the checksum
// byte that makes the chip's sum 0.
std::vector<std::uint8_t> makeImage(const ImageSpec& spec);

}  // namespace kestrup::sim
