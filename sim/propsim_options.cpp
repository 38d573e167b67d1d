#include "propsim_options.h"

#include <CLI/CLI.hpp>
#include <map>

namespace kestrup::sim {
namespace {

// The whole command line. `o` receives what it sets; the help is generated from it.
void describeCommandLine(CLI::App& app, PropsimOptions& o) {
    app.name("propsim");
    app.description(
        "A simulated Propeller boot loader on a pseudo-terminal. Prints the terminal's device path\n"
        "as its first line, then serves sessions until stopped. Once a session has ended, a new\n"
        "handshake after the reset silence starts the next, standing in for the DTR reset a pty\n"
        "cannot carry; in the middle of a session only the chip's own gap limit ends it.");
    app.set_help_flag("--help", "this text");
    app.get_formatter()->column_width(25);
    ChipFaults& f = o.chip.faults;
    ChipTiming& t = o.chip.timing;

    const auto number = [&app](const char* name, int low, int high, auto set, const char* help) {
        return app.add_option_function<int>(name, set, help)->type_name("N")->check(CLI::Range(low, high));
    };
    app.add_flag("--pace", o.pace, "deliver bytes at the rate the host set (8N2), as a real line would");
    number(
        "--sessions", 1, 1'000'000, [&o](int n) { o.sessions = n; }, "stop after N sessions (and --linger of quiet)");
    app.add_option("--transcript", o.transcript, "write each session there as it ends")->type_name("FILE");
    app.add_option("--image-out", o.imageOut, "write the image of the last load there")->type_name("FILE");
    number(
        "--version", 0, 255, [&o](int v) { o.chip.version = static_cast<std::uint8_t>(v); }, "chip version to report")
        ->type_name("V")
        ->default_str(std::to_string(o.chip.version));

    const std::string board = "Board";
    app.add_option_function<std::int64_t>(
           "--rc-hz", [&t](std::int64_t hz) { t.clockHz = hz; },
           "the RC clock the second stage and the identify program time the\n"
           "line by (the ROM's own timing stays a 12 MHz chip's)")
        ->type_name("HZ")
        ->check(CLI::Range(std::int64_t{8'000'000}, std::int64_t{20'000'000}))
        ->default_str(std::to_string(t.clockHz))
        ->group(board);
    app.add_option_function<std::int64_t>(
           "--xtal", [&o](std::int64_t hz) { o.chip.parts.crystalHz = hz; },
           "the crystal the identify program and the second stage switch to\n"
           "(0: none, and the switch stops the chip)")
        ->type_name("HZ")
        ->check(CLI::Range(std::int64_t{0}, std::int64_t{20'000'000}))
        ->default_str(std::to_string(o.chip.parts.crystalHz))
        ->group(board);
    app.add_flag_function(
           "--no-eeprom", [&o](std::int64_t) { o.chip.parts.eeprom = false; },
           "no EEPROM answers the identify program (there is one by default: a\n"
           "24xx256, erased until a load programs it)")
        ->group(board);

    const std::string faults = "Faults";
    app.add_flag("--silent", f.silent, "never answer")->group(faults);
    number(
        "--wrong-bit", 0, handshakeBits - 1, [&f](int n) { f.wrongBit = n; }, "send LFSR reply N inverted")
        ->group(faults);
    app.add_flag("--missing-version-bit", f.missingVersionBit, "never send the last version bit")->group(faults);
    number(
        "--stray", 0, 4096, [&f](int n) { f.strayBytes = n; }, "send N stray bytes before the first reply")
        ->group(faults);
    app.add_flag("--reject-checksum", f.rejectChecksum, "answer 0xFF to every load")->group(faults);
    app.add_flag("--no-ack", f.noAcknowledge, "never answer after the data")->group(faults);
    app.add_flag("--eeprom-program-fails", f.programFails,
                 "answer 1 where the EEPROM should be programmed (commands 2, 3;\n"
                 "the second stage: 'e' at the first page it writes)")
        ->group(faults);
    app.add_flag("--eeprom-verify-fails", f.verifyFails,
                 "answer 1 where the EEPROM should verify (commands 2, 3;\n"
                 "the second stage: 'v' at the first page it writes)")
        ->group(faults);
    app.add_flag("--stage-silent", f.stageSilent, "the second stage, once the ROM has started it, never answers")
        ->group(faults);
    number(
        "--damage-packet", 0, 32, [&f](int k) { f.damagedPacket = k; },
        "the second stage's packet K (of 255 longs, from 0) arrives corrupted, once")
        ->type_name("K")
        ->group(faults);
    app.add_option_function<std::vector<std::string>>(
           "--fault",
           [&o](const std::vector<std::string>& all) {
               for (const std::string& text : all) o.lineFaults.push_back(*parseLineFault(text));
           },
           "W:BAUD:N:K, repeatable: the Nth byte (from 1) going W (to-chip or\n"
           "to-host), counted among those sent while the host's line is at\n"
           "BAUD (a rate, or any), is lost (K = drop) or has bit 3 inverted\n"
           "(K = flip); ROM and second stage bytes alike, once in the run")
        ->check(CLI::Validator(
            [](std::string& text) { return parseLineFault(text) ? std::string() : "not W:BAUD:N:K: " + text; }, ""))
        ->type_name("W:BAUD:N:K")
        ->group(faults);
    const std::map<std::string, Hangup> hangups = {
        {"handshake", Hangup::handshake}, {"load", Hangup::load}, {"ack", Hangup::acknowledgement}};
    app.add_option_function<std::string>(
           "--hangup", [&o, hangups](const std::string& where) { o.hangup = hangups.at(where); },
           "close the pty and leave, as an unplugged board: half way through\n"
           "the handshake, half way through the load, or as the verdict is due")
        ->check(CLI::IsMember(hangups))
        ->type_name("WHERE")
        ->group(faults);
    number(
        "--faulty-sessions", 1, 1'000'000, [&o](int n) { o.chip.faultySessions = n; },
        "the faults hit only the first N sessions (default: all)")
        ->group(faults);

    app.add_option_function<int>(
           "--chip-hz", [&t](int hz) { t.clockHz = hz; }, "the chip's RC clock (8 to 20 MHz on the chip)")
        ->type_name("HZ")
        ->check(CLI::Range(1'000'000, 80'000'000))
        ->default_str(std::to_string(t.clockHz));
    const std::string adapter = "Adapter";
    app.add_option_function<std::string>(
           "--adapter", [&o](const std::string&) { o.ftdiAdapter = true; },
           "ftdi: the chip hears what an FTDI adapter makes of the host's rate\n"
           "(3 MHz over a divisor in eighths, the nearest; 2 and 3 Mbaud, and\n"
           "nothing else above 1.5 Mbaud)")
        ->check(CLI::IsMember({"ftdi"}))
        ->type_name("KIND")
        ->group(adapter);
    app.add_option_function<int>(
           "--usb-latency", [&o](int ms) { o.usbLatency = Micros{ms} * 1000; },
           "the chip's bytes reach the host only once 62 wait or MS have passed\n"
           "since the first of them (an FTDI adapter's latency timer: 16)")
        ->type_name("MS")
        ->check(CLI::Range(0, 255))
        ->group(adapter);

    const std::map<std::string, ProgramKind> programs = {{"echo", ProgramKind::echo}};
    app.add_option_function<std::string>(
           "--program", [&o, programs](const std::string& name) { o.program = programs.at(name); },
           "what a load that runs starts: echo greets with \"Hello from propsim\"\n"
           "and sends back what it receives, at --program-baud; a host at\n"
           "another rate reads garbage, as on a real line")
        ->check(CLI::IsMember(programs))
        ->type_name("NAME")
        ->group("Program");
    number(
        "--program-baud", 300, 4'000'000, [&o](int n) { o.programBaud = n; }, "the program's line rate")
        ->default_str(std::to_string(o.programBaud))
        ->group("Program");

    // Whole milliseconds, kept in microseconds; each default is the chip model's own.
    const auto millis = [&app](const char* name, int low, Micros& into, const char* help) {
        app.add_option_function<int>(
               name, [&into](int ms) { into = Micros{ms} * 1000; }, help)
            ->type_name("MS")
            ->check(CLI::Range(low, 3'600'000))
            ->default_str(std::to_string(into / 1000))
            ->group("Timing, in milliseconds");
    };
    millis("--reset-silence", 0, t.resetSilence, "quiet before a handshake that starts a new session (0: never)");
    millis("--gap-limit", 1, t.gapLimit, "longest gap the chip waits in a session (2 M chip clocks)");
    millis("--listen-window", 1, t.listenWindow, "time for the whole handshake");
    millis("--checksum-time", 0, t.checksumTime, "summing the RAM");
    millis("--program-time", 0, t.programTime, "programming the EEPROM (the second stage: a 512th a page)");
    millis("--verify-time", 0, t.verifyTime, "verifying the EEPROM (the second stage: a 512th a page read)");
    millis("--linger", 0, o.linger, "quiet after the last of --sessions before leaving");
}

}  // namespace

std::string propsimUsage() {
    PropsimOptions unused;
    CLI::App app;
    describeCommandLine(app, unused);
    return app.help();
}

PropsimParse parsePropsimOptions(const std::vector<std::string>& args) {
    PropsimParse result;
    CLI::App app;
    describeCommandLine(app, result.options);
    try {
        // CLI11 takes the arguments last first.
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::CallForHelp&) {
        result.options.help = true;
    } catch (const CLI::ParseError& error) {
        result.error = error.what();
    }
    return result;
}

}  // namespace kestrup::sim
