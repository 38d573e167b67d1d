#include "bootstrap.h"

#include <string_view>

#include "second_stage.h"

namespace kestrup {
namespace boot {
namespace {

void putLong(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> hello() {
    std::vector<std::uint8_t> out{syncByte};
    putLong(out, helloLong);
    return out;
}

std::vector<std::uint8_t> load(std::span<const std::uint32_t> longs) {
    std::vector<std::uint8_t> out{syncByte};
    out.reserve(4 * longs.size() + 14);
    putLong(out, static_cast<std::uint32_t>(longs.size()));
    out.push_back(syncByte);
    std::uint32_t sum = 0;
    std::uint32_t sumOfSums = 0;
    for (const std::uint32_t value : longs) {
        putLong(out, value);
        sum += value;
        sumOfSums += sum;
    }
    putLong(out, sum);
    putLong(out, sumOfSums);
    return out;
}

std::optional<Answer> takeAnswer(std::vector<std::uint8_t>& received) {
    std::size_t at = 0;
    std::optional<Answer> answer;
    for (; received.size() - at >= answerBytes && !answer; ++at) {
        const std::uint8_t* a = received.data() + at;
        // Values are 16 bits at most: a count or a sync's width.
        if (std::string_view("HKX").find(static_cast<char>(a[0])) == std::string_view::npos || a[3] != 0) continue;
        answer = Answer{static_cast<char>(a[0]), a[1] | std::uint32_t{a[2]} << 8};
        at += answerBytes - 1;
    }
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(at));
    return answer;
}

}  // namespace boot

int Bootstrap::lineMs(std::size_t bytes) const {
    const std::int64_t bits = static_cast<std::int64_t>(bytes) * 11;
    return static_cast<int>((bits * 1000 + baud_ - 1) / baud_);
}

std::optional<boot::Answer> Bootstrap::awaitAnswer(int windowMs) {
    constexpr int pollMicros = 200;
    for (int polls = windowMs * 1000 / pollMicros;; --polls) {
        std::uint8_t buffer[64];
        const auto got = port_.read(buffer);
        if (got && *got > 0) received_.insert(received_.end(), buffer, buffer + *got);
        if (auto answer = boot::takeAnswer(received_)) return answer;
        if (polls <= 0) return std::nullopt;
        clock_.pauseMicros(pollMicros);
    }
}

bool Bootstrap::greet(int helloMs, int lastMs) {
    const auto hello = boot::hello();
    const std::int64_t start = clock_.nowMicros();
    for (;;) {
        const std::int64_t spentMs = (clock_.nowMicros() - start) / 1000;
        if (spentMs >= helloMs + lastMs) return false;
        // The line stays idle between hellos: a bootstrap that starts listening takes the next one.
        if (spentMs < helloMs) port_.write(hello);
        const auto answer = awaitAnswer(helloEveryMs);
        if (answer && answer->code == 'H') {
            chipHz_ = static_cast<std::int64_t>(answer->value) * baud_ / 4;
            return true;
        }
    }
}

void Bootstrap::fill() {
    const std::vector<std::uint8_t> filler(4 * (boot::maxLongs + 2) + 16, 0xFF);
    port_.write(filler);
    port_.drain();
    clock_.pause(2 * lineMs(filler.size()) + answerMarginMs);
    port_.purgeReceive();
    received_.clear();
}

Bootstrap::Outcome Bootstrap::send(std::span<const std::uint32_t> stage, int helloMs, int lastMs) {
    if (!greet(helloMs, lastMs)) return Outcome::noAnswer;
    const auto message = boot::load(stage);
    const int fastest = stage::chipsOwnBaud(chipHz_);
    for (int tries = 0; tries < loadTries; ++tries) {
        const int rate = tries == 0 && fastest > boot::baud ? fastest : boot::baud;
        if (rate != baud_ && port_.setBaud(rate)) baud_ = rate;
        port_.purgeReceive();
        received_.clear();
        port_.write(message);
        port_.drain();
        const auto answer = awaitAnswer(2 * lineMs(message.size()) + answerMarginMs);
        if (answer && answer->code == 'K' && answer->value == stage.size()) return Outcome::started;
        // No answer, or one not to this load: the bootstrap may still be counting, or may have
        // started the stage and its answer be lost. Once filler has completed any count, a
        // bootstrap still there answers a hello; a stage does not, and tells so to its own hellos.
        if (!answer) fill();
        if (baud_ != boot::baud && port_.setBaud(boot::baud)) baud_ = boot::baud;
        if (!greet(helloAnswerMs, 0)) return Outcome::started;
    }
    return Outcome::failed;
}

}  // namespace kestrup
