#pragma once
// A denser way to put bits on the line, within what the chip's pulse decoder accepts: it reads
// low pulses, one bit-time low for a 1 and two for a 0, each followed by a high level, and does not
// care how they are framed into bytes. A byte's frame (low start bit, eight data bits, high stop
// bits) has ten bit-times up to its first stop bit, so it carries 3 to 5 pulses instead of the
// fixed three: a 1 costs two bit-times, a 0 three. All zeros still pack three to a byte, so the
// dense stream is never longer than the fixed one.

#include <cstdint>
#include <span>
#include <vector>

namespace kestrup {

class DenseEncoder {
public:
    // Appends the value's 32 bits, least significant first.
    void addLong(std::uint32_t value);
    void addBit(int bit);
    // Ends the stream: a partly filled byte goes out with its remaining bit-times high.
    void finish();

    // Bytes completed so far; take them with takeBytes().
    std::vector<std::uint8_t> takeBytes();

private:
    void closeByte();

    std::vector<std::uint8_t> bytes_;
    std::uint16_t frame_ = 0xFFFF;  // bit-time i of the frame at bit i: 0 low, 1 high; bit 0 is the start bit
    int used_ = 0;                  // bit-times of this frame taken by pulses so far
};

// The whole stream for these longs, finished.
std::vector<std::uint8_t> encodeDense(std::span<const std::uint32_t> longs);

}  // namespace kestrup
