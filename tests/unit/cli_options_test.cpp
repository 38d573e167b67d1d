#include "options.h"

#include <gtest/gtest.h>

namespace kestrup::cli {
namespace {

TEST(CliOptions, PortIsADevicePathOrAComNumber) {
    EXPECT_EQ(parsePort("/dev/ttyUSB0").devicePath, "/dev/ttyUSB0");
    EXPECT_FALSE(parsePort("/dev/ttyUSB0").comNumber);
    EXPECT_EQ(parsePort("7").comNumber, 7);
    EXPECT_EQ(parsePort(" 12x").comNumber, 12);
    EXPECT_EQ(parsePort("\\\\.\\COM3").devicePath, "\\\\.\\COM3");
}

TEST(CliOptions, SeveralPortsByListOrRepetition) {
    const auto r = parseOptions({"--port", "3,4", "-p", "/dev/pts/9", "--port=5", "image.binary"});
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.options.ports.size(), 4u);
    EXPECT_EQ(r.options.ports[1].comNumber, 4);
    EXPECT_EQ(r.options.ports[2].devicePath, "/dev/pts/9");
    EXPECT_EQ(r.options.ports[3].comNumber, 5);
    EXPECT_EQ(parseOptions({"--port", ",", "x"}).error, "option --port needs a port");
}

TEST(CliOptions, UploadNeedsAPortAndOneImage) {
    const auto good = parseOptions({"--port", "3", "image.binary"});
    EXPECT_EQ(good.error, "");
    EXPECT_EQ(good.options.image, "image.binary");
    EXPECT_EQ(good.options.action, Options::Action::upload);
    EXPECT_EQ(good.options.encoding, LongEncoding::dense);
    EXPECT_EQ(good.options.reset, ResetLine::dtr);

    EXPECT_EQ(parseOptions({"image.binary"}).error, "no port given (--port PORT)");
    EXPECT_EQ(parseOptions({"--port", "3"}).error, "no image file given");
    EXPECT_EQ(parseOptions({"--port"}).error, "option --port needs a value");
    EXPECT_EQ(parseOptions({"--port", "3", "a", "b"}).error, "unexpected argument b");
    EXPECT_EQ(parseOptions({"--bogus", "--port", "3", "a"}).error, "unknown option --bogus");
}

TEST(CliOptions, ActionsAndTheirArguments) {
    EXPECT_EQ(parseOptions({"--identify", "--port", "/dev/x"}).options.action, Options::Action::identify);
    EXPECT_EQ(parseOptions({"--identify"}).error, "no port given (--port PORT)");
    EXPECT_EQ(parseOptions({"--list"}).options.action, Options::Action::list);
    EXPECT_EQ(parseOptions({"--scan", "--port", "3"}).error, "--port does not go with this action");
    EXPECT_EQ(parseOptions({"--info", "a.binary"}).options.image, "a.binary");
    EXPECT_EQ(parseOptions({"--info"}).error, "no image file given");
    EXPECT_EQ(parseOptions({"--list", "--scan"}).error, "--identify, --list, --scan and --info exclude each other");
}

TEST(CliOptions, LoadSwitches) {
    const auto r = parseOptions({"--eeprom", "--no-run", "--fixed", "--force", "--reset", "rts", "--trace=t.log", "-p", "1", "x"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.options.eeprom);
    EXPECT_FALSE(r.options.run);
    EXPECT_TRUE(r.options.force);
    EXPECT_EQ(r.options.encoding, LongEncoding::fixed);
    EXPECT_EQ(r.options.reset, ResetLine::rts);
    EXPECT_EQ(r.options.trace, "t.log");
    EXPECT_EQ(parseOptions({"--reset", "cts", "-p", "1", "x"}).error, "--reset takes dtr or rts, not cts");
    EXPECT_EQ(parseOptions({"--no-run", "-p", "1", "x"}).error, "--no-run goes with --eeprom");
}

TEST(CliOptions, HelpAndVersionWinOverWhatFollows) {
    EXPECT_EQ(parseOptions({"--bogus-first", "--help"}).error, "unknown option --bogus-first");
    EXPECT_EQ(parseOptions({"--help", "--bogus"}).options.action, Options::Action::help);
    EXPECT_EQ(parseOptions({"--version"}).options.action, Options::Action::version);
    // The help names every option it takes.
    for (const char* option : {"--port", "--eeprom", "--no-run", "--force", "--fixed", "--dense", "--reset", "--trace",
                               "--identify", "--list", "--scan", "--info", "--help", "--version"})
        EXPECT_NE(usage().find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace kestrup::cli
