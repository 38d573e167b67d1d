#include "options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <stdexcept>
#include <string>

#include "port/com_number.h"

namespace kestrup::cli {

PortAddress parsePort(const std::string& text) {
    if (text.find_first_of("/\\") != std::string::npos) return PortAddress::device(text);
    // "COM7" as Windows names the port, not only the window's field's "7".
    const auto named = text.find_first_not_of(" \t");
    if (named != std::string::npos && text.size() - named > 3) {
        std::string prefix = text.substr(named, 3);
        for (char& c : prefix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (prefix == "COM") return PortAddress::com(comNumberFromText(text.substr(named + 3)));
    }
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

// A wrong command line, said in kestrupload's own words rather than the parser's.
class Refusal : public CLI::ParseError {
public:
    explicit Refusal(std::string text) : ParseError("Refusal", std::move(text), CLI::ExitCodes::ValidationError) {}
};

// The help's layout: the forms of the command line first, and the actions as a plain section.
class HelpLayout : public CLI::Formatter {
public:
    std::string make_description(const CLI::App*) const override { return {}; }
    std::string make_usage(const CLI::App* app, std::string) const override {
        return "Usage: kestrupload [OPTIONS] [--port PORT[,PORT...]] IMAGE\n"
               "       kestrupload --terminal [--baud N] --port PORT [IMAGE]\n"
               "       kestrupload --identify [--port PORT[,PORT...]] [--report FILE]\n"
               "       kestrupload --list | --scan | --info IMAGE\n" +
               app->get_description() + "\n";
    }
    std::string make_expanded(const CLI::App* group) const override {
        return make_group(group->get_group() + " (" + group->get_description() + ")", false, group->get_options());
    }
};

const char* const actionsExclude = "--identify, --list, --scan and --info exclude each other";

// The whole command line. `o` receives what it sets; the help is generated from it.
void describeCommandLine(CLI::App& app, Options& o) {
    app.name("kestrupload");
    app.description("Loads a Propeller image into the RAM (or EEPROM) of one or more boards and runs it.");
    app.footer(
        "Exit status: 0 when every board acknowledged (or the action succeeded), 1 when an\n"
        "upload or check failed, 2 when a port could not be opened, no chip or several answered the\n"
        "search without --port, or the command line was wrong.\n"
        "\n"
        "Examples:\n"
        "  kestrupload --port /dev/ttyUSB0 compiled.binary\n"
        "  kestrupload --port 3,4,5,6 --eeprom compiled.binary\n"
        "  kestrupload --identify --port /dev/ttyUSB0\n"
        "  kestrupload --trace load.trace --port 7 compiled.binary\n"
        "  kestrupload --terminal --port /dev/ttyUSB0 compiled.binary\n"
        "  kestrupload --report bench.json --port 3,4,5,6 compiled.binary");
    app.set_help_flag();
    app.formatter(std::make_shared<HelpLayout>());
    app.get_formatter()->column_width(22);

    app.add_option("IMAGE", o.image, "the image file (a .binary or .eeprom file)")->type_name("");

    app.add_option("-p,--port")
        ->description(
            "a board's serial port: a COM port number as typed in the window's\n"
            "COM field (7, or COM7), or a device path (/dev/ttyUSB0); several as 3,4,5\n"
            "or by repeating --port load the boards at once; without it, every\n"
            "port --list shows gets a reset pulse and a handshake, and the one a\n"
            "chip answers on is used")
        ->type_name("PORT")
        ->take_all()
        ->each([&o](const std::string& text) {
            const auto ports = parsePorts(text);
            if (ports.empty()) throw Refusal("option --port needs a port");
            o.ports.insert(o.ports.end(), ports.begin(), ports.end());
        });
    app.add_flag("--eeprom", o.eeprom, "program the image into the EEPROM, then run it");
    app.add_flag_callback(
        "--no-run", [&o] { o.run = false; }, "with --eeprom: shut the chip down after programming");
    app.add_flag("--force", o.force, "load an image that fails the image checks");
    // The last of the two on the line wins.
    app.add_flag_callback(
           "--fixed", [&o] { o.encoding = LongEncoding::fixed; }, "send three bits a byte, as the window program does")
        ->trigger_on_parse();
    app.add_flag_callback(
           "--dense", [&o] { o.encoding = LongEncoding::dense; },
           "pack 3 to 5 bits a byte (the default): about a quarter faster")
        ->trigger_on_parse();
    app.add_flag("--rom", o.romOnly,
                 "the plain ROM path: the chip's own boot loader alone, one short\n"
                 "reset, no pauses, the port closed as soon as the chip has answered\n"
                 "(by default the ROM loads a bootstrap, which takes the second stage,\n"
                 "which takes the image at the chip's clock / 16, when that is faster)");
    app.add_flag("--window-timing", o.windowTiming,
                 "with the window program's pauses: 200 ms, two resets of 25 + 50 ms,\n"
                 "1.5 s before the port closes; and its handshake, a byte a bit");
    app.add_option_function<std::string>(
           "--reset",
           [&o](const std::string& line) {
               if (line == "dtr")
                   o.reset = ResetLine::dtr;
               else if (line == "rts")
                   o.reset = ResetLine::rts;
               else
                   throw Refusal("--reset takes dtr or rts, not " + line);
           },
           "the modem line that resets the board: dtr (default) or rts")
        ->type_name("LINE");
    app.add_option("--trace", o.trace, "write every byte sent and received, with time stamps, to FILE")
        ->type_name("FILE");
    app.add_option("--report", o.report,
                   "write what each board's load (or --identify) found as JSON to FILE\n"
                   "(- for standard output; the status lines then go to standard error)")
        ->type_name("FILE");
    app.add_flag("--terminal", o.terminal,
                 "after the load (or alone, without IMAGE and without resetting the\n"
                 "board) connect this terminal to the board's line; Ctrl+] ends it");
    app.add_option_function<std::string>(
           "--baud",
           [&o](const std::string& text) {
               std::size_t end = 0;
               int baud = 0;
               try {
                   baud = std::stoi(text, &end);
               } catch (const std::logic_error&) {
                   end = 0;
               }
               if (end == 0 || end != text.size() || baud <= 0)
                   throw Refusal("--baud takes a rate in baud, a whole number above 0, not " + text);
               o.terminalBaud = baud;
           },
           "with --terminal: the line's rate there (default 115200), whatever the\n"
           "load used")
        ->type_name("N");

    CLI::App& actions = *app.add_option_group("Actions", "at most one, instead of loading");
    actions.require_option(0, 1);
    const auto action = [&actions, &o](const char* name, Options::Action what, const char* help) {
        return actions.add_flag_callback(
            name, [&o, what] { o.action = what; }, help);
    };
    action("--identify", Options::Action::identify,
           "reset, then describe the board: the chip's version, its RC clock,\n"
           "its crystal and its EEPROM, the port and its rates; shut the chip down");
    action("--list", Options::Action::list, "list this machine's serial ports");
    action("--scan", Options::Action::scan, "identify on every listed port, a few seconds at most each");
    action("--info", Options::Action::info, "print IMAGE's header and whether it passes the checks");
    // Help and version answer as soon as they are read, whatever follows; a wrong option before
    // them is still reported.
    for (const auto& [name, what, help] :
         {std::tuple{"-h,--help", Options::Action::help, "show this help and exit"},
          std::tuple{"--version", Options::Action::version, "show the version and exit"}}) {
        actions
            .add_flag_callback(
                name,
                [&app, &o, what = what] {
                    if (app.remaining_size() > 0) throw CLI::ExtrasError(app.remaining());
                    o.action = what;
                    throw CLI::Success();
                },
                help)
            ->trigger_on_parse();
    }
}

// The parser's complaint in the words kestrupload has always used.
std::string inOwnWords(const CLI::ParseError& error, const CLI::App& app, const std::vector<std::string>& args) {
    if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
        const std::string first = app.remaining().front();
        return (first.size() > 1 && first[0] == '-' ? "unknown option " : "unexpected argument ") + first;
    }
    // A value can only be missing at the end of the line.
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) && !args.empty())
        return "option " + args.back() + " needs a value";
    // Nothing but the actions group requires a count of options.
    if (dynamic_cast<const CLI::RequiredError*>(&error)) return actionsExclude;
    return error.what();
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    CLI::App app;
    describeCommandLine(app, o);
    try {
        // CLI11 takes the arguments last first.
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::Success&) {
        return result;
    } catch (const CLI::ParseError& error) {
        result.error = inOwnWords(error, app, args);
        return result;
    }

    std::string& error = result.error;
    const bool load = o.action == Options::Action::upload;
    const bool takesPort = load || o.action == Options::Action::identify;
    const bool takesImage = load || o.action == Options::Action::info;
    const bool baudGiven = app.count("--baud") > 0;
    if (!o.run && !o.eeprom)
        error = "--no-run goes with --eeprom";
    else if (o.terminal && !load)
        error = "--terminal does not go with this action";
    else if (baudGiven && !o.terminal)
        error = "--baud goes with --terminal";
    // The others find the board themselves, by resetting every port; a terminal alone resets none.
    else if (load && o.terminal && o.image.empty() && o.ports.empty())
        error = "no port given (--port PORT)";
    else if (!takesPort && !o.ports.empty())
        error = "--port does not go with this action";
    else if (o.terminal && o.ports.size() > 1)
        error = "--terminal takes one port";
    else if (takesImage && o.image.empty() && !o.terminal)
        error = "no image file given";
    else if (!takesImage && !o.image.empty())
        error = "unexpected argument " + o.image;
    else if (!o.report.empty() && !(load && !o.image.empty()) && o.action != Options::Action::identify)
        error = "--report goes with a load or --identify";
    else if (o.report == "-" && o.terminal)
        error = "--report - does not go with --terminal: standard output is the board's";
    return result;
}

std::string usage() {
    Options unused;
    CLI::App app;
    describeCommandLine(app, unused);
    return app.help();
}

std::string versionText() {
    return "kestrupload " KESTRUP_VERSION "\n";
}

}  // namespace kestrup::cli
