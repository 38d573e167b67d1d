#include "options.h"

#include "com_number.h"

namespace kestrup::cli {

PortAddress parsePort(const std::string& text) {
    if (text.find_first_of("/\\") != std::string::npos) return PortAddress::device(text);
    return PortAddress::com(comNumberFromText(text));
}

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& options = result.options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.action = Options::Action::help;
            return result;
        }
        if (arg == "--version") {
            options.action = Options::Action::version;
            return result;
        }
        if (arg == "--port" || arg == "-p") {
            if (i + 1 >= args.size()) {
                result.error = "option " + arg + " needs a port";
                return result;
            }
            options.ports.push_back(parsePort(args[++i]));
        } else if (arg.rfind("--port=", 0) == 0) {
            options.ports.push_back(parsePort(arg.substr(7)));
        } else if (arg.size() > 1 && arg[0] == '-') {
            result.error = "unknown option " + arg;
            return result;
        } else {
            positional.push_back(arg);
        }
    }
    if (options.ports.empty()) {
        result.error = "no port given (--port PORT)";
    } else if (options.ports.size() > 1) {
        result.error = "one --port only";
    } else if (positional.empty()) {
        result.error = "no image file given";
    } else if (positional.size() > 1) {
        result.error = "one image file only, got " + positional[1] + " too";
    } else {
        options.image = positional[0];
    }
    return result;
}

std::string usage() {
    return "Usage: kestrupload --port PORT IMAGE\n"
           "Loads a Propeller image into a board's RAM and runs it.\n"
           "\n"
           "  -p, --port PORT  the board's serial port: a COM port number as typed in the\n"
           "                   window's COM field (7), or a device path (/dev/ttyUSB0)\n"
           "  -h, --help       show this help and exit\n"
           "      --version    show the version and exit\n"
           "\n"
           "Exit status: 0 when the chip acknowledged the load, 1 when the upload failed,\n"
           "2 when the port could not be opened or the command line was wrong.\n"
           "\n"
           "Example: kestrupload --port /dev/ttyUSB0 compiled.binary\n";
}

std::string versionText() { return "kestrupload " KESTRUP_VERSION "\n"; }

}  // namespace kestrup::cli
