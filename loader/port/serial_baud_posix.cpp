#include "port/serial_baud_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kestrup {

bool setLineBaud(int fd, int baud) {
    if (baud <= 0) return false;
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(baud);
    tio.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool setLineStopBits(int fd, int stopBits) {
    if (stopBits != 1 && stopBits != 2) return false;
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace kestrup
