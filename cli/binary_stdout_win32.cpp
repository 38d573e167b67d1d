#include "stdout_console.h"

#include <fcntl.h>
#include <io.h>

namespace kestrup::cli {

void makeStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace kestrup::cli
