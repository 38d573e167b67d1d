#include "loader_line.h"

namespace kestrup {

bool LoaderLine::setBaud(int baud) {
    if (baud == baud_) return true;
    port_.drain();
    if (!port_.setBaud(baud)) return false;
    baud_ = baud;
    return true;
}

int LoaderLine::lineMs(std::size_t bytes) const {
    const std::int64_t bits = static_cast<std::int64_t>(bytes) * 11;
    return static_cast<int>((bits * 1000 + baud_ - 1) / baud_);
}

void LoaderLine::forget() {
    port_.purgeReceive();
    received_.clear();
}

}  // namespace kestrup
