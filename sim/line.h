#pragma once
// What the chip sees of a byte on the line. Its ROM does not read bytes: it times the low pulses of
// the line (one bit-time low is a 1, two bit-times a 0), so every byte is judged by the shape of
// its 8N2 frame.

#include <array>
#include <cstdint>

namespace kestrup::sim {

// Start bit, 8 data bits, 2 stop bits: 11 bit-times a byte in each direction, at the host's rate;
// the boot ROM's is 115200 baud.
inline constexpr int baudRate = 115200;
inline constexpr int bitsPerFrame = 11;

// The handshake's clock byte and the chip's two reply shapes (also the host's handshake bits).
inline constexpr std::uint8_t clockByte = 0xF9;
inline constexpr std::uint8_t bitZero = 0xFE;
inline constexpr std::uint8_t bitOne = 0xFF;

struct FrameBits {
    // A frame of 9 low-or-high bit-times before its stop bits holds at most 5 separate low pulses.
    std::array<std::uint8_t, 5> bits{};
    int count = 0;
    bool framingError = false;  // a low pulse neither one nor two bit-times long
};

FrameBits decodeFrame(std::uint8_t byte);

}  // namespace kestrup::sim
