#include "terminal.h"

#include <algorithm>
#include <array>
#include <iostream>

namespace kestrup::cli {
namespace {

// The board's bytes that have arrived, to the user; nothing when all went well.
std::optional<TerminalEnd> copyFromBoard(SerialPort& line, UserSide& user, std::span<std::uint8_t> buffer,
                                         std::size_t& got) {
    const auto read = line.read(buffer);
    if (!read) return TerminalEnd::lineLost;
    got = *read;
    if (got > 0 && !user.write(buffer.first(got))) return TerminalEnd::outputClosed;
    return std::nullopt;
}

TerminalEnd drain(SerialPort& line, UserSide& user, Clock& clock, std::span<std::uint8_t> buffer) {
    const std::int64_t start = clock.nowMicros();
    std::int64_t lastByte = start;
    for (;;) {
        std::size_t got = 0;
        if (const auto end = copyFromBoard(line, user, buffer, got)) return *end;
        if (user.stopRequested()) return TerminalEnd::stopped;
        const std::int64_t now = clock.nowMicros();
        if (got > 0) lastByte = now;
        if (now - lastByte >= std::int64_t{drainQuietMs} * 1000 || now - start >= std::int64_t{drainMostMs} * 1000)
            return TerminalEnd::endOfInput;
        if (got == 0) clock.pause(linePollMs);
    }
}

}  // namespace

TerminalEnd bridge(SerialPort& line, UserSide& user, Clock& clock) {
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
        std::size_t got = 0;
        if (const auto end = copyFromBoard(line, user, buffer, got)) return *end;
        // While the board talks, its bytes come first; otherwise the wait for keys is the poll's pause.
        const auto typed = user.read(buffer, got > 0 ? 0 : linePollMs);
        if (!typed) break;
        const std::span<const std::uint8_t> input(buffer.data(), *typed);
        // What was typed before the exit key still goes out.
        const std::size_t keys =
            user.keyboard()
                ? static_cast<std::size_t>(std::find(input.begin(), input.end(), exitKeyByte) - input.begin())
                : input.size();
        if (keys > 0) {
            const auto written = line.write(input.first(keys));
            if (!written || *written < keys) return TerminalEnd::lineLost;
        }
        if (keys < input.size()) return TerminalEnd::exitKey;
    }
    if (user.stopRequested()) return TerminalEnd::stopped;
    return drain(line, user, clock, buffer);
}

int runTerminal(const Options& options, SerialPort* loaded) {
    const PortAddress& address = options.ports.front();
    const std::string name = address.displayName();
    std::unique_ptr<SerialPort> own;
    if (!loaded) {
        own = makeSystemSerialPort();
        if (const PortOpen opened = own->open(address.deviceName()); !opened) {
            std::cerr << "kestrupload: " << name << " " << whyNotOpened(opened) << "\n";
            return 2;
        }
        own->configure();
    }
    SerialPort& line = loaded ? *loaded : *own;
    if (!line.setBaud(options.terminalBaud)) {
        std::cerr << "kestrupload: " << name << " does not take " << options.terminalBaud << " baud\n";
        return 2;
    }
    if (own) {
        // The system raised DTR and RTS as it opened the port (Linux always, Windows with most
        // drivers); released at once, the pulse a board sees is as short as a program can make it.
        // Only now: setting the line up may raise them again (Linux, leaving a rate of 0 baud;
        // some Windows drivers, on any change of the port's state).
        own->setDtr(false);
        own->setRts(false);
    }

    TerminalEnd end{};
    {
        const auto user = openUserSide();
        std::cerr << "kestrupload: terminal on " << name << " at " << options.terminalBaud << " baud; "
                  << (user->keyboard() ? "Ctrl+] ends it" : "the end of input ends it") << std::endl;
        user->start();
        end = bridge(line, *user, systemClock());
    }
    switch (end) {
        case TerminalEnd::exitKey:
            std::cerr << "\nkestrupload: terminal closed\n";
            return 0;
        case TerminalEnd::endOfInput:
            return 0;
        case TerminalEnd::stopped:
            std::cerr << "\nkestrupload: terminal stopped by a signal\n";
            return 1;
        case TerminalEnd::outputClosed:
            std::cerr << "kestrupload: standard output was closed\n";
            return 1;
        case TerminalEnd::lineLost:
            std::cerr << "\nkestrupload: the line to " << name << " was lost\n";
            return 1;
    }
    return 1;
}

}  // namespace kestrup::cli
