#pragma once
// A progress line on standard error while images load: bytes sent, rate and time left, one slot
// per board. Boards update their slot from their own threads; the main thread draws.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/status_sink.h"
#include "events/load_events.h"

namespace kestrup::cli {

class ProgressDisplay {
public:
    struct Slot {
        std::string name;
        std::atomic<std::size_t> sent{0};
        std::atomic<std::size_t> total{0};
        std::atomic<std::int64_t> startMicros{-1};
        std::atomic<std::size_t> pages{0};  // the EEPROM's pages written and read back, of pageTotal
        std::atomic<std::size_t> pageTotal{0};
    };

    explicit ProgressDisplay(bool enabled) : enabled_(enabled) {}
    Slot& add(std::string name);
    bool enabled() const { return enabled_; }

    // The line as it stands at `nowMicros` (empty before any load has started).
    std::string render(std::int64_t nowMicros) const;
    void draw(std::int64_t nowMicros);
    void clear();

private:
    bool enabled_;
    std::vector<std::unique_ptr<Slot>> slots_;
    // Drawn by the main thread, wiped by whichever thread is about to print a status line.
    std::atomic<std::size_t> drawnWidth_{0};
};

// A board's slot, kept up to date from its load's progress; none when nothing is drawn. Where
// nothing is drawn in place (standard error is no terminal), the EEPROM's pages go to `plain` as
// a line now and then.
class SlotProgress final : public LoadEvents {
public:
    explicit SlotProgress(ProgressDisplay::Slot* slot, StatusSink* plain = nullptr) : slot_(slot), plain_(plain) {}
    void on(const LoadEvent& event) override;

    static constexpr std::size_t pagesPerPlainLine = 128;

private:
    ProgressDisplay::Slot* slot_;
    StatusSink* plain_;
    std::size_t plainPages_ = 0;  // the pages the last plain line told
};

}  // namespace kestrup::cli
