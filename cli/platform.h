#pragma once
// What the command line needs of the system beyond the serial port.

#include <functional>
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

// Runs each task on a thread of its own and waits for all of them, calling `tick` on this thread
// about every tickMs meanwhile. With deadlineMs >= 0 it stops waiting then: tasks still running are
// left to the process's end (they must own what they use). Gives which tasks finished.
std::vector<bool> runParallel(const std::vector<std::function<void()>>& tasks, int deadlineMs,
                              const std::function<void()>& tick, int tickMs = 100);

}  // namespace kestrup::cli
