#include "stage/bootstrap.h"

#include <algorithm>
#include <bit>
#include <string_view>

#include "image/image.h"
#include "stage/second_stage.h"

namespace kestrup {
namespace {

// A ping come back, among whatever else came.
std::optional<bool> pingBack(std::vector<std::uint8_t>& bytes) {
    if (std::find(bytes.begin(), bytes.end(), pilot::ping) != bytes.end()) return true;
    bytes.clear();
    return std::nullopt;
}

}  // namespace

std::optional<boot::Answer> Bootstrap::awaitAnswer(int windowMs) {
    return line_.await(windowMs, boot::takeAnswer);
}

bool Bootstrap::echoed(int windowMs) {
    const std::vector<std::uint8_t> ping{pilot::ping};
    const std::int64_t until = clock_.nowMicros() + std::int64_t{windowMs} * 1000;
    while (clock_.nowMicros() < until) {
        line_.write(ping);
        if (line_.await(helloEveryMs, pingBack)) return true;
    }
    return false;
}

bool Bootstrap::refill() {
    line_.setBaud(pilot::baud);
    line_.forget();
    // A count the pilot lost a byte of wants one byte more, one it took damaged none: the filler
    // beyond that comes back.
    const std::vector<std::uint8_t> filler(pilotFillerStep, pilot::ping);
    for (std::size_t sent = 0; sent < firmware::bootstrap().size() + 4; sent += filler.size()) {
        line_.write(filler);
        if (line_.await(line_.lineMs(filler.size()), pingBack)) return true;
    }
    return echoed(helloAnswerMs);
}

bool Bootstrap::board(int helloMs, int lastMs) {
    line_.setBaud(pilot::baud);
    line_.forget();
    if (!echoed(helloMs + lastMs)) return false;
    const auto message = pilot::load(longsOf(firmware::bootstrap()));
    for (int tries = 0; tries < loadTries; ++tries) {
        line_.forget();
        const std::int64_t written = clock_.nowMicros();
        line_.write(message);
        // A new rate must not reach the load's last bytes, and a driver that has taken them may not
        // have sent them yet (a USB adapter's may start a millisecond late): the load's line time
        // from the write, and that millisecond, which the bootstrap's start takes part of anyway.
        line_.drain();
        const std::int64_t lineEnd =
            written + static_cast<std::int64_t>(message.size()) * 11 * 1'000'000 / pilot::baud + lineSlackMicros;
        if (const std::int64_t left = lineEnd - clock_.nowMicros(); left > 0)
            clock_.pauseMicros(static_cast<int>(left));
        line_.setBaud(boot::baud);
        line_.forget();
        if (greet(bootStartMs, helloAnswerMs - bootStartMs + helloLastMs)) return true;
        if (!refill()) return false;
    }
    return false;
}

bool Bootstrap::greet(int helloMs, int lastMs) {
    const auto hello = boot::hello();
    const std::int64_t start = clock_.nowMicros();
    for (;;) {
        const std::int64_t spentMs = (clock_.nowMicros() - start) / 1000;
        if (spentMs >= helloMs + lastMs) return false;
        // The line stays idle between hellos: a bootstrap that starts listening takes the next one.
        if (spentMs < helloMs) {
            line_.write(hello);
            lastHelloMicros_ = clock_.nowMicros();
        }
        const auto answer = awaitAnswer(helloEveryMs);
        if (answer && answer->code == boot::answer::hello) {
            chipHz_ = static_cast<std::int64_t>(answer->value) * line_.baud() / 4;
            return true;
        }
    }
}

bool Bootstrap::stageListens() {
    line_.setBaud(stage::contactBaud);
    line_.forget();
    line_.write(stage::helloFrame());
    return line_
        .await(stageHelloMs,
               [](std::vector<std::uint8_t>& bytes) -> std::optional<bool> {
                   for (const auto& answer : stage::takeAnswers(bytes))
                       if (answer.code == stage::answer::hello) return true;
                   return std::nullopt;
               })
        .has_value();
}

Bootstrap::Recovery Bootstrap::recover() {
    if (stageListens()) return Recovery::stageAnswered;
    line_.setBaud(boot::baud);
    // Hellos are filler to a bootstrap still counting, which answers one once it listens again;
    // after a damaged count it may want up to maxLongs longs more.
    const std::vector<std::uint8_t> filler(fillerStep, 0xFF);
    for (std::size_t sent = 0; sent < 4 * (boot::maxLongs + 3); sent += filler.size()) {
        if (greet(helloAnswerMs, 0)) return Recovery::listening;
        line_.write(filler);
    }
    return greet(helloAnswerMs, helloLastMs) ? Recovery::listening : Recovery::silent;
}

std::optional<boot::Answer> Bootstrap::load(const std::vector<std::uint8_t>& message, int rate, std::uint32_t longs) {
    line_.setBaud(rate);
    // The answer heard may be to an earlier hello, through an adapter that holds answers back:
    // the bootstrap hears no sync while it answers the last one.
    const std::int64_t quiet = lastHelloMicros_ + helloAnsweredMicros - clock_.nowMicros();
    if (quiet > 0) clock_.pauseMicros(static_cast<int>(quiet));
    line_.forget();
    line_.write(message);
    line_.drain();
    // The answer follows the last byte by the sums' time, 2 ms at 8 MHz. It names the longs it took:
    // an answer to a hello, held back by the adapter, or its bytes read at the new rate, is not it.
    return line_.await(line_.lineMs(message.size()) + answerMarginMs,
                       [longs](std::vector<std::uint8_t>& bytes) -> std::optional<boot::Answer> {
                           while (const auto answer = boot::takeAnswer(bytes))
                               if (answer->code != boot::answer::hello && answer->value == longs) return answer;
                           return std::nullopt;
                       });
}

Bootstrap::Outcome Bootstrap::send(std::span<const std::uint32_t> stage, int helloMs, int lastMs) {
    if (!board(helloMs, lastMs)) return Outcome::noAnswer;
    const auto message = boot::load(stage);
    // An 'X' heard at the chip's own rate keeps it; a load unanswered there goes again at boot::baud.
    int rate = std::max(boot::baud, boot::loadBaud(chipHz_));
    for (int tries = 0; tries < loadTries; ++tries) {
        const auto answer = load(message, rate, static_cast<std::uint32_t>(stage.size()));
        if (answer && answer->code == boot::answer::loaded && answer->value == stage.size()) {
            // The stage listens once the interpreter has started its two cogs: a hello before is lost.
            clock_.pauseMicros(
                static_cast<int>(stageStartClocks * 1'000'000 / std::max<std::int64_t>(chipHz_, 1'000'000)));
            return Outcome::stageFresh;
        }
        if (answer && answer->code == boot::answer::sumWrong) continue;
        // No answer: the bootstrap may still be counting, or may have started the stage and its
        // answer be lost.
        switch (recover()) {
            case Recovery::listening:
                rate = boot::baud;
                break;
            case Recovery::stageAnswered:
            // The stage's own contact finds whether there is one.
            case Recovery::silent:
                return Outcome::stageStarted;
        }
    }
    return Outcome::failed;
}

}  // namespace kestrup
