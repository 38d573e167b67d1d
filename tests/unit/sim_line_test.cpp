// The simulated chip reads bytes by their low pulses on an 8N2 line, as the ROM does.

#include <gtest/gtest.h>

#include <string>

#include "line.h"
#include "propsim_options.h"
#include "rom/loader_protocol.h"

namespace kestrup::sim {
namespace {

std::string bitsOf(std::uint8_t byte) {
    const FrameBits frame = decodeFrame(byte);
    if (frame.framingError) return "framing";
    std::string bits;
    for (int i = 0; i < frame.count; ++i) bits += frame.bits[static_cast<std::size_t>(i)] ? '1' : '0';
    return bits;
}

TEST(FrameDecoding, ReadsLowPulsesAsBitsAndLongerOnesAsFramingErrors) {
    const struct {
        std::uint8_t byte;
        const char* bits;
    } table[] = {
        {0xF9, "10"},  // the clock: the one byte that shows the chip both widths
        {0xFE, "0"},       {0xFF, "1"},       {0x92, "000"},   {0xDB, "111"}, {0x93, "100"},
        {0xF2, "00"},      {0xFB, "11"},      {0x55, "11111"},  // five pulses, the densest a frame can carry
        {0x7F, "11"},                                           // the last data bit's pulse is ended by the stop bits
        {0x00, "framing"},                                      // nine bit-times low
        {0xFC, "framing"},                                      // start bit and two data bits: three bit-times
        {0xF0, "framing"}, {0x24, "framing"},
    };
    for (const auto& row : table) EXPECT_EQ(bitsOf(row.byte), row.bits) << std::hex << int{row.byte};
}

TEST(FrameDecoding, GivesBackEveryBitOfTheHostsLongEncoding) {
    for (const std::uint32_t value : {0u, 1u, 7u, 8u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u, 0xA5A5A5A5u}) {
        std::uint32_t decoded = 0;
        int position = 0;
        for (const std::uint8_t byte : encodeLong(value)) {
            const FrameBits frame = decodeFrame(byte);
            ASSERT_FALSE(frame.framingError);
            for (int i = 0; i < frame.count; ++i)
                decoded |= std::uint32_t{frame.bits[static_cast<std::size_t>(i)]} << position++;
        }
        EXPECT_EQ(position, 32);
        EXPECT_EQ(decoded, value);
    }
}

// propsim --fault, as the chip-logic rig takes it: the bytes each way counted apart, and only those
// sent while the host's line is at the fault's rate.
TEST(LineFaults, LoseOrDamageTheNthByteOneWayAtTheRateNamed) {
    const auto parsed = parsePropsimOptions({"--fault", "to-chip:460800:2:drop", "--fault", "to-host:any:3:flip"});
    ASSERT_EQ(parsed.error, "");
    for (const char* bad : {"to-chip:460800:0:drop", "sideways:any:1:drop", "to-host:fast:1:flip", "to-host:any:1"})
        EXPECT_NE(parsePropsimOptions({"--fault", bad}).error, "") << bad;
    LineFaults faults(parsed.options.lineFaults);
    std::string seen;
    const auto pass = [&](LineWay way, int baud, std::uint8_t byte) {
        const auto out = faults.pass(way, baud, byte);
        seen += out ? std::to_string(*out) + " " : "- ";
    };
    for (int i = 0; i < 3; ++i) {
        pass(LineWay::toChip, 115200, 0x41);
        pass(LineWay::toChip, 460800, 0x42);
        pass(LineWay::toHost, 460800, 0x43);
    }
    EXPECT_EQ(seen, "65 66 67 65 - 67 65 66 75 ");
}

}  // namespace
}  // namespace kestrup::sim
