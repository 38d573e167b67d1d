// Images from the image maker must load: a header as a compiler writes it and a sum of zero.

#include <gtest/gtest.h>

#include "chip_model.h"
#include "image_maker.h"
#include "propsim_options.h"

namespace kestrup::sim {
namespace {

unsigned word(const std::vector<std::uint8_t>& image, std::size_t at) {
    return image[at] | (image[at + 1] << 8);
}

// The simulated chip's own sum over the image as loaded, not the image module's that made it.
std::uint8_t chipSum(const std::vector<std::uint8_t>& image) {
    std::vector<std::uint32_t> longs(image.size() / 4);
    for (std::size_t i = 0; i < image.size(); ++i) longs[i / 4] |= std::uint32_t{image[i]} << (8 * (i % 4));
    return ramChecksum(longs);
}

TEST(ImageMaker, WritesAHeaderThatLoadsAtEverySize) {
    for (const std::size_t size : {16u, 20u, 1024u, 8192u, 32764u, 32768u}) {
        for (const auto body : {ImageSpec::Body::random, ImageSpec::Body::zeros}) {
            ImageSpec spec;
            spec.size = size;
            spec.body = body;
            ASSERT_EQ(imageSpecError(spec), "");
            const auto image = makeImage(spec);
            ASSERT_EQ(image.size(), size);
            EXPECT_EQ(chipSum(image), 0) << size;
            EXPECT_EQ(image[0] | (image[1] << 8) | (image[2] << 16) | (unsigned{image[3]} << 24), 80'000'000u);
            EXPECT_EQ(image[4], 0x6F);
            EXPECT_EQ(word(image, 6), 0x0010u);
            EXPECT_EQ(word(image, 8), size);  // the length word the host reads
            EXPECT_EQ(word(image, 10), size + 8);
        }
    }
}

TEST(ImageMaker, BodyFollowsTheSeed) {
    ImageSpec a;
    a.seed = 7;
    ImageSpec b = a;
    b.seed = 8;
    EXPECT_EQ(makeImage(a), makeImage(a));
    EXPECT_NE(makeImage(a), makeImage(b));
    ImageSpec zeros = a;
    zeros.body = ImageSpec::Body::zeros;
    const auto image = makeImage(zeros);
    for (std::size_t i = 16; i < image.size(); ++i) ASSERT_EQ(image[i], 0) << i;
}

TEST(ImageMaker, RefusesSizesTheChipCannotTake) {
    for (const std::size_t size : {0u, 12u, 1022u, 32772u}) {
        ImageSpec spec;
        spec.size = size;
        EXPECT_NE(imageSpecError(spec), "") << size;
    }
}

TEST(PropsimOptions, SetTheChipAndRejectWhatTheyCannotMean) {
    const auto parsed = parsePropsimOptions(
        {"--pace", "--version", "3", "--wrong-bit", "249", "--stray", "2", "--gap-limit", "90", "--transcript", "t"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.options.pace);
    EXPECT_EQ(parsed.options.chip.version, 3);
    EXPECT_EQ(parsed.options.chip.faults.wrongBit, 249);
    EXPECT_EQ(parsed.options.chip.faults.strayBytes, 2);
    EXPECT_EQ(parsed.options.chip.timing.gapLimit, 90'000);
    EXPECT_EQ(parsed.options.transcript, "t");
    EXPECT_EQ(parsed.options.chip.timing.resetSilence, 60'000);  // defaults stay

    for (const auto& bad : std::vector<std::vector<std::string>>{{"--wrong-bit", "250"},
                                                                 {"--version", "256"},
                                                                 {"--stray"},
                                                                 {"--sessions", "x"},
                                                                 {"--bogus"},
                                                                 {"--hangup", "checksum"},
                                                                 {"--hangup"}})
        EXPECT_NE(parsePropsimOptions(bad).error, "") << bad[0];
}

TEST(PropsimOptions, EepromFaultsAndWhereTheBoardIsPulled) {
    EXPECT_EQ(parsePropsimOptions({}).options.hangup, Hangup::never);
    for (const auto& [word, point] : std::vector<std::pair<std::string, Hangup>>{
             {"handshake", Hangup::handshake}, {"load", Hangup::load}, {"ack", Hangup::acknowledgement}}) {
        const auto parsed = parsePropsimOptions({"--hangup", word});
        ASSERT_EQ(parsed.error, "") << word;
        EXPECT_EQ(parsed.options.hangup, point) << word;
    }
    const auto faults = parsePropsimOptions({"--eeprom-program-fails", "--eeprom-verify-fails"});
    ASSERT_EQ(faults.error, "");
    EXPECT_TRUE(faults.options.chip.faults.programFails);
    EXPECT_TRUE(faults.options.chip.faults.verifyFails);
    EXPECT_FALSE(parsePropsimOptions({}).options.chip.faults.programFails);
}

}  // namespace
}  // namespace kestrup::sim
