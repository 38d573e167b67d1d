#include "terminal_baud_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kestrup::sim {

std::optional<int> terminalBaud(int fd) {
    termios2 tio{};
    // The kernel fills in the rate as a number for standard rates too, not only for BOTHER.
    if (ioctl(fd, TCGETS2, &tio) != 0 || tio.c_ospeed == 0) return std::nullopt;
    return static_cast<int>(tio.c_ospeed);
}

}  // namespace kestrup::sim
