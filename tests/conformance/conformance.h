#pragma once
// Transcripts of the second stage's protocol as data (stage.transcripts beside this file): the
// host's messages in, the stage's answers out. The same transcripts are played against propsim's
// model (tests/unit/conformance_test.cpp) and against the stage on the chip's logic (stageload
// --transcripts, in tests/e2e/test_rig_stage.py), so that the model answers as the chip does.
//
// A transcript file is lines of words; "#" starts a comment.
//   transcript NAME rom|boot ram|eeprom  a fresh stage of that build, started by the ROM (its first
//                                        floor 216, the line at 115200 baud) or by the bootstrap
//                                        (its bit time the first floor, the line at its rate)
//   image LONGS [sum-off] [pbase N]      the image the packets carry, made here: its checksum right
//                                        unless sum-off, its pbase 0x0010 unless given
//   line BAUD [STOP_BITS]                the host's line from here on (2 stop bits unless given)
//   send MESSAGE -> ANSWERS              a message, and the answers it must draw, in order
//   wait MS -> ANSWERS                   answers that must come in the next MS milliseconds
//   end running|shutdown                 after go or stop: the image starts, or the chip shuts down
// MESSAGE is hello, query, stop, go DELAY, rate FLOOR, clock MODE FLOOR, begin LONGS [FLAGS], packet K (of the image),
// code C (an empty message of trailer code C), filler N (N bytes 0xFF) or raw HEX... (those bytes,
// unframed), then any of: data N (N
// data longs, the check going on from the image's CRC over the packets accepted), trailer K (the
// packet's trailer names packet K), longs N (the packet's data cut to N longs), length N (the length
// byte), flip I (byte I xored with 0x10) or drop I (byte I lost).
// ANSWERS are CODE VALUE[/PACKET] separated by spaces, none for silence. VALUE: a number (0x for
// hex), N~T (N within T), crc (the CRC-32 of RAM as the image starts on it) or * (any value).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wire/wire.h"

namespace kestrup::conformance {

// The transcripts' chip: its RC clock, as propsim's model and the rig have it unless told otherwise.
inline constexpr std::int64_t chipHz = 12'000'000;

struct Line {
    int number = 0;
    std::vector<std::string> words;    // before "->"
    std::vector<std::string> answers;  // after it
};

struct Transcript {
    std::string name;
    bool bootStarted = false;
    bool eepromBuild = false;
    std::vector<Line> lines;
};

// The transcripts of a file's text; an unreadable line throws std::invalid_argument naming it.
std::vector<Transcript> parse(const std::string& text);

// An image of `longs` longs whose every long differs: a header (clock 12 MHz, RCFAST, pbase, vbase
// at its end, dbase 8 bytes above), then longs whose four bytes sum to 0 mod 256; its checksum byte
// makes RAM with the stack markers sum to 0, unless sumOff.
std::vector<std::uint32_t> imageOf(std::uint32_t longs, bool sumOff = false, std::uint16_t pbase = stage::startPbase);
// The CRC-32 of the 32 KB as the stage leaves them: the image, zeros above, the stack markers.
std::uint32_t ramCrc(std::span<const std::uint32_t> image);

// The far end of the line: the stage on the chip's logic, or propsim's model.
class StageEnd {
public:
    virtual ~StageEnd() = default;
    // A fresh stage, as the transcript starts it, the line at the rate it came at.
    virtual bool start(const Transcript& transcript) = 0;
    virtual void setLine(int baud, int stopBits) = 0;
    virtual void send(std::span<const std::uint8_t> bytes) = 0;
    // The answers that come, until `count` have come (then a little longer, for any more) or
    // windowMs have passed.
    virtual std::vector<stage::Answer> collect(std::size_t count, int windowMs) = 0;
    // Once the stage is done, within windowMs: "running" (the image started) or "shutdown", when
    // this end can tell.
    virtual std::optional<std::string> state(int windowMs) = 0;
};

struct Outcome {
    std::vector<std::string> failures;  // "line N: ..." for each difference
    std::vector<std::string> log;       // a line for each message and its answers
};

Outcome play(const Transcript& transcript, StageEnd& end);

}  // namespace kestrup::conformance
