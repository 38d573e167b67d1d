#pragma once
// Any line rate on Linux: the kernel's termios2 with BOTHER, which <termios.h> cannot express and
// whose definitions clash with it, so it lives apart from the rest of the POSIX port.

namespace kestrup {

// Sets input and output rate of the open terminal fd; false when the driver refuses.
bool setLineBaud(int fd, int baud);

}  // namespace kestrup
