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

TEST(CliOptions, UploadNeedsOnePortAndOneImage) {
    const auto good = parseOptions({"--port", "3", "image.binary"});
    EXPECT_EQ(good.error, "");
    EXPECT_EQ(good.options.image, "image.binary");
    EXPECT_EQ(parseOptions({"image.binary", "--port=/dev/pts/4"}).options.ports.at(0).devicePath, "/dev/pts/4");

    EXPECT_NE(parseOptions({"image.binary"}).error, "");
    EXPECT_NE(parseOptions({"--port", "3"}).error, "");
    EXPECT_NE(parseOptions({"--port"}).error, "");
    EXPECT_NE(parseOptions({"--port", "3", "a", "b"}).error, "");
    EXPECT_EQ(parseOptions({"--bogus", "--port", "3", "a"}).error, "unknown option --bogus");
}

TEST(CliOptions, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(parseOptions({"--bogus-later", "--help"}).error, "unknown option --bogus-later");
    EXPECT_EQ(parseOptions({"--help", "--bogus"}).options.action, Options::Action::help);
    EXPECT_EQ(parseOptions({"--version"}).options.action, Options::Action::version);
}

}  // namespace
}  // namespace kestrup::cli
