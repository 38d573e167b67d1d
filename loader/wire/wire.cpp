#include "wire/wire.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

namespace kestrup {

void putLong(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

namespace pilot {

std::vector<std::uint8_t> load(std::span<const std::uint32_t> longs) {
    std::vector<std::uint8_t> out{syncByte};
    out.reserve(4 * longs.size() + 5);
    std::uint32_t sum = 0;
    for (const std::uint32_t value : longs) {
        putLong(out, value);
        sum = std::rotl(sum, 1) + value;
    }
    putLong(out, 0 - std::rotl(sum, 1));
    return out;
}

std::vector<std::uint32_t> startingCrystal(std::span<const std::uint32_t> pilotLongs, std::uint8_t clockMode) {
    std::vector<std::uint32_t> longs(pilotLongs.begin(), pilotLongs.end());
    // The oscillator and PLL on, the RC clock still selected: the switch is the stage's.
    const std::uint32_t started = clockMode & 0x78u;
    for (std::uint32_t& value : longs)
        if (value == clockModeMarker) value |= started;
    // The header's checksum (byte 5) keeps the image's bytes summing to 0.
    const std::uint32_t checksum = ((longs.at(1) >> 8) - started) & 0xFFu;
    longs[1] = (longs[1] & ~0xFF00u) | checksum << 8;
    return longs;
}

}  // namespace pilot

namespace boot {

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

int loadBaud(std::int64_t chipHz) {
    return adapter::fastestUpTo(static_cast<double>(chipHz) * 1.005 / loadClocksPerBit);
}

std::optional<Answer> takeAnswer(std::vector<std::uint8_t>& received) {
    return takeAnswerOf(received, answer::all);
}

std::optional<Answer> takeAnswerOf(std::vector<std::uint8_t>& received, std::string_view codes) {
    std::size_t at = 0;
    std::optional<Answer> answer;
    for (; received.size() - at >= answerBytes && !answer; ++at) {
        const std::uint8_t* a = received.data() + at;
        // Values are 16 bits at most: a count, a sync's width or the EEPROM's bits.
        if (codes.find(static_cast<char>(a[0])) == std::string_view::npos || a[3] != 0) continue;
        answer = Answer{static_cast<char>(a[0]), a[1] | std::uint32_t{a[2]} << 8};
        at += answerBytes - 1;
    }
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(at));
    return answer;
}

}  // namespace boot

namespace identify {

std::vector<std::uint8_t> sync() {
    return {syncByte};
}

std::optional<boot::Answer> takeAnswer(std::vector<std::uint8_t>& received) {
    return boot::takeAnswerOf(received, answer::all);
}

}  // namespace identify

namespace stage {
namespace {

std::uint16_t answerCheck(const std::uint8_t* six) {
    return static_cast<std::uint16_t>(crc32(std::span<const std::uint8_t>(six, 6)));
}

bool isAnswerCode(std::uint8_t code) {
    return answer::all.find(static_cast<char>(code)) != std::string_view::npos;
}

}  // namespace

std::uint32_t crcAfter(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

std::uint32_t crcAfter(std::uint32_t crc, std::span<const std::uint32_t> longs) {
    for (const std::uint32_t value : longs) {
        const std::array<std::uint8_t, 4> bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                                static_cast<std::uint8_t>(value >> 16),
                                                static_cast<std::uint8_t>(value >> 24)};
        crc = crcAfter(crc, bytes);
    }
    return crc;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    return ~crcAfter(crcStart, bytes);
}

int chipsOwnBaud(std::int64_t chipHz) {
    return std::min(fastestBaud, adapter::fastestUpTo(static_cast<double>(chipHz) * 4 / minQuarterClocksPerBit));
}

int fastBaud(std::int64_t chipHz) {
    const double hz = static_cast<double>(chipHz);
    int best = 0;
    for (const int rate : adapter::around(hz / fastClocksPerBit))
        if (std::abs(hz / rate / fastClocksPerBit - 1) <= fastTolerancePerMille / 1000.0 &&
            (best == 0 || std::abs(hz / rate - fastClocksPerBit) < std::abs(hz / best - fastClocksPerBit)))
            best = rate;
    return std::min(fastestBaud, best);
}

std::vector<std::uint8_t> frame(std::span<const std::uint32_t> data, std::uint32_t trailer, std::uint32_t crcBefore) {
    std::vector<std::uint8_t> out;
    out.reserve(4 * data.size() + 10);
    out.push_back(syncByte);
    out.push_back(static_cast<std::uint8_t>(data.size()));
    for (const std::uint32_t value : data) putLong(out, value);
    putLong(out, trailer);
    putLong(out, ~crcAfter(data.empty() ? crcStart : crcBefore, std::span<const std::uint8_t>(out).subspan(2)));
    return out;
}

std::vector<std::uint8_t> helloFrame() {
    // Every byte after the sync has low pulses of one bit only, so that a stage that starts listening
    // in the middle of a hello takes no pulse of it for a sync but the next hello's own.
    auto out = frame({}, helloTrailer);
    out[1] = helloLength;
    return out;
}
std::uint32_t rateTrailer(std::uint32_t floorClocks) {
    return 'R' | floorClocks << 8;
}
std::uint32_t clockTrailer(std::uint8_t mode, std::uint32_t floorClocks) {
    return 'C' | std::uint32_t{mode} << 8 | floorClocks << 16;
}
std::uint32_t beginTrailer(std::uint32_t longs, std::uint8_t flags) {
    return 'B' | static_cast<std::uint32_t>(flags) << 8 | longs << 16;
}
std::uint32_t dataTrailer(std::uint32_t packet, std::uint32_t longs) {
    return 'D' | packet << 8 | longs << 16;
}
std::uint32_t queryTrailer() {
    return 'Q';
}
std::uint32_t stopTrailer() {
    return 'X';
}
std::uint32_t goTrailer(std::uint32_t delay) {
    return 'G' | delay << 8;
}

std::array<std::uint8_t, answerBytes> encode(const Answer& answer) {
    std::array<std::uint8_t, answerBytes> out{static_cast<std::uint8_t>(answer.code), answer.packet};
    for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<std::uint8_t>(answer.value >> (8 * i));
    const std::uint16_t check = answerCheck(out.data());
    out[6] = static_cast<std::uint8_t>(check);
    out[7] = static_cast<std::uint8_t>(check >> 8);
    return out;
}

std::vector<Answer> takeAnswers(std::vector<std::uint8_t>& received) {
    std::vector<Answer> answers;
    std::size_t at = 0;
    while (received.size() - at >= answerBytes) {
        const std::uint8_t* a = received.data() + at;
        if (isAnswerCode(a[0]) && (a[6] | a[7] << 8) == answerCheck(a)) {
            const std::uint32_t value = a[2] | a[3] << 8 | a[4] << 16 | std::uint32_t{a[5]} << 24;
            answers.push_back(Answer{static_cast<char>(a[0]), a[1], value});
            at += answerBytes;
        } else {
            ++at;
        }
    }
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(at));
    return answers;
}

}  // namespace stage

namespace adapter {
namespace {

int ofEighths(std::int64_t eighths) {
    return static_cast<int>((eighthsClockHz + eighths / 2) / eighths);
}

}  // namespace

int fastestUpTo(double most) {
    for (const int top : topRates)
        if (top <= most) return top;
    if (most < 1) return 0;
    const auto eighths = std::max<std::int64_t>(
        leastEighths, static_cast<std::int64_t>(std::ceil(static_cast<double>(eighthsClockHz) / most)));
    return ofEighths(eighths);
}

std::vector<int> around(double rate) {
    std::vector<int> near;
    if (rate <= 0) return near;
    const double eighths = static_cast<double>(eighthsClockHz) / rate;
    if (eighths >= leastEighths) {
        near.push_back(ofEighths(static_cast<std::int64_t>(std::floor(eighths))));
        near.push_back(ofEighths(static_cast<std::int64_t>(std::floor(eighths)) + 1));
    } else {
        near.push_back(ofEighths(leastEighths));
    }
    for (const int top : topRates) near.push_back(top);
    return near;
}

double made(int asked) {
    if (asked <= 0) return 0;
    double nearest = 0;
    const auto consider = [&](double rate) {
        if (std::abs(rate - asked) < std::abs(nearest - asked)) nearest = rate;
    };
    for (const int top : topRates) consider(top);
    const auto eighths =
        std::max<std::int64_t>(leastEighths, std::llround(static_cast<double>(eighthsClockHz) / asked));
    consider(static_cast<double>(eighthsClockHz) / static_cast<double>(eighths));
    return nearest;
}

}  // namespace adapter

}  // namespace kestrup
