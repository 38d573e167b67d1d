#pragma once
// The rate a terminal is set to, whatever it is: the kernel's termios2 knows rates that <termios.h>
// has no name for, and its definitions clash with that header's, so it lives apart.

#include <optional>

namespace kestrup::sim {

// The output rate of the open terminal fd. A pty has one set of settings, its slave side's, which
// either end reads; nothing when the driver does not say.
std::optional<int> terminalBaud(int fd);

}  // namespace kestrup::sim
