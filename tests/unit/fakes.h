#pragma once
// Test doubles: a virtual clock, a recording status sink, a scripted serial port, and a small model
// of the chip's side of the boot-loader exchange.

#include "clock.h"
#include "serial_port.h"
#include "upload_console.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrup::test {

class VirtualClock final : public Clock {
public:
    void pause(int milliseconds) override {
        pauses.push_back(milliseconds);
        nowMs += milliseconds;
    }
    std::int64_t nowMicros() override { return nowMs * 1000; }

    std::int64_t nowMs = 0;
    std::vector<int> pauses;
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

class RecordingConsole final : public UploadConsole {
public:
    explicit RecordingConsole(Journal* journal = nullptr) : journal_(journal) {}
    void open() override { note("console open"); ++opens; }
    void close() override { note("console close"); ++closes; }
    void statusLine(std::string_view message) override {
        lines.emplace_back(message);
        bytes.append(message);
        bytes.push_back('\n');
        note("status " + std::string(message));
    }

    std::vector<std::string> lines;
    std::string bytes;
    int opens = 0;
    int closes = 0;

private:
    void note(std::string entry) {
        if (journal_) journal_->add(std::move(entry));
    }
    Journal* journal_;
};

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

    bool open(const std::string& device) override;
    void configure() override { ++configures; }
    void setDtr(bool asserted) override;
    void setRts(bool asserted) override;
    void purgeReceive() override;
    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override;
    std::optional<std::size_t> read(std::span<std::uint8_t> into) override;
    void close() override;
    bool setBaud(int baud) override;
    void drain() override;

    void queueReply(std::vector<std::uint8_t> bytes) { pending.insert(pending.end(), bytes.begin(), bytes.end()); }

    // Scripting.
    std::vector<std::string> existing{"COM3"};  // devices that open
    std::function<void(std::span<const std::uint8_t>)> onWrite;  // the far end
    std::function<void()> onReset;                               // DTR released
    std::deque<std::optional<std::size_t>> writeResults;         // overrides, in order
    std::deque<std::optional<std::size_t>> readResults;          // overrides of the count, in order
    std::size_t readLimit = 256;

    // Observations.
    bool isOpen = false;
    std::string openedDevice;
    int configures = 0;
    int opens = 0;
    int closes = 0;
    int purges = 0;
    int reads = 0;
    std::vector<int> bauds;  // every rate set, in order
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

// The chip's side as the protocol describes it: continues the LFSR after the host's 250 bits,
// answers the version, decodes longs and judges the checksum.
struct ChipModel {
    enum class Fault { none, silent, wrongBit, missingVersionBit, rejectChecksum, noAcknowledge, programFails, verifyFails };

    std::uint8_t version = 1;
    Fault fault = Fault::none;
    int wrongBitIndex = 0;  // which of the 250 replies is flipped, for Fault::wrongBit

    // Bytes received since the reset, and the decoded outcome.
    std::vector<std::uint8_t> received;
    std::optional<std::uint32_t> command;
    std::optional<std::uint32_t> longCount;
    std::vector<std::uint32_t> longs;
    bool handshakeOk = false;

    void reset();
    // Feeds host bytes; returns the replies to send back.
    std::vector<std::uint8_t> feed(std::span<const std::uint8_t> bytes);
    void attach(FakePort& port);

private:
    std::vector<std::uint8_t> onByte(std::uint8_t byte);
    std::size_t position_ = 0;
    int repliesGiven_ = 0;
    std::vector<std::uint8_t> longBytes_;
    int acknowledgements_ = 0;
};

// Decodes an eleven-byte long as the protocol encodes it.
std::uint32_t decodeLong(std::span<const std::uint8_t> bytes);

// Reads bytes as the chip sees the line: each 8N2 frame's low pulses, one bit-time low for a 1 and
// two for a 0. Nothing when a low run of another length shows up (a framing error).
std::optional<std::vector<int>> pulseBits(std::span<const std::uint8_t> bytes);

std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace kestrup::test
