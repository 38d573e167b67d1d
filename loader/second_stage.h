#pragma once
// The host side of Kestrup's second stage (loader/second_stage/stage.spin): once the boot ROM has
// loaded and started the stage, the image goes over at the fastest rate the chip's RC clock holds,
// in checked packets, and the stage starts it the way the ROM would.
//
// The wire, as the host sees it: 8 data bits, no parity, 2 stop bits, at every rate.
//
// Messages to the stage: sync, data longs, trailer, check; each in one write.
//   sync     0xF8. Its start bit and three 0 bits are one low pulse of 4 bit times W, from which the
//            stage takes the bit time (W / 4, in chip clocks) anew for every message, so it follows
//            the RC clock's drift; 7 high bit times follow in which it gets ready. A low pulse is a
//            sync when W is at least 60 clocks (the receiver needs 15 clocks a bit) and either at
//            least 2.5 bit times of the last message's rate (the same rate or a slower one) or the
//            line was idle for 2048 clocks before it (so the host pauses 1 ms before a faster rate).
//   data     0 to 256 longs, least significant byte first.
//   trailer  one long: hello 'H' (0x48); begin 'B' | flags << 8 | longs << 16; data packet
//            'D' | k << 8 | longs << 16, where longs is the image's length in longs (its vbase / 4,
//            4 to 0x1FFD: the stage talks through the top two longs of RAM, which an image leaving
//            room for its stack markers never reaches) and k counts packets from 0. Begin flags:
//            bit 0 program the EEPROM, bit 1 run after programming it (else shut down), bits 2-7 the
//            chip's clock in MHz rounded up (0: unknown; at 14 or less its I2C runs without delays).
//   check    CRC-32 as IEEE 802.3 (reflected polynomial 0xEDB88320, initial 0xFFFFFFFF, complemented)
//            of the data and trailer bytes, least significant byte first. A full CRC costs no line
//            time: the stage's second cog computes it from hub RAM while the first receives.
// Before begin the stage takes messages of exactly a trailer and a check (hello, begin); after it,
// only packet k, the one it expects: min(256, longs - 256k) data longs, stored at hub 1024k. A
// repeat of the packet before (its answer was lost) is answered again; it lands where k will.
//
// Answers from the stage, at the rate of the message answered: four bytes, code, value (16 bits,
// low byte first), code ^ value low ^ value high ^ 0x5A.
//   'H' hello: W, the sync's 4 bit times in chip clocks (the host's rate x W / 4 is the RC clock)
//   'N' the check failed or the message was not the one expected; value: the packet expected
//   'B' begin taken (value: longs); 'b' refused (fewer than 4 or more than 0x1FFD longs, or the
//       EEPROM asked of the RAM build, which lacks its code: load the EEPROM build for that)
//   'A' packet k accepted (value: k)
//   After the last packet's 'A', the verdict on the image: the stage zero-fills RAM above it,
//   writes the stack markers 0xFFF9FFFF at dbase - 8 and dbase - 4 and checks that all 32 KB sum to
//   0 mod 256. 'S' (value: the sum) when not, and the chip shuts down. Then, for the EEPROM: each
//   64-byte page that reads otherwise than RAM is written and read back; 'p' (value: pages done)
//   every 64 pages, then 'E' (value: pages written), or 'e' (a page not acknowledged) or 'v' (read
//   back wrong), value: the page, and the chip shuts down; 'X' when it was to shut down after
//   programming. Last, 'L': pbase is 0x0010 and the image starts, or 'P' (value: pbase) and the
//   chip shuts down. The start: clock register = clock mode & !7, 400,000 clocks (20 ms at 20 MHz)
//   when that starts the oscillator or the PLL, clock register = clock mode, cog 0 restarted at
//   0xF004 with PAR 0x0004, no other cog running.
//
// Timing: an answer starts within about one long's time after the message's last byte (the check
// lags the receiver by at most a long). The stage listens 35 to 55 ms after the ROM's
// acknowledgement (the ROM's own clock wait, then the stage's start); a byte sent before is lost.
// The verdict follows the last 'A' within 8192 x 16 clocks (16 ms at 8 MHz); the EEPROM's 'p'
// answers come about 1 s apart at most (8 MHz, every page written, 5 ms write cycles).
// Receiving takes 15 chip clocks a bit or more: 460800 baud at 8 MHz, 921600 at 14.7 MHz.
//
// The host: the first hellos go at the ROM's rate, every 4 ms for the contact window (300 ms unless
// its caller says otherwise), then the last one's answer is awaited a while more; the answer gives
// the RC clock. Then the ladder's rates from the fastest with 16 clocks a bit or more, each probed
// with a hello that must come back with W within 10% of the rate's; the first that does is kept.
// Each message waits for its answer twice its line time and 50 ms; a packet that fails twice steps
// the rest of the load down one rate (its next sync tells the stage). A message left unanswered is
// followed by 0xFF bytes (12 before begin, 1040 after), one start bit each, which complete any
// message the stage was still counting, so that it answers and looks for a sync again: the rest of
// them are too short to be one.

#include "clock.h"
#include "load_lines.h"
#include "loader_protocol.h"
#include "serial_port.h"
#include "status_sink.h"
#include "upload_job.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrup {

// The stage as the ROM loads it, for this target: built from loader/second_stage/stage.spin by
// scripts/make-second-stage into the .binary files beside it, which the build embeds. Loads into RAM get a build without the
// EEPROM's code, a third smaller, which the ROM's slow line takes 70 ms less to carry.
std::span<const std::uint8_t> secondStageImage(LoadTarget target);

namespace stage {

inline constexpr std::uint8_t syncByte = 0xF8;
inline constexpr std::size_t packetLongs = 256;
inline constexpr std::size_t maxImageBytes = 0x7FF4;
inline constexpr std::uint8_t beginProgramEeprom = 1;
inline constexpr std::uint8_t beginRunAfterEeprom = 2;
// The chip's clock in MHz, rounded up, goes in the begin flags' upper six bits.
inline constexpr int beginMegahertzShift = 2;

std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// The whole message: sync, data, trailer and check.
std::vector<std::uint8_t> frame(std::span<const std::uint8_t> data, std::uint32_t trailer);
std::uint32_t helloTrailer();
std::uint32_t beginTrailer(std::uint32_t longs, std::uint8_t flags);
std::uint32_t dataTrailer(std::uint32_t packet, std::uint32_t longs);

struct Answer {
    char code;
    std::uint16_t value;
};
inline constexpr std::size_t answerBytes = 4;

// Takes the answers out of what has arrived, in order; bytes that are no answer are dropped one at
// a time, and an incomplete answer at the end is left for the next bytes.
std::vector<Answer> takeAnswers(std::vector<std::uint8_t>& received);

// Rates tried, fastest first: standard ones, which every common adapter makes (and the chip-logic
// rig, which knows no others above 115200), each about twice the next.
inline constexpr std::array<int, 4> rateLadder{921600, 460800, 230400, 115200};
inline constexpr int contactBaud = 115200;
// Fewest chip clocks a bit the host asks of the stage's receiver, which takes 15 on the chip's logic.
inline constexpr double minClocksPerBit = 16;

}  // namespace stage

enum class StageOutcome {
    sent,          // the stage holds the whole image; its verdict is still to come (send() only)
    loaded,        // the stage checked the image and started it, or shut the chip down as asked
    noAnswer,      // the stage never answered a hello: load through the ROM instead
    failed,        // the stage answered, but the image did not get through, or no verdict came
    refused,       // the image is not one the stage loads, or its checksum or pbase is wrong
    eepromFailed,  // a page of the EEPROM was not acknowledged or read back wrong
};

struct StageReport {
    StageOutcome outcome = StageOutcome::failed;
    std::int64_t chipHz = 0;  // the RC clock, from the first hello
    int baud = 0;             // the rate the last packet went at
    int resends = 0;          // packets sent again after a failure
    char lastAnswer = 0;      // the stage's last answer code
};

class SecondStage {
public:
    // Budgets, in milliseconds of pauses.
    static constexpr int contactWindowMs = 300;
    static constexpr int helloEveryMs = 4;
    // A message's answer is awaited twice its line time and this after the driver has sent it: a
    // pseudo-terminal's drain returns before its far end has taken the bytes, and a simulated chip
    // on a busy machine may fall behind the host's clock.
    static constexpr int answerMarginMs = 50;
    static constexpr int finishWindowMs = 400;
    static constexpr int eepromStepWindowMs = 3000;
    static constexpr int stepUpPauseMs = 1;
    static constexpr int triesPerRate = 2;
    static constexpr std::size_t fillerBytes = 1040;

    SecondStage(SerialPort& port, Clock& clock, StatusSink& status);

    // After the ROM has acknowledged the stage: the image (header first, its vbase long) into RAM
    // or the EEPROM. The port is left at the last rate used.
    StageReport load(std::span<const std::uint8_t> image, LoadTarget target);
    // The same in two steps: the image up to the stage's acceptance of its last packet (outcome
    // `sent`), then the stage's verdict on it and what follows, told in the plain load's words to
    // `lines` as the answers come when it is given.
    StageReport send(std::span<const std::uint8_t> image, LoadTarget target);
    StageOutcome judge(StageReport& report, LoadTarget target, LoadLines* lines);

    // Hellos for helloMs, then lastMs more for an answer to the last one.
    void setContactWindow(int helloMs, int lastMs) {
        contactMs_ = helloMs;
        lastHelloMs_ = lastMs;
    }
    // Told after each packet the stage has accepted: bytes of the image so far, and in all.
    void setProgress(ProgressFn progress) { progress_ = std::move(progress); }

    // Rates to try instead of the ladder, fastest first, each tried whatever the chip's clock (for
    // tests of one rate).
    void setRates(std::vector<int> rates) {
        rates_ = std::move(rates);
        judgeRates_ = false;
    }
    // The rate the port is at when load() begins, the ROM's; the first hellos go at it.
    void setStartBaud(int baud) { startBaud_ = baud; }

private:
    bool contact(StageReport& report);
    bool chooseRate(StageReport& report);
    std::optional<stage::Answer> begin(std::uint32_t longs, LoadTarget target, std::int64_t chipHz);
    // The packets; the stage's last answer, or nothing when a packet failed at the slowest rate.
    std::optional<stage::Answer> sendImage(std::span<const std::uint8_t> image, StageReport& report);
    void switchBaud(int baud);
    std::optional<stage::Answer> exchange(const std::vector<std::uint8_t>& message);
    // The next answer, in the order they came, within the window.
    std::optional<stage::Answer> awaitAnswer(int windowMs);
    void forget();
    void recover(std::size_t count);
    int lineMs(std::size_t bytes) const;

    SerialPort& port_;
    Clock& clock_;
    StatusSink& status_;
    std::vector<int> rates_;
    bool judgeRates_ = true;
    int contactMs_ = contactWindowMs;
    int lastHelloMs_ = 0;
    ProgressFn progress_;
    // The answer to the last packet, or the verdict that overtook it, between send() and judge().
    std::optional<stage::Answer> lastPacketAnswer_;
    std::size_t rateIndex_ = 0;
    int startBaud_ = stage::contactBaud;
    int baud_ = stage::contactBaud;
    std::vector<std::uint8_t> received_;
    std::deque<stage::Answer> answers_;
};

}  // namespace kestrup
