#pragma once
// kestrupload --terminal: the board's line connected to the user's terminal, after a load on the
// port the load kept open, or alone on a running board. The user's side (standard input and
// output) is per platform: terminal_posix.cpp, terminal_win32.cpp.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/clock.h"
#include "options.h"
#include "port/serial_port.h"

namespace kestrup::cli {

// Ctrl+] (GS), the key telnet ends a session with: it never occurs in text a board is sent.
inline constexpr std::uint8_t exitKeyByte = 0x1D;
// How often the line is read while the user types nothing: 23 bytes at 115200 baud, far below
// any driver's receive queue even at 3 Mbaud.
inline constexpr int linePollMs = 2;
// Once input has ended, what the board still sends is copied until it has been quiet this long,
// and for this long at most (a board that never stops talking).
inline constexpr int drainQuietMs = 500;
inline constexpr int drainMostMs = 5000;

// Standard input and standard output as the terminal uses them.
class UserSide {
public:
    virtual ~UserSide() = default;
    // Keys typed at a terminal rather than a script's bytes: only keys can mean the exit key.
    virtual bool keyboard() const = 0;
    // From here on a keyboard's keys come one by one, unechoed and unprocessed, until destroyed.
    virtual void start() = 0;
    // Waits at most waitMs for input: what came (possibly nothing), or nothing once input has
    // ended or a signal asked to stop.
    virtual std::optional<std::size_t> read(std::span<std::uint8_t> into, int waitMs) = 0;
    // Writes to standard output at once; false once nobody reads it.
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
    // A signal (or a console's close) asked the program to end.
    virtual bool stopRequested() const = 0;
};

// This process's standard input and output. A terminal on standard input is restored as it was
// when this goes, whichever way the program leaves.
std::unique_ptr<UserSide> openUserSide();

enum class TerminalEnd { exitKey, endOfInput, stopped, outputClosed, lineLost };

// Copies the board's bytes to the user and the user's to the board until one of the ends; the
// end of input is followed by the drain.
TerminalEnd bridge(SerialPort& line, UserSide& user, Clock& clock);

// --terminal on options.ports[0]: on `loaded`, the port the load left open, or (null) on the port
// opened here without resetting the board. The exit status.
int runTerminal(const Options& options, SerialPort* loaded);

// A board's port as the command line holds it: when the terminal follows the load (keptOpen), the
// load's close leaves it open (the line is not dropped, so the board is not reset), and it closes
// when this goes.
class SessionPort final : public SerialPort {
public:
    SessionPort(std::unique_ptr<SerialPort> port, bool keptOpen) : port_(std::move(port)), keptOpen_(keptOpen) {}

    PortOpen open(const std::string& device) override { return port_->open(device); }
    void configure() override { port_->configure(); }
    void setDtr(bool asserted) override { port_->setDtr(asserted); }
    void setRts(bool asserted) override { port_->setRts(asserted); }
    void purgeReceive() override { port_->purgeReceive(); }
    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override { return port_->write(bytes); }
    std::optional<std::size_t> read(std::span<std::uint8_t> into) override { return port_->read(into); }
    void close() override {
        if (!keptOpen_) port_->close();
    }
    bool setBaud(int baud) override { return port_->setBaud(baud); }
    bool setStopBits(int stopBits) override { return port_->setStopBits(stopBits); }
    void drain() override { port_->drain(); }

private:
    std::unique_ptr<SerialPort> port_;
    bool keptOpen_;
};

}  // namespace kestrup::cli
