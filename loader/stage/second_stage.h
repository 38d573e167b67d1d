#pragma once
// The host side of Kestrup's second stage (loader/stage/firmware/stage.spin): once the boot ROM has
// loaded and started the stage, the image goes over at the fastest rate the chip's RC clock holds,
// in checked packets, and the stage starts it the way the ROM would.
//
// The wire, as the host sees it: 8 data bits, no parity, 2 stop bits at every rate but the RAM
// build's 12 clocks a bit, where 1 (its two receiving cogs take the longs in turn, so that neither
// writes hub RAM between two bytes).
//
// Messages to the stage, each in one write: sync, length, data longs, trailer, check.
//   sync     0xF8. Its start bit and three 0 bits are one low pulse of 4 bit times W, from which the
//            stage takes the bit time (W / 4, in chip clocks) anew for every message, so it follows
//            the RC clock's drift. A low pulse is a sync when W is 60 clocks or more (the receiver
//            that times bits by the clock needs 15 clocks a bit), or 46 to 50 in the RAM build
//            (12 clocks a bit, sampled by instruction time), and at least the stage's floor:
//              - at first, when the ROM started the stage, 216 clocks: 4 bits at 115200 baud are
//                277 clocks on an 8 MHz chip, and a late poll for the ROM's verdict (0xF9 at 230400
//                baud, low pulses of 1 and 2 bits) has none longer than 174 clocks on a 20 MHz
//                one. The first hellos go at 115200;
//              - at first, when the bootstrap started it, the bit time of the bootstrap's load
//                (left in long 0), and the first hellos go at that rate;
//              - after each message, 2.5 bit times of its rate: a filler byte 0xFF (one bit low)
//                is never a sync at the rate of the last message or any slower one;
//              - after a rate message, the floor it names, for the next sync only.
//            No pause or idle line makes a shorter pulse a sync.
//   length   one byte: the data longs that follow, 0 to 255. The stage takes exactly that many
//            (clipped to what fits below its mailbox at the top of RAM), so that a message it did
//            not expect is still read whole and answered. Before begin, and once the image is in,
//            it takes no data: every message is then two longs whatever its length byte says.
//   data     0 to 255 longs, least significant byte first.
//   trailer  one long:
//              'U' | 0xF57B5F << 8               hello, with the length byte 0x55: no byte of it but
//                                                the sync has two 0 bits together, so that a stage
//                                                that starts listening within one takes none of its
//                                                pulses for a sync (at 115200 baud every 2 bits are
//                                                above the first floor on a 20 MHz chip)
//              'R' | floor << 8                  rate: the next sync may be as short as floor clocks
//                                                (the host sends 2 bit times of the rate it goes to)
//              'B' | flags << 8 | longs << 16    begin
//              'D' | k << 8 | longs << 16        packet k of the image, k from 0
//              'Q'                               query: the stage tells where it is
//              'G' | delay << 8                  go: start the image delay x 256 chip clocks later
//              'X'                               stop: answered as go, then the chip shuts down
//            longs is the image's length in longs (its vbase / 4, 4 to 0x1FFD: the stage talks
//            through the top two longs of RAM, which an image leaving room for its stack markers
//            never reaches). Begin flags: bit 0 program the EEPROM, bit 1 run after programming
//            it (else shut down), bits 2-7 the chip's clock in MHz rounded up (0: unknown; at 14
//            or less its I2C runs without delays). Packet k carries min(255, longs - 255k) data
//            longs and is stored at hub 1020k.
//   check    CRC-32 as IEEE 802.3 (reflected polynomial 0xEDB88320, initial 0xFFFFFFFF, complemented)
//            of the data and trailer bytes (not the sync, not the length byte), least significant
//            byte first. A message with data goes on from the image's CRC: its register starts as
//            the CRC of the image's longs before the packet left it (uncomplemented; 0xFFFFFFFF
//            before packet 0), so a packet checks against every packet the stage took before it,
//            and the stage's second cog runs one CRC a long, for the message and the verdict at
//            once: the line's fastest rates give it under 500 clocks a long. A message without
//            data starts at 0xFFFFFFFF. A full CRC costs no line time: the stage's second cog
//            computes it from hub RAM while the first receives.
//
// Answers from the stage, at the rate of the message answered: eight bytes, code, packet (the one
// the answer is about, 8 bits), value (32 bits, least significant byte first), check (16 bits, low
// byte first: the low half of the CRC-32 above over the six bytes before it).
//   'H' hello: value W, the sync's 4 bit times in chip clocks (the host's rate x W / 4 is the clock)
//   'R' rate: value the floor taken for the next sync (before begin, and while the image comes)
//   'B' begun: value longs. A begin while the image comes starts it again from packet 0.
//   'b' begin refused (value longs): fewer than 4 or more than 0x1FFD longs, or the EEPROM asked of
//       the RAM build, which lacks its code: load the EEPROM build for that
//   'A' packet accepted: packet k, value k + 1 (the packet expected next)
//   'N' not taken: packet the one expected (0 before begin), value why: 1 the check failed (as it
//       does for any packet but the one expected, whose CRC goes on from other packets), 2 a
//       packet other than the one expected whose check held (value 2, packet the one expected), 3 the message
//       was shorter or longer than its trailer needs (the line may hold more of it: the host
//       sends filler before anything else), 4 no message it takes now
//   'I' idle: the answer to a query before begin
//   To a query while the image comes: 'A' for the last packet accepted, or 'B' before packet 0.
//   After the last packet's 'A', the verdict on the image: the stage zero-fills RAM above it,
//   writes the stack markers 0xFFF9FFFF at dbase - 8 and dbase - 4, and checks that all 32 KB sum
//   to 0 mod 256: 'S' (value: the sum) when not. Then, for the EEPROM: each 64-byte page that reads
//   otherwise than RAM is written and read back; 'p' (value: pages done) every 64 pages, then 'E'
//   (value: pages written), or 'e' (a page not acknowledged) or 'v' (read back wrong), value: the
//   page. Then, for an image that is to run, 'P' (value: pbase) when pbase is not 0x0010: the ROM
//   would not start it. Last, 'V': value the CRC-32 of the 32 KB of RAM as the image will start
//   on it (the image as loaded, zeros above it, the two stack markers), which the host compares
//   with its own before it tells of any success. (The host leaves to the ROM any image whose stack
//   markers would not lie above it: dbase - 8 below vbase, or dbase above 0x8000.)
//   The verdict (S, e, v, P or V) is held: a query is answered with it again, and go is answered
//   'G' (value: the delay), after which the stage starts the image (V, to run) or shuts the chip
//   down (any other verdict, or an EEPROM load not to run). Until the delay is over, any message is
//   answered 'G' again. The start: clock register = clock mode & !7, 400,000 clocks (20 ms at
//   20 MHz) when that starts the oscillator or the PLL, clock register = clock mode, cog 0
//   restarted at 0xF004 with PAR 0x0004, no other cog running. The RAM build writes clock mode
//   & !0x87 as soon as packet 0 is accepted (a reset bit waits for the start), so that the
//   oscillator settles while the rest of the image comes, and the start waits only what is left of
//   the 400,000 clocks; a shutdown writes 0 (the RC clock alone, as after a reset).
//
// Timing: an answer starts within about one long's time after the message's last byte (the check
// lags the receiver by at most a long). Loaded by the ROM, the stage listens 35 to 55 ms after
// its acknowledgement (the ROM's own clock wait, then the stage's start); carried by the bootstrap
// (bootstrap.h), a few milliseconds after the bootstrap's 'K'. A byte sent before is lost.
// The verdict follows the last 'A' within 8192 x 16 clocks and the CRC's 40,000 (22 ms at 8 MHz);
// the EEPROM's 'p' answers come about 1 s apart at most (8 MHz, every page written, 5 ms write
// cycles). Receiving takes 15 chip clocks a bit or more (460800 baud at 8 MHz, 921600 at 14.7 MHz),
// or in the RAM build exactly 12 (within 4%).
//
// The host: the first hellos go at 115200 baud, every 4 ms for the contact window (300 ms unless
// its caller says otherwise), then the last one's answer is awaited a while more; the answer gives
// the RC clock. Then the rates from the fastest: for a RAM load the clock / 12, then the clock / 16,
// then the ladder's with 16 clocks a bit or more: for each, a rate message at a rate the stage
// answered, then a hello at the new rate that must come back with W within 10% of the rate's (an
// 'N' to it, its check failed, has it sent again); the first that does is kept.
// Packets go two at a time, each followed by 8 bytes of filler: the next is on the line while the
// stage answers the one before, so no packet waits for a round trip (up to 16 ms through a USB
// adapter). A packet refused whole ('N': its check, or another packet) has the one behind it
// answered as it passes, and both go again from the packet the last answer names; silence, or a
// length the stage did not expect, has the host recover as below.
// Each message waits for its answer twice its line time and 50 ms. A message left unanswered may
// have lost a byte and left the stage counting: the host sends filler 0xFF (enough to complete the
// longest message the stage may be counting, at the fastest rate it may be listening at), takes
// what answers come, and asks with a query; the answer names the packet to go on from. A packet
// that fails twice steps the rest of the load down one rate (a rate message first).
// Once the verdict is 'V' with the CRC of the host's own picture of RAM, the host sends go; with
// another CRC, stop, and the image never starts. Go unanswered, and every query after it, leaves
// the start unknown: the load fails. When a terminal follows, the host sets the line to the rate
// the image will talk at on go's answer and asks once more there (answered 'G' during the delay),
// all before the delay (20 ms) is over; else the delay is 0.2 ms and the port closes.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/clock.h"
#include "base/status_sink.h"
#include "events/image_loader.h"
#include "events/load_teller.h"
#include "image/image.h"
#include "port/loader_line.h"
#include "port/serial_port.h"
#include "rom/loader_protocol.h"
#include "stage/stage_link.h"
#include "stage/stage_rates.h"
#include "wire/wire.h"

namespace kestrup {

// The stage as the ROM or the bootstrap loads it, for this target (stage/firmware/firmware.h).
std::span<const std::uint8_t> secondStageImage(LoadTarget target);

// An image the stage takes, checked once where it is read: its longs up to vbase, and the header's
// words the stage's verdict rests on.
struct StageImage {
    std::span<const std::uint32_t> longs;
    std::uint16_t pbase = 0;
    std::uint16_t dbase = 0;

    // The image as read, or why the ROM is to load it instead.
    static std::variant<StageImage, GaveWay> of(const CheckedImage& image);
    // The CRC-32 of the 32 KB of RAM as the stage starts it: the image, zeros above, the stack markers.
    std::uint32_t ramCrc() const;
};

namespace stage {

// Packets go two at a time: the next is on the line while the stage answers the one before. Filler
// after each gives the stage's second cog the time to check it and order the receiver for the
// next (a few hundred clocks: under 40 bit times at 16 clocks a bit).
inline constexpr std::size_t packetsOnLine = 2;
inline constexpr std::size_t streamGapBytes = 8;

// Rates tried, fastest first: standard ones, which every common adapter makes, each about twice the
// next. Before the first of them that the chip's clock takes, the host tries the chip's own fastest
// rate (its clock / 16, in whole hundreds), which adapters that divide a 3 MHz or 48 MHz clock make
// closely: 748800 baud for a 12 MHz chip, 1.6 times 460800; 1,250,000 for a 20 MHz one, above the
// ladder. An adapter that makes another rate instead (one that tops out at 921600) shows in the
// stage's width, and the host steps down.
inline constexpr std::array<int, 4> rateLadder{921600, 460800, 230400, 115200};

// From the go's answer to the image's start. With a terminal to follow: time for the answer to reach
// the host through a USB adapter (whose latency timer may hold it 16 ms) and for the host to set the
// line to the image's rate, so that the image's first output is heard. Without: next to none: the
// stage starts the image only once its answer has left the chip, whatever the delay (an answer lost
// is asked for again and finds the image running, as it would after any delay).
inline constexpr double goDelayHeardSeconds = 0.020;
inline constexpr double goDelaySeconds = 0.0002;

}  // namespace stage

// How a session with the stage ended: one value, which the upload maps to its own outcome.
enum class StageOutcome {
    sent,           // the stage holds the whole image; its verdict is still to come (send() only)
    loaded,         // the stage's RAM is the host's picture of it, and it starts the image or shuts down as asked
    noAnswer,       // the stage never answered a hello: load through the ROM instead
    failed,         // the stage answered, but was lost before it held the image
    refused,        // the stage will not begin this image
    checksumError,  // the image's RAM does not sum to 0: the ROM would refuse it too
    notStarted,     // pbase is not 0x0010: the image is in, but the chip does not start it
    mismatch,       // the stage's CRC of RAM is not the host's: told to stop, it starts nothing
    noVerdict,      // the image went in, and no verdict came
    goUnheard,      // the image was proven, and neither go nor a query after it was answered
    eepromFailed,   // a page of the EEPROM was not acknowledged or read back wrong, or it fell silent
};

struct StageReport {
    StageOutcome outcome = StageOutcome::failed;
    std::int64_t chipHz = 0;  // the RC clock, from the first hello
    int baud = 0;             // the rate the last packet went at
    int resends = 0;          // messages sent again after a loss or a refusal
};

// Where the stage's first hellos go.
struct StageContact {
    // contactBaud, whose sync is above the first floor of a stage the ROM started, or the
    // bootstrap's rate, whose bit time is the first floor it leaves the stage.
    int baud = stage::contactBaud;
    // The stage has started by now, as one the bootstrap has just started.
    bool listening = false;
};

class StageSession;

// How every load through the stage goes: the rates it tries, the contact window, who is told of
// the image's progress and the rate the image talks at. Each load is a session of its own.
class SecondStage {
public:
    // Budgets, in milliseconds of pauses.
    static constexpr int contactWindowMs = 300;
    static constexpr int helloEveryMs = 4;

    SecondStage(Clock& clock, StatusSink& status);

    // After the ROM or the bootstrap has started the stage: the image into RAM or the EEPROM, on the
    // load's line. The line is left at the image's rate when it starts, else at the last rate used.
    StageReport load(LoaderLine& line, const StageImage& image, LoadTarget target, StageContact contact = {}) const;

    // Hellos for helloMs, then lastMs more for an answer to the last one.
    void setContactWindow(int helloMs, int lastMs) {
        contactMs_ = helloMs;
        lastHelloMs_ = lastMs;
    }
    // Told after each packet the stage has accepted: bytes of the image so far, and in all.
    void showProgress(LoadEvents* events) { progress_ = events; }
    // Rates to try instead of the ladder, fastest first, each tried whatever the chip's clock (for
    // tests of one rate).
    void setRates(std::vector<int> rates) { plan_ = {std::move(rates), false}; }
    // The rate the image talks at to a terminal after the load: the line is set to it before the
    // stage starts the image. None: nobody listens.
    void setImageBaud(std::optional<int> baud) { imageBaud_ = baud; }

private:
    friend class StageSession;

    Clock& clock_;
    StatusSink& status_;
    RatePlan plan_;
    int contactMs_ = contactWindowMs;
    int lastHelloMs_ = 0;
    LoadEvents* progress_ = nullptr;
    std::optional<int> imageBaud_;
};

// One load through the stage, from its first hello to its start: what lives as long as the load.
class StageSession {
public:
    StageSession(const SecondStage& stage, LoaderLine& line, const StageImage& image, LoadTarget target,
                 StageContact contact = {});
    StageSession(const StageSession&) = delete;
    StageSession& operator=(const StageSession&) = delete;

    // The image up to the stage's acceptance of its last packet (outcome `sent`).
    StageReport send();
    // Then the stage's verdict on it and what follows, told as the plain load's steps to `steps` as
    // the answers come when it is given.
    StageOutcome judge(LoadTeller* steps);

private:
    bool contact();
    bool begin();
    std::uint8_t beginFlags() const;

    const SecondStage& stage_;
    StageLink link_;
    const StageImage& image_;
    LoadTarget target_;
    StageContact contact_;
    StageReport report_;
    std::optional<StageRates> rates_;  // once the first hello has given the chip's clock
    // The answer to the last packet, or the verdict that overtook it, between send() and judge().
    std::optional<stage::Answer> lastPacketAnswer_;
};

}  // namespace kestrup
