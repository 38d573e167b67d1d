#include "port/loader_line.h"

#include <algorithm>

namespace kestrup {

bool LoaderLine::setBaud(int baud, int stopBits) {
    if (baud == baud_ && stopBits == stopBits_) return true;
    port_.drain();
    if (baud != baud_) {
        if (!port_.setBaud(baud)) return false;
        baud_ = baud;
    }
    if (stopBits != stopBits_ && port_.setStopBits(stopBits)) stopBits_ = stopBits;
    return true;
}

int LoaderLine::lineMs(std::size_t bytes) const {
    const std::int64_t bits = static_cast<std::int64_t>(bytes) * (9 + stopBits_);
    const std::int64_t baud = std::max(baud_, 1);
    return static_cast<int>((bits * 1000 + baud - 1) / baud);
}

void LoaderLine::forget() {
    port_.purgeReceive();
    received_.clear();
}

}  // namespace kestrup
