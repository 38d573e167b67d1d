#pragma once
// The command line's console: status lines on standard output, messages on standard error.

#include "upload_console.h"

#include <cstdio>

namespace kestrup::cli {

class StdoutConsole final : public UploadConsole {
public:
    void open() override {}
    void close() override { std::fflush(stdout); }
    void statusLine(std::string_view message) override;
};

class StderrNotifier final : public Notifier {
public:
    void notify(std::string_view caption, std::string_view message) override;
};

// Standard output as bytes: no LF turned into CR LF on the way.
void makeStdoutBinary();

}  // namespace kestrup::cli
