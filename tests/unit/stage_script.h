#pragma once
// The second stage as the host sees it, scripted behind the fake port: each write is taken whole
// (a message, or filler) and answered at once, with the stage's rules for syncs and the faults a
// test orders.

#include <map>
#include <set>

#include "fakes.h"
#include "image/image.h"
#include "stage/second_stage.h"

namespace kestrup::test {

struct ScriptedStage {
    std::int64_t chipHz = 12'000'000;
    std::map<int, int> madeAs;        // the rate an adapter makes when asked for another
    std::multiset<std::string> lose;  // answers lost, each once: code and packet, "A1"
    std::optional<int> badLength;     // this packet's length byte arrives damaged, once
    std::string verdicts = "V";       // after the last packet's 'A'; the last one is held
    std::uint32_t crcError = 0;       // what 'V' has wrong
    std::vector<int> packets;         // as they came
    int swallowed = 0;                // messages lost in a damaged one's count
    std::optional<std::uint32_t> goDelay;
    enum class State { idle, loading, verdict, gone } state = State::idle;

    void attach(FakePort& port) {
        port.onWrite = [this, &port](std::span<const std::uint8_t> bytes) { take(port, bytes); };
    }

    void take(FakePort& port, std::span<const std::uint8_t> b) {
        if (std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0xFF; })) return void(counting = false);
        const int asked = port.bauds.empty() ? 115200 : port.bauds.back();
        const double bit = static_cast<double>(chipHz) / (madeAs.count(asked) ? madeAs.at(asked) : asked);
        // A sync shorter than the floor is no sync: the whole message goes by unseen.
        if (4 * bit < once.value_or(floor)) return;
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
        const auto k = static_cast<int>(arg & 0xFF);
        if (state == State::gone) return say(port, 'G', 0, *goDelay);
        if (~stage::crcAfter(t > 2 ? imageCrc : stage::crcStart, b.subspan(2, t + 2)) != word(t + 4))
            return say(port, 'N', expect, 1);
        switch (trailer & 0xFF) {
            case 'U':
                return say(port, 'H', 0, static_cast<std::uint32_t>(4 * bit));
            case 'R':
                once = arg;
                return say(port, 'R', 0, arg);
            case 'B':
                longs = trailer >> 16, expect = 0, state = State::loading, imageCrc = stage::crcStart;
                return say(port, 'B', 0, longs);
            case 'G':
                goDelay = arg, state = State::gone;
                return say(port, 'G', 0, arg);
            case 'Q':
                return query(port);
            case 'D':
                break;
            default:
                return say(port, 'N', expect, 4);
        }
        packets.push_back(k);
        if (state != State::loading) return say(port, 'N', 0, 4);
        if (k == badLength) return badLength.reset(), counting = true, say(port, 'N', expect, 3);
        if (static_cast<std::uint32_t>(k) != expect) return say(port, 'N', expect, 2);
        for (std::size_t i = 0; i < b[1]; ++i) ram[k * stage::packetLongs + i] = word(2 + 4 * i);
        imageCrc = stage::crcAfter(imageCrc, b.subspan(2, t - 2));
        say(port, 'A', k, ++expect);
        if (expect * stage::packetLongs < longs) return;
        state = State::verdict;
        for (const char code : verdicts) say(port, code, 0, verdictValue(code));
    }

    void query(FakePort& port) {
        if (state == State::idle) return say(port, 'I', 0, 0);
        if (state == State::verdict) return say(port, verdicts.back(), 0, verdictValue(verdicts.back()));
        if (expect == 0) return say(port, 'B', 0, longs);
        say(port, 'A', static_cast<int>(expect - 1), expect);
    }

    std::uint32_t verdictValue(char code) const {
        if (code == 'P') return ram[1] >> 16;
        if (code != 'V') return 1;
        // RAM as the stage leaves it: the image, zeros, the stack markers below dbase.
        auto picture = ram;
        const std::size_t dbase = ram[2] >> 16;
        picture[dbase / 4 - 2] = picture[dbase / 4 - 1] = imageStackMarker;
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < picture.size() * 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(picture[i / 4] >> (8 * (i % 4))));
        return stage::crc32(bytes) ^ crcError;
    }

    void say(FakePort& port, char code, int packet, std::uint32_t value) {
        const auto lost = lose.find(code + std::to_string(packet));
        if (lost != lose.end()) return void(lose.erase(lost));
        const auto bytes = stage::encode({code, static_cast<std::uint8_t>(packet), value});
        port.queueReply({bytes.begin(), bytes.end()});
    }

    double floor = 216;  // as the ROM starts it; the bootstrap leaves another
    bool started = false;
    std::optional<double> once;
    bool counting = false;
    std::uint32_t longs = 0, expect = 0, imageCrc = stage::crcStart;
    std::vector<std::uint32_t> ram = std::vector<std::uint32_t>(chipRamBytes / 4);
};

}  // namespace kestrup::test
