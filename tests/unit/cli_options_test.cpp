#include <gtest/gtest.h>

#include <map>

#include "options.h"

namespace kestrup::cli {
namespace {

// A parse in one line: the action, then what differs from a plain load's defaults; or the error.
std::string parsed(const std::vector<std::string>& args) {
    const ParseResult r = parseOptions(args);
    if (!r.error.empty()) return "error: " + r.error;
    const Options& o = r.options;
    const std::map<Options::Action, std::string> actions = {
        {Options::Action::upload, "upload"},  {Options::Action::identify, "identify"}, {Options::Action::list, "list"},
        {Options::Action::scan, "scan"},      {Options::Action::info, "info"},         {Options::Action::help, "help"},
        {Options::Action::version, "version"}};
    std::string s = actions.at(o.action);
    for (const auto& p : o.ports) s += " port=" + (p.comNumber ? "COM" + std::to_string(*p.comNumber) : p.devicePath);
    if (!o.image.empty()) s += " image=" + o.image;
    if (o.eeprom) s += " eeprom";
    if (!o.run) s += " no-run";
    if (o.force) s += " force";
    if (o.encoding == LongEncoding::fixed) s += " fixed";
    if (o.reset == ResetLine::rts) s += " rts";
    if (o.romOnly) s += " rom";
    if (o.windowTiming) s += " window-timing";
    if (!o.trace.empty()) s += " trace=" + o.trace;
    if (o.terminal) s += " terminal=" + std::to_string(o.terminalBaud);
    if (!o.report.empty()) s += " report=" + o.report;
    return s;
}

TEST(CliOptions, CommandLines) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> table = {
        {{"--port", "3", "image.binary"}, "upload port=COM3 image=image.binary"},
        {{"--port", "3,4", "-p", "/dev/pts/9", "--port=5", "image.binary"},
         "upload port=COM3 port=COM4 port=/dev/pts/9 port=COM5 image=image.binary"},
        {{"--eeprom", "--no-run", "--fixed", "--force", "--reset", "rts", "--trace=t.log", "-p", "1", "x"},
         "upload port=COM1 image=x eeprom no-run force fixed rts trace=t.log"},
        {{"--fixed", "--dense", "--reset", "dtr", "-p", "1", "x"}, "upload port=COM1 image=x"},
        {{"--dense", "--fixed", "-p", "1", "x"}, "upload port=COM1 image=x fixed"},
        {{"--rom", "--window-timing", "-p", "1", "x"}, "upload port=COM1 image=x rom window-timing"},
        {{"--identify", "--port", "/dev/x"}, "identify port=/dev/x"},
        {{"--terminal", "-p", "1"}, "upload port=COM1 terminal=115200"},
        {{"--terminal", "--baud", "9600", "-p", "1", "x", "--report", "r.json"},
         "upload port=COM1 image=x terminal=9600 report=r.json"},
        {{"--report", "-", "-p", "1,2", "x"}, "upload port=COM1 port=COM2 image=x report=-"},
        {{"--list"}, "list"},
        {{"--scan"}, "scan"},
        {{"--info", "a.binary"}, "info image=a.binary"},
        // Help and version answer at once, whatever follows them.
        {{"--help", "--bogus"}, "help"},
        {{"--list", "--scan", "-h"}, "help"},
        {{"--version", "--port"}, "version"},

        // Without a port the board is looked for, unless nothing would reset it.
        {{"image.binary"}, "upload image=image.binary"},
        {{"--identify"}, "identify"},
        {{"--terminal", "image.binary"}, "upload image=image.binary terminal=115200"},
        {{"--terminal"}, "error: no port given (--port PORT)"},
        {{"--port", "3"}, "error: no image file given"},
        {{"--info"}, "error: no image file given"},
        {{"--port"}, "error: option --port needs a value"},
        {{"x", "-p"}, "error: option -p needs a value"},
        {{"--port", ",", "x"}, "error: option --port needs a port"},
        {{"--port", "3", "a", "b"}, "error: unexpected argument b"},
        {{"--list", "a"}, "error: unexpected argument a"},
        {{"--bogus", "--port", "3", "a"}, "error: unknown option --bogus"},
        {{"--bogus-first", "--help"}, "error: unknown option --bogus-first"},
        {{"--scan", "--port", "3"}, "error: --port does not go with this action"},
        {{"--list", "--scan"}, "error: --identify, --list, --scan and --info exclude each other"},
        {{"--info", "--identify", "-p", "1", "x"}, "error: --identify, --list, --scan and --info exclude each other"},
        {{"--reset", "cts", "-p", "1", "x"}, "error: --reset takes dtr or rts, not cts"},
        {{"--no-run", "-p", "1", "x"}, "error: --no-run goes with --eeprom"},
        {{"--terminal", "-p", "1,2"}, "error: --terminal takes one port"},
        {{"--terminal", "--identify", "-p", "1"}, "error: --terminal does not go with this action"},
        {{"--baud", "9600", "-p", "1", "x"}, "error: --baud goes with --terminal"},
        {{"--terminal", "--baud", "96OO", "-p", "1"},
         "error: --baud takes a rate in baud, a whole number above 0, not 96OO"},
        {{"--terminal", "--baud", "-5", "-p", "1"},
         "error: --baud takes a rate in baud, a whole number above 0, not -5"},
        {{"--terminal", "--report", "r.json", "-p", "1"}, "error: --report goes with a load or --identify"},
        {{"--report", "r.json", "--scan"}, "error: --report goes with a load or --identify"},
        {{"--terminal", "--report", "-", "-p", "1", "x"},
         "error: --report - does not go with --terminal: standard output is the board's"},
    };
    for (const auto& [args, expected] : table) {
        std::string line;
        for (const auto& arg : args) line += arg + " ";
        EXPECT_EQ(parsed(args), expected) << line;
    }
}

TEST(CliOptions, PortIsADevicePathOrAComNumber) {
    EXPECT_EQ(parsePort("/dev/ttyUSB0").devicePath, "/dev/ttyUSB0");
    EXPECT_FALSE(parsePort("/dev/ttyUSB0").comNumber);
    EXPECT_EQ(parsePort("7").comNumber, 7);
    EXPECT_EQ(parsePort(" 12x").comNumber, 12);
    EXPECT_EQ(parsePort("COM32").comNumber, 32);
    EXPECT_EQ(parsePort("com4").comNumber, 4);
    EXPECT_EQ(parsePort("\\\\.\\COM3").devicePath, "\\\\.\\COM3");
}

TEST(CliOptions, HelpNamesEveryOption) {
    for (const char* option : {"--port", "--eeprom", "--no-run", "--force", "--fixed", "--dense", "--rom",
                               "--window-timing", "--reset", "--trace", "--report", "--terminal", "--baud",
                               "--identify", "--list", "--scan", "--info", "--help", "--version"})
        EXPECT_NE(usage().find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace kestrup::cli
