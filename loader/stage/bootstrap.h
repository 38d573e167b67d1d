#pragma once
// Kestrup's pilot and bootstrap (loader/stage/firmware/pilot.spin, boot.spin): the boot ROM carries
// the pilot's 49 longs instead of the second stage's 565 or 788, three bits a byte at 230400 baud;
// the pilot takes the bootstrap's 144 at the same rate, eight bits a byte, and the bootstrap takes
// the stage at the chip's own rate, checks it and starts it as the ROM would have: about 0.2 s less
// before the stage listens, at every clock and for every image.
//
// The wire, as the host sees it: 8 data bits, no parity, 2 stop bits.
// To the pilot, at `pilot::baud`:
//   ping   0xFF, one bit time low. The pilot sends every low pulse straight back until a sync comes,
//          so that the first ping it hears comes back: the host's sign that it listens.
//   load   the sync 0x80 (a low pulse of 8 bit times, which gives the bit time: nothing else the
//          host sends in the ROM's phase is more than two bits low), the bootstrap's
//          longs, then a check long that brings the pilot's sum to zero: for each long, the sum
//          rotated left one bit, plus the long. The pilot then jumps to the bootstrap; a sum that is
//          not zero sends it back to echoing. A load that lost a byte leaves it counting: 0xFF filler
//          completes what it counts, and the filler after that comes back.
// To the bootstrap, at `boot::baud` or the chip's own rate:
//   hello  the sync 0xF8 (its start bit and three 0 bits are one low pulse of 4 bit times, from
//          which the bootstrap takes the bit time; a pulse under 60 chip clocks is none), then the
//          long 0x55555555: no byte of it has two 0 bits together, so that a bootstrap that starts
//          listening in the middle of one takes the next hello's sync and no pulse of this one's.
//          460800 baud keeps one bit under 60 clocks on a 20 MHz chip.
//   load   the sync, the stage's count of longs (1 to 1024) as a long, a second sync (which gives
//          the bootstrap the time to look at the count), the longs, then two sums mod 2^32: the
//          sum of the longs, and the sum of the running sums (which a misplaced long changes).
//          Longs go least significant byte first. The longs land at hub 0, where the ROM puts an
//          image, and the long above them is left zero, as the ROM leaves it.
// Answers, four bytes at the sync's rate: the code, then a 24-bit value, least significant byte
// first.
//   'H' to a hello: value the sync's 4 bit times in chip clocks
//   'K' to a load whose sums hold: value the count; then cog 0 restarts as the Spin interpreter,
//       which starts the stage, listening for its first hello within a few milliseconds. The
//       bootstrap leaves its bit time in long 0 as the stage's first floor (see second_stage.h),
//       so that the first hello may go at the load's rate.
//   'X' to a load whose sums do not: value the count; it listens for a sync again
// The load goes at the chip's own fastest rate (its clock / 16, which the hello's answer gives) where
// the port makes it: the bootstrap times every sync, so it takes any rate its receiver keeps up
// with. A load unanswered there goes again at boot::baud.
// A load that lost a byte leaves the bootstrap counting. When its answer does not come, the host
// first asks the stage with the stage's own hello at 115200 baud: an answer there is a 'K' lost.
// Else it sends hellos (filler to a bootstrap counting, which then answers 'X' and listens again),
// with filler 0xFF between them (one bit low, never a sync), until a hello is answered, then the
// load again.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/clock.h"
#include "port/loader_line.h"
#include "stage/firmware/firmware.h"
#include "wire/wire.h"

namespace kestrup {

class Bootstrap {
public:
    static constexpr int helloEveryMs = 1;
    // A hello has been taken and answered this long after it was written (0.3 ms at 460800 baud).
    static constexpr int helloAnsweredMicros = 1000;
    // A load's answer is awaited its line time and this: a USB adapter's latency timer (16 ms) and a
    // simulated chip that lags on a busy machine. An answer later than that costs a recovery.
    static constexpr int answerMarginMs = 25;
    // Hellos once the bootstrap has been heard: its answer's four bytes and the host's latency.
    static constexpr int helloAnswerMs = 20;
    static constexpr int stageHelloMs = 20;
    // Filler between hellos while a bootstrap may still be counting.
    static constexpr std::size_t fillerStep = 256;
    static constexpr int loadTries = 2;
    // After a write's line time, until its last byte is surely out.
    static constexpr int lineSlackMicros = 1000;
    // Filler sent to a pilot that may be counting, a step at a time, until it echoes.
    static constexpr std::size_t pilotFillerStep = 64;
    // From the bootstrap's 'K' until the stage listens, with a margin for the answer's own bytes and
    // the host's reading of them.
    static constexpr std::int64_t stageStartClocks = boot::stageListensClocks + 4'000;

    enum class Outcome {
        stageFresh,    // the bootstrap started the stage, which has heard nothing yet: its first
                       // hellos may go at the load's rate, which send() leaves the line at (second_stage.h)
        stageStarted,  // the stage has answered a hello at stage::contactBaud, whose floor it keeps;
                       // or the bootstrap is silent where it would have started it
        noAnswer,      // no ping came back, or the bootstrap the pilot took answered no hello
        failed,        // it heard the stage and never took it whole
    };

    // `line` is the load's: at pilot::baud once the ROM has acknowledged the pilot.
    Bootstrap(LoaderLine& line, Clock& clock) : line_(line), clock_(clock) {}

    // Pings for helloMs and lastMs more for the echo, the bootstrap through the pilot, then the
    // stage's longs until the bootstrap has taken them. The line is left at the rate the stage went at.
    Outcome send(std::span<const std::uint32_t> stage, int helloMs, int lastMs);
    // The chip's clock, from the first hello's answer.
    std::int64_t chipHz() const { return chipHz_; }

private:
    // After a load left unanswered.
    enum class Recovery {
        listening,      // the bootstrap answered a hello: it listens for the load again
        stageAnswered,  // the stage answered its own hello: it was started, and only the 'K' lost
        silent,         // neither answered
    };

    // The pilot echoes, takes the bootstrap, and the bootstrap answers a hello.
    bool board(int helloMs, int lastMs);
    // Pings until one comes back, for windowMs.
    bool echoed(int windowMs);
    // Filler to a pilot that may be counting, until it echoes: false when it never does.
    bool refill();
    bool greet(int helloMs, int lastMs);
    std::optional<boot::Answer> awaitAnswer(int windowMs);
    // The stage's load at `rate`, and the bootstrap's answer to it.
    std::optional<boot::Answer> load(const std::vector<std::uint8_t>& message, int rate);
    Recovery recover();
    bool stageListens();

    LoaderLine& line_;
    Clock& clock_;
    std::int64_t chipHz_ = 0;
    std::int64_t lastHelloMicros_ = 0;
};

}  // namespace kestrup
