#pragma once
// The second stage as the host sees it, scripted behind the fake port: each write is taken whole
// (a message, or filler) and answered at once, with the stage's rules for syncs and messages
// (loader/wire/wire.h, as the chip answers tests/conformance/) and the faults a test orders.

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "fakes.h"
#include "wire/wire.h"

namespace kestrup::test {

struct ScriptedStage {
    std::int64_t chipHz = 12'000'000;
    std::int64_t crystalHz = 5'000'000;  // 0: none, so that the stage's switch to it stops the chip
    std::map<int, int> madeAs;           // the rate an adapter makes when asked for another
    bool ftdi = false;                   // an FTDI adapter makes every rate (adapter::made)
    bool fastReceiver = true;            // the RAM build's, at 12 clocks a bit
    std::multiset<std::string> lose;     // answers lost, each once: code and packet, "A1"
    std::optional<int> badLength;        // this packet's length byte arrives damaged, once
    std::string verdicts = "V";          // after the last packet's 'A'; the last one is held
    std::uint32_t crcError = 0;          // what 'V' has wrong
    std::vector<int> packets;            // as they came
    std::string messages;                // the codes of the others, as they came, a word a write
    int swallowed = 0;                   // messages lost in a damaged one's count
    std::optional<std::uint32_t> goDelay;
    bool stopped = false;  // the host said stop: the chip shuts down whatever the verdict
    enum class State { idle, loading, verdict, gone, halted } state = State::idle;

    void attach(FakePort& port) {
        port.onWrite = [this, &port](std::span<const std::uint8_t> bytes) { take(port, bytes); };
    }

    // Messages written together (a message behind another, with filler between or none) are taken
    // one after the other.
    void take(FakePort& port, std::span<const std::uint8_t> b) {
        if (!messages.empty() && messages.back() != ' ') messages += ' ';
        for (;;) {
            const std::size_t length = 10 + (state == State::loading && b.size() > 1 ? 4 * std::size_t{b[1]} : 0);
            if (b.empty() || b[0] != stage::syncByte || b.size() <= length) break;
            const auto next = std::find_if(b.begin() + static_cast<std::ptrdiff_t>(length), b.end(),
                                           [](std::uint8_t x) { return x != 0xFF; });
            if (next == b.end() || *next != stage::syncByte) break;
            takeOne(port, b.first(length));
            b = b.subspan(static_cast<std::size_t>(next - b.begin()));
        }
        takeOne(port, b);
    }

    void takeOne(FakePort& port, std::span<const std::uint8_t> b) {
        if (state == State::halted) return;
        if (std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0xFF; })) return void(counting = false);
        const int asked = port.bauds.empty() ? stage::contactBaud : port.bauds.back();
        made = madeAs.count(asked) ? madeAs.at(asked) : ftdi ? adapter::made(asked) : asked;
        // The host reads an answer at a rate more than a few percent from its own as noise.
        heard = std::abs(made / asked - 1) < 0.03;
        const double bit = static_cast<double>(pllHz.value_or(chipHz)) / made;
        // A sync shorter than the floor, or than either receiver takes, is no sync: the whole message
        // goes by unseen.
        const double sync = stage::syncBits * bit;
        const bool fast = fastReceiver && sync >= stage::fastSyncLeast && sync <= stage::fastSyncMost;
        if (sync < once.value_or(floor) || (sync < stage::minSyncClocks && !fast)) return;
        once.reset();
        floor = 2.5 * bit;
        if (counting) return void(++swallowed);
        // Only while the image comes does the stage read the length byte (a hello's is 0x55).
        const std::size_t t = 2 + 4 * (state == State::loading ? std::size_t{b[1]} : 0u);
        if (b.size() < t + 8) return;
        const auto word = [&b](std::size_t at) {
            return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24;
        };
        const std::uint32_t trailer = word(t), arg = trailer >> 8;
        const auto code = static_cast<char>(trailer & 0xFF);
        if (code != stage::message::data) messages += code;
        if (state == State::gone) return say(port, stage::answer::going, 0, *goDelay);
        if (~stage::crcAfter(t > 2 ? imageCrc : stage::crcStart, b.subspan(2, t + 2)) != word(t + 4))
            return refuse(port, stage::Refusal::check);
        // While the image comes a packet carries its data, no other message any.
        if (state == State::loading && (code == stage::message::data) != (b[1] != 0))
            return refuse(port, stage::Refusal::length);
        if (state == State::verdict) return held(port, code, arg);
        switch (code) {
            case stage::message::hello:
                if (state != State::idle) break;
                return say(port, stage::answer::hello, 0, static_cast<std::uint32_t>(stage::syncBits * bit));
            case stage::message::rate:
                once = arg;
                return say(port, stage::answer::rate, expected(), arg);
            case stage::message::clock:
                if (state != State::idle) break;
                say(port, stage::answer::clock, 0, arg);
                once = arg >> 8;
                if (crystalHz == 0) return void(state = State::halted);
                pllHz = crystalHz << ((arg & 7) - 3);
                return;
            case stage::message::begin:
                longs = trailer >> 16, expect = 0, state = State::loading, imageCrc = stage::crcStart;
                return say(port, stage::answer::begun, 0, longs);
            case stage::message::query:
                return query(port);
            case stage::message::data:
                if (state == State::loading) return packet(port, b, t, static_cast<int>(arg & 0xFF));
                break;
            default:
                break;
        }
        refuse(port, stage::Refusal::notNow);
    }

    void packet(FakePort& port, std::span<const std::uint8_t> b, std::size_t t, int k) {
        packets.push_back(k);
        if (k == badLength) return badLength.reset(), counting = true, refuse(port, stage::Refusal::length);
        if (static_cast<std::uint32_t>(k) != expect) return refuse(port, stage::Refusal::otherPacket);
        for (std::size_t i = 0; i < b[1]; ++i)
            ram[k * stage::packetLongs + i] =
                b[2 + 4 * i] | b[3 + 4 * i] << 8 | b[4 + 4 * i] << 16 | std::uint32_t{b[5 + 4 * i]} << 24;
        imageCrc = stage::crcAfter(imageCrc, b.subspan(2, t - 2));
        say(port, stage::answer::accepted, k, ++expect);
        if (expect * stage::packetLongs < longs) return;
        state = State::verdict;
        for (const char verdict : verdicts) say(port, verdict, 0, verdictValue(verdict));
    }

    // The verdict is held: a query has it again, go and stop are answered 'G', anything else 'N'.
    void held(FakePort& port, char code, std::uint32_t arg) {
        if (code == stage::message::query) return say(port, verdicts.back(), 0, verdictValue(verdicts.back()));
        if (code != stage::message::go && code != stage::message::stop) return refuse(port, stage::Refusal::notNow);
        goDelay = arg, state = State::gone, stopped = code == stage::message::stop;
        say(port, stage::answer::going, 0, arg);
    }

    void query(FakePort& port) {
        if (state == State::idle) return say(port, stage::answer::idle, 0, 0);
        if (expect == 0) return say(port, stage::answer::begun, 0, longs);
        say(port, stage::answer::accepted, static_cast<int>(expect - 1), expect);
    }

    std::uint32_t verdictValue(char code) const {
        if (code == stage::answer::notStartable) return ram[1] >> 16;
        if (code != stage::answer::proven) return 1;
        // RAM as the stage leaves it: the image, zeros, the stack markers below dbase.
        auto picture = ram;
        const std::size_t dbase = ram[2] >> 16;
        picture[dbase / 4 - 2] = picture[dbase / 4 - 1] = stage::stackMarker;
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < picture.size() * 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(picture[i / 4] >> (8 * (i % 4))));
        return stage::crc32(bytes) ^ crcError;
    }

    // An 'N' names the packet expected: none before begin or once the image is in.
    int expected() const { return state == State::loading ? static_cast<int>(expect) : 0; }
    void refuse(FakePort& port, stage::Refusal why) {
        say(port, stage::answer::notTaken, expected(), static_cast<std::uint32_t>(why));
    }

    void say(FakePort& port, char code, int packet, std::uint32_t value) {
        const auto lost = lose.find(code + std::to_string(packet));
        if (lost != lose.end()) return void(lose.erase(lost));
        if (!heard) return;
        const auto bytes = stage::encode({code, static_cast<std::uint8_t>(packet), value});
        port.queueReply({bytes.begin(), bytes.end()});
    }

    // A reset: the chip on its RC clock again, and a stage to load.
    void restart() {
        state = State::idle, started = false, counting = false, floor = stage::firstSyncFloor;
        once.reset(), pllHz.reset();
    }

    std::optional<std::int64_t> pllHz;     // the clock once a clock message moved the chip to it
    double floor = stage::firstSyncFloor;  // as the ROM starts it; the bootstrap leaves another
    double made = stage::contactBaud;      // the rate the stage hears the last message at
    bool heard = true;                     // and the host its answers
    bool started = false;
    std::optional<double> once;
    bool counting = false;
    std::uint32_t longs = 0, expect = 0, imageCrc = stage::crcStart;
    std::vector<std::uint32_t> ram = std::vector<std::uint32_t>(stage::ramBytes / 4);
};

}  // namespace kestrup::test
