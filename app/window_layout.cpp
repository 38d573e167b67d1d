#include "window_layout.h"

namespace kestrup::app {

int nextFocus(std::span<const bool> canTakeFocus, int current, bool backwards) {
    const int count = static_cast<int>(canTakeFocus.size());
    if (count == 0) return -1;
    // From no focus, Tab starts at the first control and Shift+Tab at the last.
    int index = current < 0 || current >= count ? (backwards ? 0 : count - 1) : current;
    for (int step = 0; step < count; ++step) {
        index = backwards ? (index + count - 1) % count : (index + 1) % count;
        if (canTakeFocus[static_cast<std::size_t>(index)]) return index;
    }
    return -1;
}

}  // namespace kestrup::app
