#pragma once
// One load's conversation with the second stage (second_stage.h) on the load's line: a message and
// its answer, a message asked until the stage answers it as wanted, and the way back from a loss.
// It knows what the stage may be listening for: the rate a rate message has asked, and whether the
// image is coming (messages then carry their data longs).

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "base/clock.h"
#include "port/loader_line.h"
#include "wire/wire.h"

namespace kestrup {

// Answers after the last packet: the verdict on the whole image and what comes before it.
bool isVerdict(char code);
// An 'N' for this reason.
bool isRefusal(const stage::Answer& answer, stage::Refusal why);

class StageLink {
public:
    // A message's answer is awaited twice its line time and this after the driver has sent it: a
    // pseudo-terminal's drain returns before its far end has taken the bytes, and a simulated chip
    // on a busy machine may fall behind the host's clock.
    static constexpr int answerMarginMs = 50;
    // Losses survived in a row before the stage counts as lost.
    static constexpr int triesPerMessage = 4;

    StageLink(LoaderLine& line, Clock& clock) : line_(line), clock_(clock) {}
    StageLink(const StageLink&) = delete;
    StageLink& operator=(const StageLink&) = delete;

    int baud() const { return line_.baud(); }
    int lineMs(std::size_t bytes) const { return line_.lineMs(bytes); }
    void write(std::span<const std::uint8_t> bytes) { line_.write(bytes); }
    void drain() { line_.drain(); }

    // The message, and its answer within its window. A message `behind` it goes in the same write,
    // without a round trip of its own: its answer, which follows, is left for awaitAnswer.
    std::optional<stage::Answer> exchange(const std::vector<std::uint8_t>& message,
                                          std::span<const std::uint8_t> behind = {});
    // How long a message of so many bytes waits for its answer.
    int answerWindowMs(std::size_t bytes) const { return 2 * line_.lineMs(bytes) + answerMarginMs; }
    // The message until one of `codes` answers it (a query's answer included), through losses;
    // nothing when the stage is lost.
    std::optional<stage::Answer> ask(const std::vector<std::uint8_t>& message, std::initializer_list<char> codes);
    // The next answer, in the order they came, within the window.
    std::optional<stage::Answer> awaitAnswer(int windowMs);
    // After an unanswered message of so many data longs: filler that completes it, then a query.
    std::optional<stage::Answer> recover(std::size_t dataLongs);
    // Filler that completes a message the stage may be counting; what it drew is dropped.
    void fill(std::size_t dataLongs);
    void forget();

    // The rate message for `rate`, asked until answered: the stage's next sync may be as short as
    // that rate's. Nothing when the stage is lost.
    std::optional<stage::Answer> askRate(int rate, std::int64_t chipHz);
    // That message, to go behind another without a round trip of its own.
    static std::vector<std::uint8_t> rateMessage(int rate, std::int64_t chipHz);
    // Whether the answer to the rate message sent behind another came within its window.
    bool rateAnswered(int rate, std::int64_t chipHz);
    // The line at this rate; false when the port refuses it, which leaves the stage's floor for the
    // next sync the host's again.
    bool moveTo(int rate);
    // The line at the rate the image talks at, with two stop bits as the image's own line has.
    bool setImageRate(int rate) { return line_.setBaud(rate); }
    // The RAM build's fast receiver's rate, which takes bytes with one stop bit: its two receiving
    // cogs leave hub writes out of the gap between bytes.
    void setOneStopRate(int rate) { oneStopRate_ = rate; }
    // Begun and not yet all in: a damaged length may have the stage counting data longs.
    void setImageComing(bool coming) { imageComing_ = coming; }

private:
    // With one stop bit at the fast receiver's rate, two at any other.
    bool setRate(int rate);

    LoaderLine& line_;
    Clock& clock_;
    std::deque<stage::Answer> answers_;
    // The rate a rate message has asked for, until a message at it is answered: filler goes at it,
    // or it would be a sync to a stage listening there.
    int askedBaud_ = 0;
    int oneStopRate_ = 0;
    bool imageComing_ = false;
};

}  // namespace kestrup
