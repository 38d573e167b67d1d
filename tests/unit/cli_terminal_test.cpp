// The terminal's bridge between a board's line and the user: what passes each way, the exit key
// (a keyboard's only), the drain after the end of input, and the ends that are failures.

#include <gtest/gtest.h>

#include <deque>

#include "fakes.h"
#include "terminal.h"

namespace kestrup::cli {
namespace {

using test::FakePort;
using test::VirtualClock;

// Input given as chunks, one per read; an empty chunk is a read that found nothing.
class ScriptedUser final : public UserSide {
public:
    ScriptedUser(bool keyboard, std::deque<std::string> chunks, VirtualClock& clock)
        : keyboard_(keyboard), chunks_(std::move(chunks)), clock_(clock) {}
    bool keyboard() const override { return keyboard_; }
    void start() override {}
    std::optional<std::size_t> read(std::span<std::uint8_t> into, int waitMs) override {
        if (chunks_.empty()) return std::nullopt;
        const std::string chunk = chunks_.front();
        chunks_.pop_front();
        if (chunk.empty()) clock_.pause(waitMs);
        std::copy(chunk.begin(), chunk.end(), into.begin());
        return chunk.size();
    }
    bool write(std::span<const std::uint8_t> bytes) override {
        shown.append(bytes.begin(), bytes.end());
        return true;
    }
    bool stopRequested() const override { return false; }

    std::string shown;

private:
    bool keyboard_;
    std::deque<std::string> chunks_;
    VirtualClock& clock_;
};

std::string sent(const FakePort& port) {
    return {port.written.begin(), port.written.end()};
}

TEST(Terminal, TheExitKeyEndsAKeyboardSessionButIsAByteInAScriptsInput) {
    VirtualClock clock;
    FakePort port;
    port.queueReply({'h', 'i'});
    ScriptedUser keys(true,
                      {"",
                       "ab\x1d"
                       "cd",
                       "never read"},
                      clock);
    EXPECT_EQ(bridge(port, keys, clock), TerminalEnd::exitKey);
    EXPECT_EQ(keys.shown, "hi");
    EXPECT_EQ(sent(port), "ab");

    FakePort piped;
    ScriptedUser script(false,
                        {"ab\x1d"
                         "cd"},
                        clock);
    EXPECT_EQ(bridge(piped, script, clock), TerminalEnd::endOfInput);
    EXPECT_EQ(sent(piped),
              "ab\x1d"
              "cd");
}

TEST(Terminal, AfterTheEndOfInputTheBoardIsHeardUntilQuietOrForFiveSecondsAtMost) {
    VirtualClock clock;
    FakePort port;
    ScriptedUser user(false, {"ping"}, clock);
    port.onWrite = [&port](std::span<const std::uint8_t>) { port.queueReply({'p', 'o', 'n', 'g'}); };
    port.readLimit = 2;  // the answer comes in two reads
    EXPECT_EQ(bridge(port, user, clock), TerminalEnd::endOfInput);
    EXPECT_EQ(user.shown, "pong");
    EXPECT_EQ(clock.nowMs, 500);  // quiet counted from the last byte, in 250 polls of 2 ms
    EXPECT_EQ(clock.pauses.size(), 250u);

    // A board that never stops talking: a byte every poll.
    VirtualClock chatty;
    FakePort talking;
    ScriptedUser none(false, {}, chatty);
    talking.queueReply(std::vector<std::uint8_t>(5000, 'x'));
    for (int i = 0; i < 5000; ++i) talking.readResults.push_back(i % 2);
    EXPECT_EQ(bridge(talking, none, chatty), TerminalEnd::endOfInput);
    EXPECT_EQ(chatty.nowMs, 5000);
}

TEST(Terminal, ALostLineEndsTheSession) {
    VirtualClock clock;
    FakePort port;
    port.readResults = {0, std::nullopt};
    ScriptedUser user(true, {"", ""}, clock);
    EXPECT_EQ(bridge(port, user, clock), TerminalEnd::lineLost);

    FakePort refusing;
    refusing.writeResults = {std::nullopt};
    ScriptedUser typing(true, {"a"}, clock);
    EXPECT_EQ(bridge(refusing, typing, clock), TerminalEnd::lineLost);
}

}  // namespace
}  // namespace kestrup::cli
