#pragma once
// The host's end of the line to one of Kestrup's own loaders on the chip (the bootstrap, the second
// stage), for one load: the one owner of the port's rate and stop bits while the load lasts, a
// message's time on the line, and the bytes that have come back, read until an answer can be taken
// from them or a window has passed by the clock.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/clock.h"
#include "port/serial_port.h"

namespace kestrup {

class LoaderLine {
public:
    // Looked for every fifth of a millisecond, not every whole one: an answer comes a long's time
    // after its message, and a millisecond's poll would cost every packet most of one more.
    static constexpr int pollMicros = 200;
    // A rate the port is not known to be at: the first setBaud goes to the port whatever it asks.
    static constexpr int unknownBaud = 0;
    // How late an answer may reach the host through a USB adapter: it holds a few bytes until its
    // latency timer runs out (16 ms, FTDI's default on Linux and Windows alike, where the driver is
    // not told otherwise), and the write before it waited for the next 1 ms USB frame.
    static constexpr int adapterLatencyMs = 17;

    // `baud`: the rate the port is at, if known. Its stop bits are two, as a port is configured.
    LoaderLine(SerialPort& port, Clock& clock, int baud = unknownBaud) : port_(port), clock_(clock), baud_(baud) {}

    int baud() const { return baud_; }
    // False when the driver refuses the rate; the port stays at the one before. Bytes still queued
    // leave at the old rate and framing first. A port that will not make one stop bit keeps two,
    // which every receiver that takes one takes too.
    bool setBaud(int baud, int stopBits = 2);
    // A byte's bit times on the line, rounded up to whole milliseconds.
    int lineMs(std::size_t bytes) const;

    // A loss on the way is the protocol's to find: each loader hears it as an answer not come.
    void write(std::span<const std::uint8_t> bytes) { port_.write(bytes); }
    // Until the driver has sent what it was given.
    void drain() { port_.drain(); }

    // Reads until take(bytes received) gives an answer, or windowMs have passed. By the clock, not
    // by the polls: on a busy machine a poll's pause may last several times its length, and a window
    // counted in polls would keep the hellos it spaces from going.
    template <class Take>
    auto await(int windowMs, Take take) -> decltype(take(std::declval<std::vector<std::uint8_t>&>())) {
        const std::int64_t until = clock_.nowMicros() + std::int64_t{windowMs} * 1000;
        for (;;) {
            std::uint8_t buffer[256];
            const auto got = port_.read(buffer);
            if (got && *got > 0) received_.insert(received_.end(), buffer, buffer + *got);
            if (auto answer = take(received_)) return answer;
            if (clock_.nowMicros() >= until) return std::nullopt;
            clock_.pauseMicros(pollMicros);
        }
    }
    // What has come and not been taken is dropped, and so is what the driver still holds.
    void forget();

private:
    SerialPort& port_;
    Clock& clock_;
    int baud_;
    int stopBits_ = 2;
    std::vector<std::uint8_t> received_;
};

}  // namespace kestrup
