#pragma once
// Views of a load's events in words: the status lines the window program always showed, whichever
// path carried the image; the line saying which path that was; the message for a port that did
// not open.

#include <string>
#include <vector>

#include "base/console.h"
#include "base/status_sink.h"
#include "events/load_events.h"

namespace kestrup {

class StatusLines final : public LoadEvents {
public:
    explicit StatusLines(StatusSink& sink) : sink_(sink) {}
    void on(const LoadEvent& event) override;

private:
    void began(Step step);
    void ended(const Ended& ended);

    StatusSink& sink_;
    // The EEPROM's lines tell what the chip does next: known from the load's beginning.
    LoadTarget target_ = LoadTarget::ram;
};

// --identify's lines for the board: its RC clock, its crystal, its EEPROM, the port and its rates.
std::vector<std::string> boardLines(const BoardDescribed& board);
// "32 KB", "64 KB or more": none for no EEPROM or one whose size is not told.
std::string eepromSizeOf(EepromFound found);

// "second stage at 921600 baud", "ROM path (why the stage gave way)".
std::string pathLineOf(const PathTaken& path);

// The path line, the one telling why the chip does not start an image it took, and the second
// stage's word on the EEPROM's pages: all written and verified, or the one that failed.
class PathLines final : public LoadEvents {
public:
    explicit PathLines(StatusSink& sink) : sink_(sink) {}
    void on(const LoadEvent& event) override;

private:
    StatusSink& sink_;
};

// The window program's "No COM" box for the board's port.
class NoComNotice final : public LoadEvents {
public:
    NoComNotice(Notifier& notifier, std::string port) : notifier_(notifier), port_(std::move(port)) {}
    void on(const LoadEvent& event) override;

private:
    Notifier& notifier_;
    std::string port_;
};

}  // namespace kestrup
