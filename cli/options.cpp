#include "options.h"

#include "com_number.h"

namespace kestrup::cli {

PortAddress parsePort(const std::string& text) {
    if (text.find_first_of("/\\") != std::string::npos) return PortAddress::device(text);
    return PortAddress::com(comNumberFromText(text));
}

std::vector<PortAddress> parsePorts(const std::string& text) {
    std::vector<PortAddress> ports;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!part.empty()) ports.push_back(parsePort(part));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return ports;
}

namespace {

struct Parser {
    const std::vector<std::string>& args;
    std::size_t i = 0;
    ParseResult result;

    // The value of an option given as "--name VALUE" or "--name=VALUE"; false when it is missing.
    bool value(const std::string& arg, const std::string& name, std::string& out) {
        if (arg == name) {
            if (i + 1 >= args.size()) {
                result.error = "option " + name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        }
        out = arg.substr(name.size() + 1);
        return true;
    }
};

bool named(const std::string& arg, const std::string& name) {
    return arg == name || arg.rfind(name + "=", 0) == 0;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args) {
    Parser p{args, 0, {}};
    Options& o = p.result.options;
    std::vector<std::string> positional;
    std::vector<Options::Action> actions;
    std::string v;
    for (; p.i < args.size(); ++p.i) {
        const std::string& arg = args[p.i];
        if (arg == "--help" || arg == "-h") {
            o.action = Options::Action::help;
            return p.result;
        }
        if (arg == "--version") {
            o.action = Options::Action::version;
            return p.result;
        }
        if (named(arg, "--port") || arg == "-p") {
            if (!p.value(arg, arg == "-p" ? "-p" : "--port", v)) return p.result;
            const auto ports = parsePorts(v);
            if (ports.empty()) {
                p.result.error = "option --port needs a port";
                return p.result;
            }
            o.ports.insert(o.ports.end(), ports.begin(), ports.end());
        } else if (named(arg, "--trace")) {
            if (!p.value(arg, "--trace", o.trace)) return p.result;
        } else if (named(arg, "--reset")) {
            if (!p.value(arg, "--reset", v)) return p.result;
            if (v == "dtr") {
                o.reset = ResetLine::dtr;
            } else if (v == "rts") {
                o.reset = ResetLine::rts;
            } else {
                p.result.error = "--reset takes dtr or rts, not " + v;
                return p.result;
            }
        } else if (arg == "--identify") {
            actions.push_back(Options::Action::identify);
        } else if (arg == "--list") {
            actions.push_back(Options::Action::list);
        } else if (arg == "--scan") {
            actions.push_back(Options::Action::scan);
        } else if (arg == "--info") {
            actions.push_back(Options::Action::info);
        } else if (arg == "--eeprom") {
            o.eeprom = true;
        } else if (arg == "--no-run") {
            o.run = false;
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg == "--dense") {
            o.encoding = LongEncoding::dense;
        } else if (arg == "--fixed") {
            o.encoding = LongEncoding::fixed;
        } else if (arg.size() > 1 && arg[0] == '-') {
            p.result.error = "unknown option " + arg;
            return p.result;
        } else {
            positional.push_back(arg);
        }
    }

    std::string& error = p.result.error;
    if (actions.size() > 1) {
        error = "--identify, --list, --scan and --info exclude each other";
        return p.result;
    }
    if (!actions.empty()) o.action = actions.front();
    const bool needsPort = o.action == Options::Action::upload || o.action == Options::Action::identify;
    const bool needsImage = o.action == Options::Action::upload || o.action == Options::Action::info;
    if (!o.run && !o.eeprom) error = "--no-run goes with --eeprom";
    else if (needsPort && o.ports.empty()) error = "no port given (--port PORT)";
    else if (!needsPort && !o.ports.empty()) error = "--port does not go with this action";
    else if (needsImage && positional.empty()) error = "no image file given";
    else if (positional.size() > (needsImage ? 1u : 0u)) error = "unexpected argument " + positional.back();
    else if (needsImage) o.image = positional.front();
    return p.result;
}

std::string usage() {
    return "Usage: kestrupload [OPTIONS] --port PORT[,PORT...] IMAGE\n"
           "       kestrupload --identify --port PORT[,PORT...]\n"
           "       kestrupload --list | --scan | --info IMAGE\n"
           "Loads a Propeller image into the RAM (or EEPROM) of one or more boards and runs it.\n"
           "\n"
           "  -p, --port PORT     a board's serial port: a COM port number as typed in the window's\n"
           "                      COM field (7), or a device path (/dev/ttyUSB0); several as 3,4,5\n"
           "                      or by repeating --port load the boards at once\n"
           "      --eeprom        program the image into the EEPROM, then run it\n"
           "      --no-run        with --eeprom: shut the chip down after programming\n"
           "      --force         load an image that fails the image checks\n"
           "      --fixed         send three bits a byte, as the window program does\n"
           "      --dense         pack 3 to 5 bits a byte (the default): about a quarter faster\n"
           "      --reset LINE    the modem line that resets the board: dtr (default) or rts\n"
           "      --trace FILE    write every byte sent and received, with time stamps, to FILE\n"
           "      --identify      reset, handshake, print the chip version, shut the chip down\n"
           "      --list          list this machine's serial ports\n"
           "      --scan          identify on every listed port, a few seconds at most each\n"
           "      --info IMAGE    print the image's header and whether it passes the checks\n"
           "  -h, --help          show this help and exit\n"
           "      --version       show the version and exit\n"
           "\n"
           "Exit status: 0 when every board acknowledged (or the action succeeded), 1 when an\n"
           "upload or check failed, 2 when a port could not be opened or the command line was wrong.\n"
           "\n"
           "Examples:\n"
           "  kestrupload --port /dev/ttyUSB0 compiled.binary\n"
           "  kestrupload --port 3,4,5,6 --eeprom compiled.binary\n"
           "  kestrupload --identify --port /dev/ttyUSB0\n"
           "  kestrupload --trace load.trace --port 7 compiled.binary\n";
}

std::string versionText() { return "kestrupload " KESTRUP_VERSION "\n"; }

}  // namespace kestrup::cli
