#pragma once
// The command line of kestrupload, parsed apart from running it so that it can be tested.

#include "serial_port.h"

#include <string>
#include <vector>

namespace kestrup::cli {

struct Options {
    enum class Action { upload, help, version };
    Action action = Action::upload;
    std::vector<PortAddress> ports;
    std::string image;
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the command line was understood
};

ParseResult parseOptions(const std::vector<std::string>& args);

// PORT as typed: a device path when it names one, else a COM number converted as a COM field is.
PortAddress parsePort(const std::string& text);

std::string usage();
std::string versionText();

}  // namespace kestrup::cli
