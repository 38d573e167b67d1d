#include "stage/stage_link.h"

#include <algorithm>
#include <string_view>

namespace kestrup {
namespace {

const std::vector<std::uint8_t>& query() {
    static const auto message = stage::frame({}, stage::queryTrailer());
    return message;
}

// The trailer, before the check's four bytes.
std::uint32_t trailerOf(const std::vector<std::uint8_t>& message) {
    const std::size_t at = message.size() - 8;
    return message[at] | message[at + 1] << 8 | message[at + 2] << 16 | std::uint32_t{message[at + 3]} << 24;
}

bool isRateMessage(const std::vector<std::uint8_t>& message) {
    return static_cast<char>(trailerOf(message) & 0xFF) == stage::message::rate;
}

// An answer to an earlier message, held back by an adapter or come after its window: an 'H' answers
// a hello alone, an 'R' the rate message whose floor it names.
bool stale(const stage::Answer& answer, const std::vector<std::uint8_t>& message) {
    const std::uint32_t trailer = trailerOf(message);
    const auto code = static_cast<char>(trailer & 0xFF);
    if (answer.code == stage::answer::hello) return code != stage::message::hello;
    if (answer.code == stage::answer::rate) return code != stage::message::rate || answer.value != trailer >> 8;
    return false;
}

}  // namespace

bool isVerdict(char code) {
    return stage::answer::verdicts.find(code) != std::string_view::npos;
}

bool isRefusal(const stage::Answer& answer, stage::Refusal why) {
    return answer.code == stage::answer::notTaken && answer.value == static_cast<std::uint32_t>(why);
}

std::optional<stage::Answer> StageLink::awaitAnswer(int windowMs) {
    return line_.await(windowMs, [this](std::vector<std::uint8_t>& bytes) -> std::optional<stage::Answer> {
        for (const auto& answer : stage::takeAnswers(bytes)) answers_.push_back(answer);
        if (answers_.empty()) return std::nullopt;
        const stage::Answer first = answers_.front();
        answers_.pop_front();
        return first;
    });
}

void StageLink::forget() {
    line_.forget();
    answers_.clear();
}

std::optional<stage::Answer> StageLink::exchange(const std::vector<std::uint8_t>& message,
                                                 std::span<const std::uint8_t> behind) {
    forget();
    if (behind.empty()) {
        line_.write(message);
    } else {
        std::vector<std::uint8_t> both(message);
        both.insert(both.end(), behind.begin(), behind.end());
        line_.write(both);
    }
    line_.drain();
    const std::int64_t until = clock_.nowMicros() + std::int64_t{answerWindowMs(message.size() + behind.size())} * 1000;
    auto answer = awaitAnswer(static_cast<int>((until - clock_.nowMicros()) / 1000));
    while (answer && stale(*answer, message))
        answer = awaitAnswer(static_cast<int>(std::max<std::int64_t>(0, until - clock_.nowMicros()) / 1000));
    // The floor a rate message names holds for one sync: an answer to any later message used it up.
    if (answer && !isRateMessage(message)) askedBaud_ = 0;
    return answer;
}

void StageLink::fill(std::size_t dataLongs) {
    // While the image comes a damaged length byte may have the stage counting up to 255 data longs;
    // otherwise every message is two longs. A stage counting at a slower rate than the filler's takes
    // several filler bytes as one of its own.
    const int fastest = std::max(line_.baud(), askedBaud_);
    const int back = line_.baud();
    std::size_t bytes = imageComing_ ? 4 * (stage::packetLongs - std::min(dataLongs, stage::packetLongs)) + 8 : 8;
    bytes *= static_cast<std::size_t>((fastest + back - 1) / back);
    // Each filler byte is one bit low: at the fastest rate the stage may listen at, never a sync.
    setRate(fastest);
    const std::vector<std::uint8_t> filler(bytes, 0xFF);
    line_.write(filler);
    line_.drain();
    clock_.pause(2 * line_.lineMs(filler.size()) + answerMarginMs);
    setRate(back);
    // What the completed message drew is no answer to anything the host still asks.
    forget();
}

std::optional<stage::Answer> StageLink::recover(std::size_t dataLongs) {
    for (int tries = 0; tries < triesPerMessage; ++tries) {
        fill(tries == 0 ? dataLongs : 0);
        const auto answer = exchange(query());
        // A query not taken as sent tells nothing of where the stage is.
        if (answer && answer->code != stage::answer::notTaken) return answer;
    }
    return std::nullopt;
}

std::optional<stage::Answer> StageLink::ask(const std::vector<std::uint8_t>& message,
                                            std::initializer_list<char> codes) {
    for (int tries = 0; tries < triesPerMessage; ++tries) {
        auto answer = exchange(message);
        if (!answer) {
            answer = recover(0);
            if (!answer) return std::nullopt;  // the stage is lost
        } else if (isRefusal(*answer, stage::Refusal::length))
            fill(0);
        if (std::find(codes.begin(), codes.end(), answer->code) != codes.end()) return answer;
    }
    return std::nullopt;
}

std::vector<std::uint8_t> StageLink::rateMessage(int rate, std::int64_t chipHz) {
    // Two bit times of the new rate: its sync is four, and the filler of the old one's stays a
    // filler to a stage that did not take the rate message.
    return stage::frame({}, stage::rateTrailer(static_cast<std::uint32_t>(2 * chipHz / rate)));
}

std::optional<stage::Answer> StageLink::askRate(int rate, std::int64_t chipHz) {
    askedBaud_ = rate;
    return ask(rateMessage(rate, chipHz), {stage::answer::rate});
}

bool StageLink::rateAnswered(int rate, std::int64_t chipHz) {
    const auto message = rateMessage(rate, chipHz);
    askedBaud_ = rate;
    const auto answer = awaitAnswer(answerWindowMs(message.size()));
    return answer && answer->code == stage::answer::rate && !stale(*answer, message);
}

bool StageLink::moveTo(int rate) {
    if (setRate(rate)) return true;
    askedBaud_ = 0;
    return false;
}

bool StageLink::setRate(int rate) {
    return line_.setBaud(rate, rate == oneStopRate_ ? 1 : 2);
}

}  // namespace kestrup
