#pragma once
// What the chip sees of a byte on the line. Its ROM does not read bytes: it times the low pulses of
// the line (one bit-time low is a 1, two bit-times a 0), so every byte is judged by the shape of
// its 8N2 frame.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// A fault on the line like the chip-logic rig's: the Nth byte (from 1) going one way, counted among
// those sent while the host's line is at `baud` (any rate when unset), is lost or has bit 3
// inverted. It hits the ROM's bytes and the second stage's alike, once in the whole run.
enum class LineWay { toChip, toHost };
struct LineFault {
    LineWay way = LineWay::toChip;
    std::optional<int> baud;
    int nth = 1;
    bool drop = true;
};

// "W:BAUD:N:K": to-chip or to-host, a rate or any, N from 1, drop or flip.
std::optional<LineFault> parseLineFault(const std::string& text);

class LineFaults {
public:
    explicit LineFaults(std::vector<LineFault> faults = {});
    // The byte as it arrives at the other end, or nothing when it is lost.
    std::optional<std::uint8_t> pass(LineWay way, int hostBaud, std::uint8_t byte);

private:
    std::vector<LineFault> faults_;
    std::vector<int> seen_;  // each fault's bytes so far
};

}  // namespace kestrup::sim
