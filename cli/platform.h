#pragma once
// What the command line needs of the system beyond the serial port.

#include <string>
#include <vector>

namespace kestrup::cli {

// Standard output as bytes: no LF turned into CR LF on the way.
void makeStdoutBinary();
bool stderrIsTerminal();

struct SerialPortInfo {
    std::string port;         // what --port takes
    std::string description;  // what the system knows of it, possibly nothing
};
std::vector<SerialPortInfo> listSerialPorts();

}  // namespace kestrup::cli
