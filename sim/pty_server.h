#pragma once
// Serves the chip model on a pseudo-terminal until stopped.

#include "propsim_options.h"

namespace kestrup::sim {

// Opens the pty, prints its device path as the first line of standard output and serves. Returns
// the process exit status.
int servePty(const PropsimOptions& options);

}  // namespace kestrup::sim
