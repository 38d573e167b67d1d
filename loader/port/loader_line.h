#pragma once
// The host's end of the line to one of Kestrup's own loaders on the chip (the bootstrap, the second
// stage): the rate it is at, a message's time on it, and the bytes that have come back, read until an
// answer can be taken from them or a window has passed by the clock.

#include <cstdint>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "port/serial_port.h"

namespace kestrup {

class LoaderLine {
public:
    // Looked for every fifth of a millisecond, not every whole one: an answer comes a long's time
    // after its message, and a millisecond's poll would cost every packet most of one more.
    static constexpr int pollMicros = 200;

    LoaderLine(SerialPort& port, Clock& clock, int baud) : port_(port), clock_(clock), baud_(baud) {}

    int baud() const { return baud_; }
    // The rate the port is at, as set from elsewhere.
    void assumeBaud(int baud) { baud_ = baud; }
    // False when the driver refuses the rate; the port stays at the one before. Bytes still queued
    // leave at the old rate and framing first. A port that will not make one stop bit keeps two,
    // which every receiver that takes one takes too.
    bool setBaud(int baud, int stopBits = 2);
    // A byte's bit times on the line, rounded up to whole milliseconds.
    int lineMs(std::size_t bytes) const;

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
