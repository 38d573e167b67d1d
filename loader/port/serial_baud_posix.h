#pragma once
// Any line rate on Linux: the kernel's termios2 with BOTHER, which <termios.h> cannot express and
// whose definitions clash with it, so it lives apart from the rest of the POSIX port.

namespace kestrup {

// Sets input and output rate of the open terminal fd; false when the driver refuses.
bool setLineBaud(int fd, int baud);
// One stop bit or two, through termios2 too: a rate set with BOTHER survives only there.
bool setLineStopBits(int fd, int stopBits);

}  // namespace kestrup
