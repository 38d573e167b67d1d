#pragma once
// What the command line needs of the system beyond the serial port.

#include <string>
#include <vector>

namespace kestrup::cli {

// Standard output as bytes: no LF turned into CR LF on the way.
void makeStdoutBinary();
// Pauses as short as asked, for the lean timing's 2 and 3 ms polls: Windows otherwise rounds every
// sleep up to its 15.6 ms timer tick, and the reply windows, spent in pauses, would last five times
// as long.
void useFineSleeps();
bool stderrIsTerminal();

struct SerialPortInfo {
    std::string port;         // what --port takes
    std::string description;  // what the system knows of it, possibly nothing
};
std::vector<SerialPortInfo> listSerialPorts();

}  // namespace kestrup::cli
