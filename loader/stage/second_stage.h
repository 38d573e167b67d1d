#pragma once
// The host side of Kestrup's second stage (loader/stage/firmware/stage.spin): once the boot ROM has
// loaded and started the stage, the image goes over at the fastest rate the chip's RC clock holds,
// in checked packets, and the stage starts it the way the ROM would.
//
// The wire (messages, answers, rates, timing and recovery) is described in docs/protocol.md, and its
// facts are in wire/wire.h. What follows is the host's own way through it.
//
// The host: the first hellos go at 115200 baud, every 4 ms for the contact window (300 ms unless
// its caller says otherwise), then the last one's answer is awaited a while more; the answer gives
// the RC clock. Then the rates from the fastest, each one an FTDI adapter makes exactly
// (wire.h's adapter::): for a RAM load the one at 12 clocks a bit, then the chip's own, then the
// ladder's below it: for each, a rate message at the contact's rate, then the begin at the new rate,
// whose answer shows the rate heard (an 'N' to it, its check failed, has it sent again); none has
// the host go on to the next rate at once (stage_rates.h).
// Packets go as many at a time as keep the line busy through an answer's round trip (up to 17 ms
// through a USB adapter), two at the least, each followed by 8 bytes of filler: the next is on the
// line while the stage answers the one before, so no packet waits for an answer. A packet refused whole ('N': its
// check, or another packet) has the one behind it answered as it passes, and both go again from the packet the last
// answer names; silence, or a length the stage did not expect, has the host recover as below. Each message waits for
// its answer twice its line time and 50 ms. A message left unanswered may have lost a byte and left the stage counting:
// the host sends filler 0xFF (enough to complete the longest message the stage may be counting, at the fastest rate it
// may be listening at), takes what answers come, and asks with a query; the answer names the packet to go on from. A
// packet that fails twice steps the rest of the load down one rate (a rate message first). Once the verdict is 'V' with
// the CRC of the host's own picture of RAM, the host sends go; with another CRC, stop, and the image never starts. Go
// unanswered, and every query after it, leaves the start unknown: the load fails. When a terminal follows, the host
// sets the line to the rate the image will talk at on go's answer and asks once more there (answered 'G' during the
// delay), all before the delay (20 ms) is over; else the delay is 0.2 ms and the port closes.

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
    std::uint32_t clockHz = 0;   // clkfreq: what the image says its clock mode makes
    std::uint8_t clockMode = 0;  // the clock register it starts with

    // Whether it runs on a crystal's PLL: its oscillator and PLL on, one of the PLL's taps selected,
    // no reset asked.
    bool onCrystalPll() const;

    // The image as read, or why the ROM is to load it instead.
    static std::variant<StageImage, GaveWay> of(const CheckedImage& image);
    // The CRC-32 of the 32 KB of RAM as the stage starts it: the image, zeros above, the stack markers.
    std::uint32_t ramCrc() const;
};

namespace stage {

// Packets go two at a time at the least, and as many as cover an answer's round trip through a USB
// adapter (packet_pipeline.h): the next is on the line while the stage answers the one before. Filler
// after each gives the stage's second cog the time to check it and order the receiver for the
// next (a few hundred clocks: under 40 bit times at 16 clocks a bit).
inline constexpr std::size_t packetsOnLine = 2;
inline constexpr std::size_t streamGapBytes = 8;

// Rates tried, fastest first: standard ones, which every common adapter makes, each about twice the
// next, below the chip's own fastest rate (stage::chipsOwnBaud, an FTDI adapter's: 774,194 baud for
// a 12 MHz chip, 1,263,158 for a 20 MHz one, above the ladder), which the host tries first. A port
// that makes another rate instead (one that tops out at 921600) leaves the begin unanswered, and
// the host steps down.
inline constexpr std::array<int, 4> rateLadder{921600, 460800, 230400, 115200};

// From the go's answer to the image's start. With a terminal to follow: time for the answer to reach
// the host through a USB adapter (whose latency timer may hold it 16 ms) and for the host to set the
// line to the image's rate, so that the image's first output is heard. Without: next to none: the
// stage starts the image only once its answer has left the chip, whatever the delay (an answer lost
// is asked for again and finds the image running, as it would after any delay).
inline constexpr double goDelayHeardSeconds = 0.020;

// The RC clocks a chip may have: the crystal's settling counted by the slowest is the longest, and a
// crystal whose rate beats the fastest's beats any.
inline constexpr std::int64_t slowestRcHz = 6'000'000;
inline constexpr std::int64_t fastestRcHz = 22'000'000;
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
    crystalSilent,  // the stage moved the chip to the crystal's PLL and fell silent: load again on RC
    noVerdict,      // the image went in, and no verdict came
    goUnheard,      // the image was proven, and neither go nor a query after it was answered
    eepromFailed,   // a page of the EEPROM was not acknowledged or read back wrong, or it fell silent
};

struct StageReport {
    StageOutcome outcome = StageOutcome::failed;
    std::int64_t chipHz = 0;  // the clock the image came at: the RC clock, or the crystal's PLL
    bool onCrystal = false;   // the stage moved the chip to the image's crystal and PLL for the image
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
    // When the pilot has started the image's crystal oscillator and PLL (the chip still on its RC
    // clock), the host's time of the ROM's acknowledgement, a few milliseconds before that start:
    // the stage moves the chip to the PLL for the image once settled, where its rate pays.
    std::optional<std::int64_t> crystalSince;
    // The chip's clock as the bootstrap's hello showed it, for a stage it started: the rates are
    // chosen by it, so that the first rate message goes behind the first hello.
    std::int64_t chipHz = 0;
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
    // Which hello the stage answered: the first, with its message `behind` it (to a stage already
    // listening), whose answer follows; a later one; or none.
    enum class Greeted { none, first, later };
    // `behind`: a message that goes with the first hello to a stage already listening.
    Greeted contact(std::span<const std::uint8_t> behind = {});
    // What is left of the time the ROM gives an oscillator, counted by an RC clock of `rcHz`.
    void awaitCrystal(std::int64_t rcHz);
    std::vector<std::uint8_t> clockMessage() const;
    std::vector<std::uint8_t> beginMessage() const;
    // The chip moved to the image's crystal and PLL (the clock message `sent` already, behind the
    // contact), and the new clock heard at the fastest rate that answers a hello, the begin behind
    // it; false when the stage fell silent.
    bool toCrystal(bool sent);
    bool begin();
    std::uint8_t beginFlags() const;

    const SecondStage& stage_;
    StageLink link_;
    const StageImage& image_;
    LoadTarget target_;
    StageContact contact_;
    StageReport report_;
    std::optional<StageRates> rates_;  // once the chip's clock is known: the bootstrap's hello, or the stage's
    // The begin went behind the hello on the crystal; its answer, when it came first.
    bool beginSent_ = false;
    std::optional<stage::Answer> begunEarly_;
    // The answer to the last packet, or the verdict that overtook it, between send() and judge().
    std::optional<stage::Answer> lastPacketAnswer_;
};

}  // namespace kestrup
