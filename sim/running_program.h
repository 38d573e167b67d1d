#pragma once
// What a loaded image does once the chip runs it (propsim --program): a program of known behaviour
// that talks on the line at a rate of its own, so that a host's terminal can be tried against it.
// Like the chip model it is a pure state machine: bytes and times in, bytes out.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "chip_model.h"

namespace kestrup::sim {

enum class ProgramKind {
    none,  // the chip runs the image, which says nothing
    echo,  // greets once, then sends back every byte it receives
};

inline constexpr std::string_view echoGreeting = "Hello from propsim\r\n";
// The chip lets its clock settle before it starts the image (about 33 ms at 12 MHz), and the image
// then starts its serial driver: its first byte comes well after the acknowledgement.
inline constexpr Micros programStartDelay = 50'000;

// What a receiver at readBaud makes of bytes sent at sentBaud: their 8N1 frames, back to back, are
// sampled as a UART does, in the middle of each of its own bit-times after a start bit's edge (a
// frame whose stop bit reads low is still delivered). The same bytes at rates within a few percent
// of each other; other bytes, or none, at rates further apart.
std::vector<std::uint8_t> misread(std::span<const std::uint8_t> bytes, int sentBaud, int readBaud);

// The program of the last load that ran, beside the chip model: it starts when a session reaches
// "running" and stops when another session starts (the host's reset for a new load).
class RunningProgram {
public:
    RunningProgram(ProgramKind kind, int baud) : kind_(kind), baud_(baud) {}

    // After the model has taken a host byte sent at hostBaud, its frame ending at `at`, or (no
    // byte) after the line has been quiet until `at`: what the program sends, as the host reads it.
    std::vector<std::uint8_t> step(const ChipModel& model, std::optional<std::uint8_t> byte, Micros at, int hostBaud);

private:
    ProgramKind kind_;
    int baud_;
    int session_ = 0;  // the session whose load the program is; 0: none
    bool running_ = false;
    std::optional<Micros> greetingDue_;
};

}  // namespace kestrup::sim
