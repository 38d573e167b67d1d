#pragma once
// The command line's console: status lines on standard output (or standard error, when the report
// goes to standard output).

#include <cstdio>
#include <string>

#include "base/console.h"
#include "progress.h"

namespace kestrup::cli {

// Status lines on standard output, each led by the prefix (when several boards share the output)
// and written in one piece, so that lines of boards loading at once never mix.
class StdoutConsole final : public UploadConsole {
public:
    explicit StdoutConsole(std::string prefix = {}, ProgressDisplay* progress = nullptr, std::FILE* out = stdout)
        : prefix_(std::move(prefix)), progress_(progress), out_(out) {}
    void open() override {}
    void close() override;
    void statusLine(std::string_view message) override;

private:
    std::string prefix_;
    ProgressDisplay* progress_;
    std::FILE* out_;
};

}  // namespace kestrup::cli
