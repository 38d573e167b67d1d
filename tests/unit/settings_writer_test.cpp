#include <gtest/gtest.h>

#include "settings.h"

namespace kestrup::settings {
namespace {

TEST(SettingsWriter, WritesTheEightLinesWithCrLf) {
    EXPECT_EQ(format({630, 200}, {"3", "4", "", ""}),
              "/* Kestrup Settings v0.1 */'\r\n"
              "[Config]\r\n"
              "WinX=630\r\n"
              "WinY=200\r\n"
              "ComN0=3\r\n"
              "ComN1=4\r\n"
              "ComN2=\r\n"
              "ComN3=\r\n");
}

TEST(SettingsWriter, FastLoadIsANinthLineWhenOn) {
    EXPECT_EQ(format({1, 2}, {"3", "", "", ""}, true),
              "/* Kestrup Settings v0.1 */'\r\n[Config]\r\nWinX=1\r\nWinY=2\r\nComN0=3\r\nComN1=\r\nComN2=\r\n"
              "ComN3=\r\nFastLoad=1\r\n");
}

TEST(SettingsWriter, NumbersAndTextsAsTheyAre) {
    const std::string bytes = format({-12, 0}, {" 7 ", "a=b", "\t", "-2147483648"});
    EXPECT_NE(bytes.find("\r\nWinX=-12\r\nWinY=0\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nComN0= 7 \r\nComN1=a=b\r\nComN2=\t\r\nComN3=-2147483648\r\n"), std::string::npos);
    EXPECT_EQ(format({-2147483647 - 1, 2147483647}, {}).substr(40, 35), "WinX=-2147483648\r\nWinY=2147483647\r\n");
}

TEST(SettingsWriter, WhatIsWrittenReadsBackLessOuterBlanks) {
    struct Case {
        WindowPosition position;
        std::array<std::string, comRows> texts;
        std::array<std::string, comRows> readBack;
    };
    const Case cases[] = {
        {{630, 200}, {"3", "4", "", ""}, {"3", "4", "", ""}},
        {{-40, -7}, {"  5", "6  ", " a b ", "x=y=z"}, {"5", "6", "a b", "x=y=z"}},
        {{0, 0},
         {"\t9\t", ";not a comment", "[not a group]", "COM3"},
         {"9", ";not a comment", "[not a group]", "COM3"}},
        {{1919, 1079}, {"\xE9", "\xFF", "", "12345678901234567890"}, {"\xE9", "\xFF", "", "12345678901234567890"}},
    };
    for (const Case& c : cases) {
        Reader reader = Reader::fromBytes(format(c.position, c.texts));
        ASSERT_TRUE(reader.selectGroup("Config"));
        EXPECT_EQ(reader.readNumber("WinX", 630), c.position.x);
        EXPECT_EQ(reader.readNumber("WinY", 200), c.position.y);
        for (int row = 0; row < comRows; ++row)
            EXPECT_EQ(reader.readText(comKey(row), "<missing>"), c.readBack[static_cast<std::size_t>(row)]) << row;
    }
}

}  // namespace
}  // namespace kestrup::settings
