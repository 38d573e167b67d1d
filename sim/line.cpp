#include "line.h"

namespace kestrup::sim {

FrameBits decodeFrame(std::uint8_t byte) {
    // Line levels of the frame, start bit first; the stop bits end every low pulse inside it.
    std::array<int, bitsPerFrame> level{};
    level[0] = 0;
    for (int i = 0; i < 8; ++i) level[static_cast<std::size_t>(i + 1)] = (byte >> i) & 1;
    level[9] = level[10] = 1;

    FrameBits result;
    int run = 0;
    for (const int l : level) {
        if (l == 0) {
            ++run;
            continue;
        }
        if (run == 0) continue;
        if (run > 2) {
            result.framingError = true;
            return result;
        }
        result.bits[static_cast<std::size_t>(result.count++)] = run == 1 ? 1 : 0;
        run = 0;
    }
    return result;
}

}  // namespace kestrup::sim
