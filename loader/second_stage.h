#pragma once
// The host side of Kestrup's second stage (loader/second_stage/stage.spin): once the boot ROM has
// loaded and started the stage, the image goes over at the fastest rate the chip's RC clock holds,
// in checked packets, and the stage starts it the way the ROM would.
//
// The wire, as the host sees it (8 data bits, no parity, 2 stop bits at every rate):
//
// Messages to the stage: sync, data longs, trailer, check.
//   sync     one byte 0xF8: its start bit and three 0 bits are one low pulse of 4 bit times, from
//            which the stage takes the bit time anew for every message (so it follows the RC
//            clock's drift), then 7 high bit times in which it gets ready. A sync counts when it
//            is at least 64 clocks long and either 2.5 bit times of the last rate or longer (a
//            message at the same or a slower rate), or comes after at least 2048 clocks of idle
//            line (so the host pauses 1 ms before going to a faster rate).
//   data     0 to 256 longs, least significant byte first.
//   trailer  one long: 'H' (0x48) hello; 'B' | flags << 8 | longs << 16 begin; 'D' | packet << 8 |
//            longs << 16 data, where longs is the image's length in longs and packet counts from 0.
//            Begin flags: 1 program the EEPROM, 2 run after programming it (else shut down).
//   check    CRC-32 (IEEE 802.3: reflected polynomial 0xEDB88320, initial 0xFFFFFFFF, final
//            complement) of the data and trailer bytes. A CRC rather than a sum: the stage's second
//            cog computes it from hub RAM while the first receives, so it costs no time on the line.
// Hello and begin carry no data. Data packet k carries the image's longs 256k up to 256k+255 (fewer
// in the last); the image's length is its vbase, at most 0x7FF4 bytes (the stage talks through
// the top two longs of RAM; an image reaching them cannot hold its stack markers anyway).
//
// Answers from the stage, at the message's rate: four bytes, code, value (16 bits, low byte first),
// and code ^ value low ^ value high ^ 0x5A.
//   'H' the sync's 4 bit times in chip clocks (the host's rate times that over 4 is the RC clock)
//   'N' the check failed or the packet was not the one expected; value: the packet expected
//   'B' begin taken (value: longs); 'b' refused (fewer than 4 longs, or more than 0x1FFD)
//   'A' packet accepted (value: its number; also again for a repeat of the last one accepted)
//   after the last packet: 'L' the RAM picture sums to 0 and pbase is 0x0010, starting it now;
//   'S' (value: the sum) or 'P' (value: pbase) refused, the chip shuts down.
//
// Timing: the stage answers within one long's time after a message's last byte (the checker
// lags the receiver by at most a long). It listens 35 to 55 ms after the ROM's acknowledgement
// (the ROM's clock wait, then the Spin start). Receiving needs 16 chip clocks a bit or more, so
// 500 kBd at 8 MHz, 750 kBd at 12 MHz, 1.25 MBd at 20 MHz.
//
// The rate ladder: the first hello goes at the ROM's 115200 baud, which every RC clock takes; its
// answer gives the chip's clock. The host then tries the ladder's rates from the fastest the clock
// allows downwards, each with a hello, and keeps the first that answers. A packet that fails twice
// at a rate steps the rest of the load down one rate. A message the stage did not answer is
// followed by 1040 bytes 0xFF, which complete any message it was still counting, so that it
// answers (with 'N') and waits for a sync again.

#include "clock.h"
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
// scripts/make-second-stage into second_stage_image.cpp. Loads into RAM get a build without the
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
    loaded,     // the stage checked the image and started it
    noAnswer,   // the stage never answered a hello: load through the ROM instead
    refused,    // the image is not one the stage loads, or its checksum or pbase is wrong
    failed,     // the stage answered, but the transfer or the EEPROM did not complete
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
    static constexpr int probeWindowMs = 20;
    static constexpr int answerMarginMs = 20;
    static constexpr int finishWindowMs = 400;
    static constexpr int eepromStepWindowMs = 3000;
    static constexpr int stepUpPauseMs = 1;
    static constexpr int triesPerRate = 2;
    static constexpr std::size_t fillerBytes = 1040;

    SecondStage(SerialPort& port, Clock& clock, StatusSink& status);

    // After the ROM has acknowledged the stage: the image (header first, its vbase long) into RAM
    // or the EEPROM. The port is left at the last rate used.
    StageReport load(std::span<const std::uint8_t> image, LoadTarget target);

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
    StageOutcome verdict(std::optional<stage::Answer> answer);
    void switchBaud(int baud);
    std::optional<stage::Answer> exchange(const std::vector<std::uint8_t>& message, int windowMs);
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
    std::size_t rateIndex_ = 0;
    int startBaud_ = stage::contactBaud;
    int baud_ = stage::contactBaud;
    std::vector<std::uint8_t> received_;
    std::deque<stage::Answer> answers_;
};

}  // namespace kestrup
