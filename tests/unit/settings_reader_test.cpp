#include <gtest/gtest.h>

#include <optional>

#include "settings.h"

namespace kestrup::settings {
namespace {

// One lookup after the settings load's own group lookup: a text key when text is set, else a
// number key with the default the load uses for it.
struct Case {
    const char* what;
    std::string bytes;
    const char* key;
    std::optional<std::string> text;
    std::int32_t number = 0;
};

const std::string bom = "\xEF\xBB\xBF";

class ReaderTable : public ::testing::TestWithParam<Case> {};

TEST_P(ReaderTable, ReadsAsTheLoadAsks) {
    const Case& c = GetParam();
    Reader reader = Reader::fromBytes(c.bytes);
    reader.selectGroup("Config");
    if (c.text) {
        EXPECT_EQ(reader.readText(c.key, "<default>"), *c.text) << c.what;
    } else {
        const std::int32_t fallback = std::string_view(c.key) == "WinY" ? 200 : 630;
        EXPECT_EQ(reader.readNumber(c.key, fallback), c.number) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReaderTable,
    ::testing::Values(
        Case{"plain text", "[Config]\r\nComN0=3\r\n", "ComN0", "3"},
        Case{"blanks lost at both ends", "[Config]\r\nComN0=  3 4 \t \r\n", "ComN0", "3 4"},
        Case{"tabs lost too", "[Config]\r\nComN1=\t5\t\r\n", "ComN1", "5"},
        Case{"an = inside the value", "[Config]\r\nComN2=a=b =\r\n", "ComN2", "a=b ="},
        Case{"missing key gives the default", "[Config]\r\nComN1=4\r\n", "ComN0", "<default>"},
        Case{"key without = at the end of the file", "[Config]\r\nComN0", "ComN0", ""},
        Case{"key without = before CR LF", "[Config]\r\nComN0\r\nComN1=4\r\n", "ComN0", ""},
        Case{"lone LF after a key without =: the next line is its own", "[Config]\nComN0\nComN1=4\n", "ComN1", "4"},
        Case{"lone LF after a key without =: empty value", "[Config]\nComN0\nComN1=4\n", "ComN0", ""},
        Case{"lone CR after a key without =", "[Config]\rComN0\rComN1=4\r", "ComN1", "4"},
        Case{"key name trimmed at its end", "[Config]\r\nComN0 \t=7\r\n", "ComN0", "7"},
        Case{"blanks before a line passed over", "[Config]\r\n \t ComN0=7\r\n", "ComN0", "7"},
        Case{"blanks inside a key name keep it apart", "[Config]\r\nCom N0=7\r\n", "ComN0", "<default>"},
        Case{"comment lines take no part", "[Config]\r\n;ComN0=1\r\n\r\n  ; x\r\nComN0=2\r\n", "ComN0", "2"},
        Case{"runs of CR and LF are one line end", "[Config]\r\r\n\n\rComN0=9\n\r", "ComN0", "9"},
        Case{"group name case ignored", "[config]\r\nComN0=1\r\n", "ComN0", "1"},
        Case{"key name case ignored", "[Config]\r\ncomn0=1\r\n", "ComN0", "1"},
        Case{"first of two groups", "[Config]\r\nComN0=1\r\n[CONFIG]\r\nComN0=2\r\n", "ComN0", "1"},
        Case{"first of two groups even without the key", "[Config]\r\n[Config]\r\nComN0=2\r\n", "ComN0", "<default>"},
        Case{"first of two keys", "[Config]\r\nComN0=1\r\nCOMN0=2\r\n", "ComN0", "1"},
        Case{"a key of another group", "[Other]\r\nComN0=1\r\n[Config]\r\n", "ComN0", "<default>"},
        Case{"keys before the first group unseen", "ComN0=1\r\n[Config]\r\n", "ComN0", "<default>"},
        Case{"no Config group: defaults", "[Other]\r\nComN0=1\r\n", "ComN0", "<default>"},
        Case{"group names verbatim", "[ Config]\r\nComN0=1\r\n", "ComN0", "<default>"},
        Case{"text after the bracket ignored", "[Config] ; old\r\nComN0=1\r\n", "ComN0", "1"},
        Case{"group without closing bracket", "[Config\r\nComN0=1\r\n", "ComN0", "1"},
        Case{"empty file", "", "ComN0", "<default>"},
        Case{"byte-order mark, ASCII", bom + "[Config]\r\nComN0=12\r\n", "ComN0", "12"},
        Case{"byte-order mark: UTF-8 back to 8 bits", bom + "[Config]\r\nComN0=\xC3\xA9t\xC2\xA0\r\n", "ComN0",
             "\xE9t\xA0"},
        Case{"byte-order mark: above 255 reads empty", bom + "[Config]\r\nComN0=a\xE2\x82\xAC\r\n", "ComN0", ""},
        Case{"byte-order mark: cut sequence reads empty", bom + "[Config]\r\nComN0=a\xC3\r\n", "ComN0", ""},
        Case{"byte-order mark: bad continuation reads empty", bom + "[Config]\r\nComN0=\xC3(\r\n", "ComN0", ""},
        Case{"byte-order mark: overlong form reads empty", bom + "[Config]\r\nComN0=\xC1\x81\r\n", "ComN0", ""},
        Case{"byte-order mark: lone continuation reads empty", bom + "[Config]\r\nComN0=\x80\r\n", "ComN0", ""},
        Case{"no mark: bytes as they are", "[Config]\r\nComN0=\xC3\xA9\r\n", "ComN0", "\xC3\xA9"},
        Case{"mark not at the start is a key",
             "[Config]\r\n\xEF\xBB\xBF"
             "ComN0=1\r\n",
             "ComN0", "<default>"},
        Case{"number", "[Config]\r\nWinX=12\r\n", "WinX", std::nullopt, 12},
        Case{"winx found", "[config]\r\nwinx=12\r\n", "WinX", std::nullopt, 12},
        Case{"empty WinX gives 0", "[Config]\r\nWinX=\r\n", "WinX", std::nullopt, 0},
        Case{"WinX without = gives 0", "[Config]\r\nWinX\r\n", "WinX", std::nullopt, 0},
        Case{"missing WinX gives 630", "[Config]\r\nWinY=5\r\n", "WinX", std::nullopt, 630},
        Case{"missing WinY gives 200", "[Config]\r\nWinX=5\r\n", "WinY", std::nullopt, 200},
        Case{"negative WinY", "[Config]\r\nWinY=-35\r\n", "WinY", std::nullopt, -35},
        Case{"plus sign and trailing text", "[Config]\r\nWinX=+12px\r\n", "WinX", std::nullopt, 12},
        Case{"letters give 0", "[Config]\r\nWinX=x12\r\n", "WinX", std::nullopt, 0},
        Case{"blank after the sign gives 0", "[Config]\r\nWinX=- 12\r\n", "WinX", std::nullopt, 0},
        Case{"other white space before digits", "[Config]\r\nWinX=\v\f7\r\n", "WinX", std::nullopt, 7},
        Case{"byte-order mark: numbers", bom + "[Config]\r\nWinX=44\r\n", "WinX", std::nullopt, 44},
        Case{"largest", "[Config]\r\nWinX=2147483647\r\n", "WinX", std::nullopt, 2147483647},
        Case{"smallest", "[Config]\r\nWinX=-2147483648\r\n", "WinX", std::nullopt, -2147483647 - 1},
        Case{"beyond the largest clamps", "[Config]\r\nWinX=2147483648\r\n", "WinX", std::nullopt, 2147483647},
        Case{"far beyond clamps", "[Config]\r\nWinX=99999999999999999999999\r\n", "WinX", std::nullopt, 2147483647},
        Case{"beyond the smallest clamps", "[Config]\r\nWinY=-2147483649\r\n", "WinY", std::nullopt, -2147483647 - 1},
        Case{"leading zeros", "[Config]\r\nWinY=-000000000000000000042\r\n", "WinY", std::nullopt, -42}));

TEST(SettingsReader, KeysBeforeAnyGroupAreFoundOnlyWithoutAGroupLookup) {
    Reader reader = Reader::fromBytes("WinX=5\r\n[Config]\r\nWinX=6\r\n");
    EXPECT_EQ(reader.readNumber("WinX", 630), 5);
    EXPECT_TRUE(reader.selectGroup("CONFIG"));
    EXPECT_EQ(reader.readNumber("WinX", 630), 6);
    EXPECT_FALSE(reader.selectGroup("Missing"));
    EXPECT_EQ(reader.readNumber("WinX", 630), 630);
}

TEST(SettingsReader, TheHeaderIsAKeyWithoutValueBeforeTheGroup) {
    const Reader reader = Reader::fromBytes("/* Kestrup Settings v0.1 */'\r\n[Config]\r\n; note\r\nWinX = 1 \r\n");
    using Kind = Reader::Entry::Kind;
    ASSERT_EQ(reader.entries().size(), 4u);
    EXPECT_EQ(reader.entries()[0].kind, Kind::key);
    EXPECT_EQ(reader.entries()[0].name, "/* Kestrup Settings v0.1 */'");
    EXPECT_EQ(reader.entries()[0].value, "");
    EXPECT_EQ(reader.entries()[1].kind, Kind::group);
    EXPECT_EQ(reader.entries()[1].name, "Config");
    EXPECT_EQ(reader.entries()[2].kind, Kind::comment);
    EXPECT_EQ(reader.entries()[2].name, " note");
    EXPECT_EQ(reader.entries()[3].name, "WinX");
    EXPECT_EQ(reader.entries()[3].value, "1 ");
}

TEST(SettingsReader, AByteOrderMarkChangesNothingForAsciiFiles) {
    const std::string file = "[Config]\r\nWinX=-3\r\nWinY=9\r\nComN0= 7 \r\nComN3=a=b\r\n";
    for (const std::string& bytes : {file, bom + file}) {
        Reader reader = Reader::fromBytes(bytes);
        EXPECT_EQ(reader.isUtf8(), bytes != file);
        ASSERT_TRUE(reader.selectGroup("Config"));
        EXPECT_EQ(reader.readNumber("WinX", 630), -3);
        EXPECT_EQ(reader.readNumber("WinY", 200), 9);
        EXPECT_EQ(reader.readText("ComN0", ""), "7");
        EXPECT_EQ(reader.readText("ComN3", ""), "a=b");
    }
}

TEST(SettingsReader, UnicodeNamesInAUtf8FileMatchTheirEightBitForm) {
    Reader reader = Reader::fromBytes(bom +
                                      "[K\xC3\xB8r]\r\nN\xC3\xA6"
                                      "vn=x\r\n");
    // Only ASCII letters match without regard to case.
    EXPECT_FALSE(reader.selectGroup("K\xD8R"));
    ASSERT_TRUE(reader.selectGroup("K\xF8R"));
    EXPECT_EQ(reader.readText("N\xE6"
                              "vn",
                              ""),
              "x");
}

TEST(SettingsReader, MalformedInputNeverFails) {
    const std::string inputs[] = {
        std::string("\0\0\0", 3),
        "[",
        "]",
        "=",
        "==",
        ";",
        "\r\n\r\n",
        "[]\r\n=\r\n",
        bom,
        "\xEF\xBB",
        std::string(100000, 'x'),
        std::string(5000, '\n') + "[Config]",
    };
    for (const std::string& bytes : inputs) {
        Reader reader = Reader::fromBytes(bytes);
        reader.selectGroup("Config");
        EXPECT_EQ(reader.readText("ComN0", "d"), "d");
        EXPECT_EQ(reader.readNumber("WinX", 630), 630);
    }
    // A two-byte start of a mark is no mark: it stays, as a key's name.
    EXPECT_FALSE(Reader::fromBytes("\xEF\xBB").isUtf8());
    EXPECT_TRUE(Reader::fromBytes(bom).entries().empty());
}

}  // namespace
}  // namespace kestrup::settings
