#pragma once
// The command line of propsim, parsed apart from the pty server so that it can be tested.

#include <string>
#include <vector>

#include "chip_model.h"
#include "running_program.h"

namespace kestrup::sim {

struct PropsimOptions {
    ChipConfig chip;
    bool pace = false;
    int sessions = 0;  // stop after this many sessions; 0: serve until stopped
    // With --sessions: quiet time after the last session before leaving, so that the host has
    // finished its teardown and closed the port (1.5 s after its last byte).
    Micros linger = 2'000'000;
    std::string transcript;
    std::string imageOut;
    // Bytes lost or damaged on the line, either way, over the whole run.
    std::vector<LineFault> lineFaults;
    // The USB adapter between the host and the chip: the rate it makes of the one asked (none: the
    // rate asked), and how long it holds the chip's bytes back (0: not at all).
    bool ftdiAdapter = false;
    Micros usbLatency = 0;
    // Where the pty is closed, as a pulled adapter would vanish; propsim then leaves.
    Hangup hangup = Hangup::never;
    // What a load that runs starts, and its line rate.
    ProgramKind program = ProgramKind::none;
    int programBaud = 115200;
    bool help = false;
};

struct PropsimParse {
    PropsimOptions options;
    std::string error;  // empty when understood
};

PropsimParse parsePropsimOptions(const std::vector<std::string>& args);
std::string propsimUsage();

}  // namespace kestrup::sim
