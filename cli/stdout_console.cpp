#include "stdout_console.h"

namespace kestrup::cli {

void StdoutConsole::statusLine(std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void StderrNotifier::notify(std::string_view, std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace kestrup::cli
