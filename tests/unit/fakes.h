#pragma once
// Test doubles: a virtual clock, a recording console that shows a load's events as status lines,
// a scripted serial port, and the simulated chip (sim/chip_model) behind that port.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/console.h"
#include "chip_model.h"
#include "port/serial_port.h"
#include "upload/load_lines.h"

namespace kestrup::test {

class VirtualClock final : public Clock {
public:
    void pause(int milliseconds) override {
        pauses.push_back(milliseconds);
        nowMs += milliseconds;
    }
    // Short pauses add up to whole milliseconds of nowMs; they are not among `pauses`.
    void pauseMicros(int micros) override {
        micros_ += micros;
        nowMs += micros_ / 1000;
        micros_ %= 1000;
    }
    std::int64_t nowMicros() override { return nowMs * 1000 + micros_; }

    std::int64_t nowMs = 0;
    std::vector<int> pauses;

private:
    std::int64_t micros_ = 0;
};

// Collects status lines, and every event of interest to order checks, in one journal.
class Journal {
public:
    Journal() = default;
    // Every entry led by the clock's time in milliseconds.
    explicit Journal(const VirtualClock& clock) : clock_(&clock) {}
    void add(std::string entry) {
        if (clock_) entry = std::to_string(clock_->nowMs) + " " + entry;
        entries.push_back(std::move(entry));
    }
    std::vector<std::string> entries;

private:
    const VirtualClock* clock_ = nullptr;
};

// The console, and the load's events as the window program shows them on it; the events kept too.
class RecordingConsole final : public UploadConsole, public LoadEvents {
public:
    explicit RecordingConsole(Journal* journal = nullptr) : journal_(journal) {}
    RecordingConsole(const RecordingConsole&) = delete;
    RecordingConsole& operator=(const RecordingConsole&) = delete;
    void on(const LoadEvent& event) override {
        events.push_back(event);
        shown_.on(event);
    }
    void open() override {
        note("console open");
        ++opens;
    }
    void close() override {
        note("console close");
        ++closes;
    }
    void statusLine(std::string_view message) override {
        lines.emplace_back(message);
        bytes.append(message);
        bytes.push_back('\n');
        note("status " + std::string(message));
    }

    std::vector<std::string> lines;
    std::string bytes;
    std::vector<LoadEvent> events;
    int opens = 0;
    int closes = 0;

private:
    StatusLines shown_{*this};
    void note(std::string entry) {
        if (journal_) journal_->add(std::move(entry));
    }
    Journal* journal_;
};

// The events of one kind, in the order told.
template <class Event>
std::vector<Event> eventsOf(const std::vector<LoadEvent>& events) {
    std::vector<Event> found;
    for (const LoadEvent& event : events)
        if (const auto* e = std::get_if<Event>(&event)) found.push_back(*e);
    return found;
}

class RecordingNotifier final : public Notifier {
public:
    void notify(std::string_view caption, std::string_view message) override {
        boxes.emplace_back(std::string(caption), std::string(message));
    }
    std::vector<std::pair<std::string, std::string>> boxes;
};

// A serial port whose far end is a function of what is written: each write may queue replies,
// which reads then deliver (at most the size asked for). Failures can be scripted per call.
class FakePort final : public SerialPort {
public:
    explicit FakePort(Journal* journal = nullptr) : journal_(journal) {}

    PortOpen open(const std::string& device) override;
    void configure() override { ++configures; }
    void setDtr(bool asserted) override;
    void setRts(bool asserted) override;
    void purgeReceive() override;
    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override;
    std::optional<std::size_t> read(std::span<std::uint8_t> into) override;
    void close() override;
    bool setBaud(int baud) override;
    bool setStopBits(int stopBits) override;
    void drain() override;

    void queueReply(std::vector<std::uint8_t> bytes) { pending.insert(pending.end(), bytes.begin(), bytes.end()); }

    // Scripting.
    std::vector<std::string> existing{"COM3"};                   // devices that open
    std::function<void(std::span<const std::uint8_t>)> onWrite;  // the far end
    std::function<void()> onReset;                               // DTR released
    std::function<void()> onRead;                                // before each read
    std::deque<std::optional<std::size_t>> writeResults;         // overrides, in order
    std::deque<std::optional<std::size_t>> readResults;          // overrides of the count, in order
    std::size_t readLimit = 256;
    std::vector<int> refusedBauds;  // rates setBaud refuses, the port staying at the one before

    // Observations.
    bool isOpen = false;
    std::string openedDevice;
    int configures = 0;
    int opens = 0;
    int closes = 0;
    int purges = 0;
    int reads = 0;
    std::vector<int> bauds;        // every rate set, in order (none refused)
    std::vector<int> stopBitsSet;  // every change of the stop bits, in order
    int drains = 0;
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<std::uint8_t> written;  // all bytes, in order
    std::deque<std::uint8_t> pending;   // replies not yet read

private:
    void note(std::string entry) {
        if (journal_) journal_->add(std::move(entry));
    }
    Journal* journal_;
};

// The simulated chip behind a FakePort: every byte written reaches it at the virtual clock's time,
// its answers wait to be read, and releasing DTR is its reset line.
class SimulatedBoard {
public:
    SimulatedBoard(FakePort& port, Clock& clock, sim::ChipConfig config = {});
    // From now on a line between them: bytes take their frame time at the port's rate, one after
    // another, and the answers the chip gives in its own time (its second stage's) come as they
    // fall due. The second stage times its messages by the line.
    void carryAtPortRate(FakePort& port, Clock& clock);
    // Another board on the same port, from its next byte on.
    void replace(sim::ChipConfig config);
    // Every session so far, oldest first, the current one last.
    std::vector<sim::SessionRecord> sessions();
    sim::SessionRecord last();
    const sim::Ram& eeprom() const { return chip_.eeprom(); }

private:
    sim::ChipModel chip_;
    std::vector<sim::SessionRecord> ended_;
    sim::Micros lineFree_ = 0;  // when the last byte written has left
};

// One period of the boot loader's LFSR from the seed 'P', as both sides run it: the host sends
// bits 0..249, the chip answers with the next 250 (the sequence wraps after 255).
inline const std::string lfsrBits =
    "0101110011110101111100011100101000111100001001001011110010001000110110111000101100110010110110010011101010101"
    "1101101011010011111111001101111011101000000010101100011001110000001111101001010100100000100001110111111011000"
    "0110001001100000110100010100110101000";

std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace kestrup::test
