#pragma once
// The command line of kestrupload, parsed apart from running it so that it can be tested.

#include <string>
#include <vector>

#include "port/serial_port.h"
#include "rom/loader_protocol.h"
#include "rom/serial_link.h"

namespace kestrup::cli {

struct Options {
    enum class Action { upload, identify, list, scan, info, help, version };
    Action action = Action::upload;
    std::vector<PortAddress> ports;
    std::string image;
    bool eeprom = false;
    bool run = true;  // after programming the EEPROM: run, or shut down (--no-run)
    bool force = false;
    LongEncoding encoding = LongEncoding::dense;
    ResetLine reset = ResetLine::dtr;
    // Through the chip's ROM boot loader alone (--rom), not through the second stage.
    bool romOnly = false;
    // The window program's pauses (--window-timing) instead of the lean ones.
    bool windowTiming = false;
    std::string trace;
    // After the load, or alone without an image: the board's line on this terminal.
    bool terminal = false;
    int terminalBaud = 115200;
    // Where the load's report goes: a file, "-" for standard output, or nowhere when empty.
    std::string report;
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the command line was understood
};

ParseResult parseOptions(const std::vector<std::string>& args);

// PORT as typed: a device path when it names one, else a COM number converted as a COM field is.
// A comma-separated list names several ports.
std::vector<PortAddress> parsePorts(const std::string& text);
PortAddress parsePort(const std::string& text);

std::string usage();
std::string versionText();

}  // namespace kestrup::cli
