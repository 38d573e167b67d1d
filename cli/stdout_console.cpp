#include "stdout_console.h"

#include <cstdio>

namespace kestrup::cli {
namespace {

// In one piece, with the progress line wiped first.
void writeLine(std::FILE* out, const std::string& prefix, std::string_view message, ProgressDisplay* progress) {
    std::string line = prefix;
    line.append(message);
    line.push_back('\n');
    if (progress) progress->clear();
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace

void StdoutConsole::close() { std::fflush(stdout); }

void StdoutConsole::statusLine(std::string_view message) { writeLine(stdout, prefix_, message, progress_); }

void StderrLines::statusLine(std::string_view message) { writeLine(stderr, prefix_, message, progress_); }

void StderrNotifier::notify(std::string_view, std::string_view message) {
    std::string line(message);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace kestrup::cli
