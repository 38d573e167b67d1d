#include "image_check.h"

#include <gtest/gtest.h>

namespace kestrup::cli {
namespace {

// A well-formed image of `bytes` bytes, its checksum byte set so that the chip's rule holds.
std::vector<std::uint8_t> image(std::size_t bytes) {
    std::vector<std::uint8_t> b(bytes, 0);
    for (std::size_t i = 16; i < bytes; ++i) b[i] = static_cast<std::uint8_t>(i * 7);
    auto put16 = [&b](std::size_t at, unsigned v) {
        b[at] = static_cast<std::uint8_t>(v);
        b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    b[0] = 0x00; b[1] = 0x1B; b[2] = 0xB7; b[3] = 0x00;  // 12 MHz
    b[4] = 0x6F;
    put16(6, 0x10);
    put16(8, static_cast<unsigned>(bytes));
    put16(10, static_cast<unsigned>(bytes + 8));
    put16(12, 0x18);
    put16(14, static_cast<unsigned>(bytes + 12));
    // Stack markers below dbase count where they land in RAM; a full image has them past it.
    unsigned sum = bytes + 8 <= 32768 ? 2 * (0xFF + 0xF9 + 0xFF + 0xFF) : 0;
    for (auto v : b) sum += v;
    b[5] = static_cast<std::uint8_t>(0x100 - sum % 256);
    return b;
}

bool mentions(const ImageVerdict& v, const std::string& words) {
    for (const auto& p : v.problems)
        if (p.text.find(words) != std::string::npos) return true;
    return false;
}

TEST(ImageCheck, AWellFormedImagePasses) {
    for (std::size_t size : {16u, 100u, 32000u, 32768u}) {
        const auto v = checkImage(image(size));
        EXPECT_TRUE(v.ok()) << size << (v.problems.empty() ? "" : v.problems[0].text);
        EXPECT_EQ(v.header.vbase, size);
    }
}

TEST(ImageCheck, EachFaultIsNamed) {
    auto corrupt = image(64);
    corrupt[40] ^= 1;
    EXPECT_TRUE(mentions(checkImage(corrupt), "checksum"));

    auto pbase = image(64);
    pbase[6] = 0x20;
    EXPECT_TRUE(mentions(checkImage(pbase), "pbase is 0x0020"));

    auto dbase = image(64);
    dbase[10] = 60;  // below the image's end
    EXPECT_TRUE(mentions(checkImage(dbase), "dbase"));

    auto big = image(64);
    big.resize(32769, 0);
    EXPECT_TRUE(mentions(checkImage(big), "more than the chip's 32768"));
    EXPECT_TRUE(checkImage(big).refused());
}

TEST(ImageCheck, EepromFileOfFullRamSendsItsLengthWordsWorth) {
    auto eeprom = image(200);
    eeprom.resize(32768, 0x00);  // the rest of RAM as an .eeprom file holds it
    const auto v = checkImage(eeprom);
    EXPECT_TRUE(v.ok());
    EXPECT_EQ(v.header.vbase, 200);
}

TEST(ImageCheck, ShortFilesAreLeftToTheUploadWhenItReportsThemItself) {
    auto shortByALong = image(64);
    shortByALong.resize(60);
    const auto v = checkImage(shortByALong);
    EXPECT_FALSE(v.ok());
    EXPECT_FALSE(v.refused());  // "Code Error -> Abort" from the upload, as in the window program
    EXPECT_FALSE(checkImage(std::vector<std::uint8_t>(8, 0)).refused());
    EXPECT_TRUE(checkImage(std::vector<std::uint8_t>(14, 0)).refused());
}

TEST(ImageCheck, DescriptionListsFieldsAndVerdict) {
    const std::string text = describe(checkImage(image(64)), 64);
    EXPECT_NE(text.find("pbase       0x0010"), std::string::npos);
    EXPECT_NE(text.find("vbase       0x0040 (image length 64 bytes, 16 longs)"), std::string::npos);
    EXPECT_NE(text.find("verdict     OK"), std::string::npos);
    auto bad = image(64);
    bad[6] = 0;
    EXPECT_NE(describe(checkImage(bad), 64).find("verdict     REFUSED\n  - pbase"), std::string::npos);
}

}  // namespace
}  // namespace kestrup::cli
