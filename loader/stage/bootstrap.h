#pragma once
// Kestrup's pilot and bootstrap (loader/stage/firmware/pilot.spin, boot.spin): the boot ROM carries
// the pilot's 49 longs instead of the second stage's 565 or 788, three bits a byte at 230400 baud;
// the pilot takes the bootstrap's 144 at the same rate, eight bits a byte, and the bootstrap takes
// the stage at the chip's own rate, checks it and starts it as the ROM would have: about 0.2 s less
// before the stage listens, at every clock and for every image.
//
// The wire to the pilot and the bootstrap is described in docs/protocol.md, its facts in
// wire/wire.h. The load goes at the chip's own fastest rate (stage::chipsOwnBaud of the clock the
// hello's answer gives) where the port makes it; a load unanswered there goes again at boot::baud.
// Every answer is awaited through a USB adapter's latency, and the load's is taken only as the
// answer that names its count.
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
    // A hello has been taken and answered this long after it was written (0.3 ms at 460800 baud),
    // its write started at a USB adapter's next 1 ms frame: a load that starts sooner may find the
    // bootstrap still answering the last hello, and not hear its sync.
    static constexpr int helloAnsweredMicros = 2000;
    // A load's answer is awaited its line time and this: its sums (2 ms at 8 MHz), a USB adapter's
    // latency, and a simulated chip that lags on a busy machine. An answer later than that costs a
    // recovery.
    static constexpr int answerMarginMs = LoaderLine::adapterLatencyMs + 8;
    // Hellos once the pilot has taken the bootstrap, for as long as its start may take (the pilot's
    // coginit: 1 ms at 8 MHz); then no more, so that few answers are on their way at once, and the
    // first one's is awaited through the adapter's latency.
    static constexpr int bootStartMs = 4;
    // Hellos to a bootstrap that may be counting: its answer's four bytes and the host's latency.
    static constexpr int helloAnswerMs = 20;
    static constexpr int helloLastMs = LoaderLine::adapterLatencyMs + 3;
    static constexpr int stageHelloMs = 20 + LoaderLine::adapterLatencyMs;
    // Filler between hellos while a bootstrap may still be counting.
    static constexpr std::size_t fillerStep = 256;
    static constexpr int loadTries = 2;
    // After a write's line time, until its last byte is surely out: a USB adapter starts a write at
    // its next 1 ms frame, and a simulated line may lag the host.
    static constexpr int lineSlackMicros = 2000;
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
    // The stage's load of `longs` at `rate`, and the bootstrap's answer to it.
    std::optional<boot::Answer> load(const std::vector<std::uint8_t>& message, int rate, std::uint32_t longs);
    Recovery recover();
    bool stageListens();

    LoaderLine& line_;
    Clock& clock_;
    std::int64_t chipHz_ = 0;
    std::int64_t lastHelloMicros_ = 0;
};

}  // namespace kestrup
