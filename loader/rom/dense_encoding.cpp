#include "rom/dense_encoding.h"

namespace kestrup {
namespace {

// Bit-times 0..9 of a frame can carry pulses: the start bit, eight data bits, and the first stop
// bit as the high level that ends the last pulse.
constexpr int frameBitTimes = 10;

}  // namespace

void DenseEncoder::addBit(int bit) {
    const int cost = bit ? 2 : 3;
    if (used_ + cost > frameBitTimes) closeByte();
    // The pulse's low bit-times; every bit-time not set low stays high.
    const int lowTimes = bit ? 1 : 2;
    for (int i = 0; i < lowTimes; ++i) frame_ = static_cast<std::uint16_t>(frame_ & ~(1u << (used_ + i)));
    used_ += cost;
}

void DenseEncoder::addLong(std::uint32_t value) {
    for (int i = 0; i < 32; ++i) addBit(static_cast<int>((value >> i) & 1));
}

void DenseEncoder::closeByte() {
    if (used_ == 0) return;
    // Data bits are bit-times 1..8 of the frame.
    bytes_.push_back(static_cast<std::uint8_t>(frame_ >> 1));
    frame_ = 0xFFFF;
    used_ = 0;
}

void DenseEncoder::finish() {
    closeByte();
}

std::vector<std::uint8_t> DenseEncoder::takeBytes() {
    std::vector<std::uint8_t> out;
    out.swap(bytes_);
    return out;
}

std::vector<std::uint8_t> encodeDense(std::span<const std::uint32_t> longs) {
    DenseEncoder encoder;
    for (const auto v : longs) encoder.addLong(v);
    encoder.finish();
    return encoder.takeBytes();
}

}  // namespace kestrup
