#include "stdout_console.h"

#include <cstdio>

namespace kestrup::cli {

void StdoutConsole::close() {
    std::fflush(out_);
}

void StdoutConsole::statusLine(std::string_view message) {
    std::string line = prefix_;
    line.append(message);
    line.push_back('\n');
    if (progress_) progress_->clear();
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

}  // namespace kestrup::cli
