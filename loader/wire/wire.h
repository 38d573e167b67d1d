#pragma once
// The wire between the host and Kestrup's code on the chip, written once: every fact that the
// chip's side (stage/firmware/*.spin), the host (stage/), propsim's model of the chip and the tests
// share. docs/protocol.md describes the whole sequence; the assembly's values are held to these by
// scripts/check-wire.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kestrup {

void putLong(std::vector<std::uint8_t>& out, std::uint32_t value);

namespace pilot {

// The ROM's rate in the stage's path: the port is at it already.
inline constexpr int baud = 230400;
inline constexpr std::uint8_t ping = 0xFF;
// The sync: its start bit and seven zeros, one low pulse of syncBits bit times, which gives the
// pilot its bit time. A pulse of syncLeast clocks or more is a sync (pilot.spin's SYNC_LEAST): a
// ping is one bit time low, 35 to 87 clocks at pilot::baud on an 8 to 20 MHz chip, a sync 278 or
// more, and nothing of the ROM's phase more than two bits (174 clocks at 20 MHz).
inline constexpr std::uint8_t syncByte = 0x80;
inline constexpr int syncBits = 8;
inline constexpr std::uint32_t syncLeast = 224;
// The pilot's first instruction writes the clock register from a long of its own, which holds this
// until the host puts a clock mode's oscillator and PLL bits in its low byte (the clock still the
// RC one): the crystal then settles while the bootstrap and the stage come, for a stage that moves
// the chip to the crystal's PLL. As it stands, its low byte 0: the RC clock alone, as after a reset.
inline constexpr std::uint32_t clockModeMarker = 0xC10C0000;

std::vector<std::uint8_t> load(std::span<const std::uint32_t> longs);
// The pilot's longs (an image, its checksum kept) with the oscillator and PLL of `clockMode` started
// at once.
std::vector<std::uint32_t> startingCrystal(std::span<const std::uint32_t> pilotLongs, std::uint8_t clockMode);

}  // namespace pilot

namespace boot {

inline constexpr int baud = 460800;
// The sync: its start bit and three zeros, syncBits bit times low; the stage's receiver, which the
// bootstrap's is, takes none shorter than stage::minSyncClocks.
inline constexpr std::uint8_t syncByte = 0xF8;
inline constexpr int syncBits = 4;
inline constexpr std::uint32_t helloLong = 0x55555555;
inline constexpr std::uint32_t maxLongs = 1024;
inline constexpr std::size_t answerBytes = 4;
// From the end of the bootstrap's 'K' (its last byte's four stop bits) until the stage it started
// takes a sync: the interpreter, then the stage's cogs loaded and its receivers' byte loops
// unrolled. Measured on the chip's logic: 28,035 clocks at 12 MHz and 748,800 baud, the receiver
// of cog 0 the last one ready.
inline constexpr std::int64_t stageListensClocks = 28'035;

// The bootstrap's answers, by their code byte; the value is 24 bits.
namespace answer {
enum Code : char {
    hello = 'H',     // value: the sync's 4 bit times in chip clocks
    loaded = 'K',    // value: the longs taken; the stage starts
    sumWrong = 'X',  // value: the longs taken, whose sums failed
};
inline constexpr std::string_view all = "HKX";
}  // namespace answer

std::vector<std::uint8_t> hello();
std::vector<std::uint8_t> load(std::span<const std::uint32_t> longs);

// The rate the stage's load goes at: the fastest adapter rate (adapter::, below) at 16 clocks a bit
// or more, of the clock as the hello measured it, which may lie 0.5% low (a rate asked 0.16% from
// the one made, a clock in 104): 15.9 at the least. The bootstrap sums the longs as it takes them:
// at 15.8 clocks a bit on the chip's logic it once took no load, where a clock more costs the
// stage's 2.8 KB 5% more time.
inline constexpr int loadClocksPerBit = 16;
int loadBaud(std::int64_t chipHz);

struct Answer {
    char code;
    std::uint32_t value;
};
// The first answer in what has arrived, the bytes before it dropped; bytes that start no answer
// are dropped one at a time, and an incomplete one is left for the next bytes.
std::optional<Answer> takeAnswer(std::vector<std::uint8_t>& received);
// The same, of the answers whose codes are `codes`.
std::optional<Answer> takeAnswerOf(std::vector<std::uint8_t>& received, std::string_view codes);

}  // namespace boot

namespace identify {

// The identify program (stage/firmware/identify.spin), which the bootstrap carries instead of the
// stage when the host asks what is on the line. It times the chip's clock by the host's bit time,
// so the host asks a rate its adapter makes exactly: 3 MHz / 30, as the 3 MHz-clocked adapters
// (FTDI's) make it, and any adapter of finer steps.
inline constexpr int baud = 100'000;
// The sync: its start bit and seven zeros, one low pulse of syncBits bit times: 640 clocks on an
// 8 MHz RC clock, 320 on a 4 MHz crystal, timed to a clock or two. None under syncLeast is taken.
inline constexpr std::uint8_t syncByte = 0x80;
inline constexpr int syncBits = 8;
inline constexpr std::uint32_t syncLeast = 200;
// From the crystal oscillator's start to the switch to it, by the RC clock: 10 ms at 20 MHz, 25 ms
// at 8 MHz.
inline constexpr std::int64_t settleClocks = 200'000;
// The EEPROM's answer: eepromAnswered when the device acknowledged its address; then for each probe
// k (0 to eepromProbes - 1) the bit eepromSameFirst << k when the eepromProbeBytes at
// eepromFirstProbe << k read as those at 0 do: where a part smaller than the address reach wraps.
inline constexpr std::uint32_t eepromAnswered = 1;
inline constexpr std::uint32_t eepromSameFirst = 2;
inline constexpr std::uint32_t eepromFirstProbe = 0x2000;
inline constexpr int eepromProbes = 3;
inline constexpr int eepromProbeBytes = 8;

// Its answers, by their code byte, in the bootstrap's shape (boot::Answer): a code and 24 bits.
namespace answer {
enum Code : char {
    rcClock = 'C',  // value: the first sync's syncBits bit times in RC clocks
    eeprom = 'E',   // value: eepromAnswered and the probes' bits
    crystal = 'X',  // value: a sync's syncBits bit times in crystal clocks, once the chip runs on it
};
inline constexpr std::string_view all = "CEX";
}  // namespace answer

// One sync.
std::vector<std::uint8_t> sync();
// The first answer in what has arrived, as boot::takeAnswer takes the bootstrap's.
std::optional<boot::Answer> takeAnswer(std::vector<std::uint8_t>& received);

}  // namespace identify

namespace stage {

// The sync: its start bit and three zeros, one low pulse of syncBits bit times, from which the stage
// takes each message's bit time. A pulse is a sync when it is minSyncClocks or more (under 15
// clocks a bit the receiver's waitcnts fall behind), or fastSyncLeast to fastSyncMost in the RAM
// build (12 clocks a bit within 4%, sampled by instruction time), and no shorter than the stage's
// floor: at first firstSyncFloor when the ROM started it (above a late poll for the ROM's verdict,
// below 115200 baud's sync at 8 MHz), the bootstrap's bit time when the bootstrap did.
inline constexpr std::uint8_t syncByte = 0xF8;
inline constexpr int syncBits = 4;
inline constexpr std::uint32_t minSyncClocks = 60;
inline constexpr std::uint32_t fastSyncLeast = 46;
inline constexpr std::uint32_t fastSyncMost = 50;
inline constexpr std::uint32_t firstSyncFloor = 216;
inline constexpr std::size_t packetLongs = 255;
// The stage's work between the last packet's answer and the verdict on a RAM load: the zero fill
// (16 clocks a long), the sum, and the proof's CRC over the zeros (40,000).
inline constexpr std::int64_t verdictClocks = 8192 * 16 + 60000;
// The chip's hub RAM, whose top two longs are the stage's mailbox: its cogs talk through them.
inline constexpr std::uint32_t ramBytes = 0x8000;
inline constexpr std::uint32_t mailbox = 0x7FF8;
// The EEPROM build's talker tells its EEPROM cog through the long below the mailbox how far the
// image came in checked packets: no packet's data reaches it.
inline constexpr std::uint32_t eepromFeed = mailbox - 4;
inline constexpr std::uint32_t minLongs = 4;
// A packet's trailer is stored after its data, and nothing below the mailbox: the last packet of
// the largest image ends a long below it. (An image of a long more would fit, its stack markers in
// the mailbox, but not its last trailer.)
inline constexpr std::uint32_t maxLongs = mailbox / 4 - 1;
inline constexpr std::uint8_t beginProgramEeprom = 1;
inline constexpr std::uint8_t beginRunAfterEeprom = 2;
// The chip's clock in MHz, rounded up, goes in the begin flags' upper six bits.
inline constexpr int beginMegahertzShift = 2;
// What the ROM writes at dbase - 8 and dbase - 4 before it sums RAM; the stage writes them too.
inline constexpr std::uint32_t stackMarker = 0xFFF9FFFF;
// The ROM starts an image only with this pbase; the stage proves any other and shuts the chip down.
inline constexpr std::uint16_t startPbase = 0x0010;
// From the clock mode's oscillator and PLL started to the switch to them: 20 ms at 20 MHz.
inline constexpr std::int64_t settleClocks = 400'000;
// Go's delay counts in these.
inline constexpr std::int64_t goDelayClocks = 256;
// The EEPROM build writes, reads back and checks 64-byte pages, and once the whole image is in,
// answers 'p' with the pages done, then every pagesPerProgress.
inline constexpr std::size_t eepromPageBytes = 64;
inline constexpr std::size_t pagesPerProgress = 16;

inline constexpr std::uint32_t crcStart = 0xFFFFFFFF;
// The CRC register after bytes, from register (uncomplemented); crc32 is its complement from crcStart.
std::uint32_t crcAfter(std::uint32_t crc, std::span<const std::uint8_t> bytes);
std::uint32_t crcAfter(std::uint32_t crc, std::span<const std::uint32_t> longs);
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// The whole message: sync, length, data, trailer and check, the check's register starting at
// crcBefore: the image's CRC register before the packet (crcStart for packet 0 and for no data).
std::vector<std::uint8_t> frame(std::span<const std::uint32_t> data, std::uint32_t trailer,
                                std::uint32_t crcBefore = crcStart);
// The hello: its code 'U', and bytes of the stage's choosing where it reads none (the length before
// begin, the trailer's upper bytes), picked with the check so that no byte has two 0 bits together.
inline constexpr std::uint32_t helloTrailer = 0xF57B5F55;
inline constexpr std::uint8_t helloLength = 0x55;
std::vector<std::uint8_t> helloFrame();
std::uint32_t rateTrailer(std::uint32_t floorClocks);
// Clock (the RAM build): the chip moves to `mode`, whose oscillator and PLL the pilot started, once
// the answer has left at the RC clock's rate; the next sync may be as short as `floorClocks` of the
// new clock.
std::uint32_t clockTrailer(std::uint8_t mode, std::uint32_t floorClocks);
std::uint32_t beginTrailer(std::uint32_t longs, std::uint8_t flags);
std::uint32_t dataTrailer(std::uint32_t packet, std::uint32_t longs);
std::uint32_t queryTrailer();
// Go: the image starts delay x goDelayClocks after the answer, or the chip shuts down (a verdict
// other than 'V').
std::uint32_t goTrailer(std::uint32_t delay);
std::uint32_t stopTrailer();

// The stage's answers, by their code byte.
namespace answer {
enum Code : char {
    hello = 'H',           // value: the sync's 4 bit times in chip clocks
    rate = 'R',            // value: the floor taken for the next sync
    clock = 'C',           // value: the clock mode and floor, as asked; the chip then moves to it
    begun = 'B',           // value: the image's longs
    beginRefused = 'b',    // value: the longs asked
    accepted = 'A',        // value: the packet expected next
    notTaken = 'N',        // value: a Refusal
    idle = 'I',            // a query's answer before begin
    eepromProgress = 'p',  // value: pages done
    sumWrong = 'S',        // value: the sum of RAM, not 0
    notStartable = 'P',    // value: pbase
    eepromWritten = 'E',   // value: pages written
    eepromNoAck = 'e',     // value: the page
    eepromWrong = 'v',     // value: the page
    proven = 'V',          // value: the CRC-32 of RAM
    going = 'G',           // value: the delay, as go or stop asked it
};
inline constexpr std::string_view all = "HRCBbANIpSPeEvVG";
// The verdict on the whole image, and what comes before it.
inline constexpr std::string_view verdicts = "pESPevV";
}  // namespace answer

// Why an 'N'. Its packet is the one expected: 0 before begin and once the image is in.
enum class Refusal : std::uint32_t {
    check = 1,        // the check failed (as it does for any packet but the one expected)
    otherPacket = 2,  // a packet other than the one expected whose check held
    length = 3,       // shorter or longer than its trailer needs (a packet its data, any other none)
    notNow = 4,       // no message the stage takes now
};

// The host's messages, by their trailer's low byte.
namespace message {
enum Code : char {
    hello = 'U',
    rate = 'R',
    clock = 'C',
    begin = 'B',
    data = 'D',
    query = 'Q',
    go = 'G',
    // Answered as go is, but the stage shuts the chip down whatever its verdict: the host's own
    // picture of RAM differs from the stage's, and an image not proven must never start.
    stop = 'X',
};
}  // namespace message

struct Answer {
    char code;
    std::uint8_t packet;
    std::uint32_t value;
};
inline constexpr std::size_t answerBytes = 8;
// Its eight bytes, as the stage sends it.
std::array<std::uint8_t, answerBytes> encode(const Answer& answer);

// Takes the answers out of what has arrived, in order; bytes that are no answer are dropped one at
// a time, and an incomplete answer at the end is left for the next bytes.
std::vector<Answer> takeAnswers(std::vector<std::uint8_t>& received);

// The fastest rate the host asks for: the top of the common 3 MHz-clocked adapters.
inline constexpr int fastestBaud = 3'000'000;
inline constexpr int contactBaud = 115200;
// Fewest chip clocks a bit the host asks of the stage's receiver that times bits by the clock (the
// EEPROM build's, the RAM build's next): it takes 15 (a sync of minSyncClocks), and the host knows
// the chip's clock from a sync of 64 clocks or more, to a clock in 64.
// In quarters of a clock: 15.25.
inline constexpr int minQuarterClocksPerBit = 61;
// The chip's own fastest rate for such a receiver: the fastest adapter rate (below) at
// minQuarterClocksPerBit or more.
int chipsOwnBaud(std::int64_t chipHz);
// The RAM build's receiver also samples by its instructions' time at exactly 12 clocks a bit (a sync
// of 46 to 50 clocks, within 4% of it, where bit 7's sample stays within its bit): a quarter less
// time on the line. A rate of 13 to 14 clocks a bit is neither receiver's.
inline constexpr double fastClocksPerBit = 12;
// The host asks it within fastTolerancePerMille of the chip's clock as it knows it: inside the sync's 4%,
// where bit 7's sample is 3 clocks from its middle at most. A rate the stage does not hear there
// costs one unanswered message.
inline constexpr int fastTolerancePerMille = 35;
// Its rate: the adapter rate nearest the clock / 12, or 0 where none lies within that
// (above 18.6 MHz, which would want one between 1.5 and 2 Mbaud).
int fastBaud(std::int64_t chipHz);

}  // namespace stage

// The rates the host asks of a serial adapter once it knows the chip's clock: those that the most
// common USB adapters make exactly, so that the rate asked is the rate made through them and through
// any port that makes what it is asked. They divide a 3 MHz clock by n + k/8, n from 2: 24 MHz /
// eighths for 16 eighths or more (1.5 Mbaud and below), and, below 2, only 2 and 3 Mbaud. Asked as
// the whole baud nearest, which such an adapter rounds back to the same divisor.
namespace adapter {

inline constexpr std::int64_t eighthsClockHz = 24'000'000;
inline constexpr int leastEighths = 16;
inline constexpr std::array<int, 2> topRates{3'000'000, 2'000'000};

// The fastest such rate at most `most`, 0 when there is none.
int fastestUpTo(double most);
// The such rates nearest `rate`, one either side (or one alone at the top).
std::vector<int> around(double rate);
// The rate such an adapter makes of the rate asked: the nearest it has.
double made(int asked);

}  // namespace adapter

namespace stage {}  // namespace stage

}  // namespace kestrup
