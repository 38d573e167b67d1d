#include "stdout_console.h"

namespace kestrup::cli {

void makeStdoutBinary() {}

}  // namespace kestrup::cli
