#pragma once
// The command line's console: status lines on standard output, messages on standard error.

#include "progress.h"
#include "upload_console.h"

#include <string>

namespace kestrup::cli {

// Status lines on standard output, each led by the prefix (when several boards share the output)
// and written in one piece, so that lines of boards loading at once never mix.
class StdoutConsole final : public UploadConsole {
public:
    explicit StdoutConsole(std::string prefix = {}, ProgressDisplay* progress = nullptr)
        : prefix_(std::move(prefix)), progress_(progress) {}
    void open() override {}
    void close() override;
    void statusLine(std::string_view message) override;

private:
    std::string prefix_;
    ProgressDisplay* progress_;
};

// Lines about an upload rather than of it (the path it took), on standard error, each led by
// "kestrupload: PORT: ".
class StderrLines final : public StatusSink {
public:
    StderrLines(const std::string& port, ProgressDisplay* progress)
        : prefix_("kestrupload: " + port + ": "), progress_(progress) {}
    void statusLine(std::string_view message) override;

private:
    std::string prefix_;
    ProgressDisplay* progress_;
};

class StderrNotifier final : public Notifier {
public:
    void notify(std::string_view caption, std::string_view message) override;
};

}  // namespace kestrup::cli
