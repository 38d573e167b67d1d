#include "stage_model.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "image/image.h"
#include "running_program.h"
#include "stage/firmware/firmware.h"
#include "wire/wire.h"

namespace kestrup::sim {
namespace {

namespace answer = stage::answer;
namespace message = stage::message;
using stage::Refusal;

// From the pilot's jump to the bootstrap until it looks for a sync: its receiver generated.
constexpr double bootStartClocks = 4000;
// The bootstrap's sums over the stage it took, a hub read a long.
constexpr double bootSumClocksPerLong = 32;
constexpr std::size_t bootAnswerBits = 4 * 13;
// From the bootstrap's 'K' until the identify program takes a sync: the interpreter, the program's
// cog, and its EEPROM probe. On the chip's logic at 9.5 MHz with an EEPROM: 44,000 clocks.
constexpr double identifyListensClocks = 45'000;
constexpr std::size_t eepromPages = ramBytes / stage::eepromPageBytes;
// After the last packet's answer: the zero-fill above the image, a hub write a long; the stack
// markers, the sum and pbase, and the verdict's own CRC (1,064 clocks on the chip's logic to an 'S');
// for 'V' the proof, the image's CRC carried over the zeros below the markers and above them by
// multiplications modulo the polynomial (stage.spin's zeros: one for each bit of the count but the
// first, one for each 1 in it, and one more), 32 steps of 20 clocks each.
constexpr double fillClocksPerLong = 16;
constexpr double verdictClocks = 1'000;
constexpr double multiplyClocks = 680;

double proofClocks(std::uint32_t zerosBelow, std::uint32_t zerosAbove) {
    double multiplies = 0;
    for (const std::uint32_t zeros : {zerosBelow, zerosAbove})
        multiplies += std::popcount(zeros) + std::max<int>(static_cast<int>(std::bit_width(zeros)), 1);
    return multiplies * multiplyClocks;
}
// The talker's answer, as the chip's logic sends it: its first start bit this long after the
// sample of bit 7 of the message's last byte (1,081 to 1,193 clocks there, by the message: the
// check's last long, then the answer's own CRC), each byte with four stop bits at 15 clocks a bit
// or more, and at 12 clocks a bit 9 x 12 + 32 clocks and four bit times from one start bit to the
// next (188 clocks).
constexpr double talkerLatencyClocks = 1080;
// From a message's last sample until the talker has ordered the receiver for the next: at the least
// the CRC of its trailer and the order itself. A sync that starts sooner goes unseen, as on the
// chip, where a message written back to back with the one before is lost.
constexpr double receiverOrderedClocks = 250;
constexpr std::uint32_t slowAnswerBits = 13;
constexpr std::uint32_t fastAnswerClocks = 9 * 12 + 32;
constexpr std::uint32_t fastestSlowBit = 14;
// The host reads an answer sent at a rate this far from its own as other bytes.
constexpr double rateTolerance = 0.02;
// A double's rounding must not move a time across a bit's edge: a thousandth of a bit, far above
// the rounding of microseconds counted since the machine booted.
constexpr double edge = 1e-3;

std::uint32_t longAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

bool sameBytes(std::span<const std::uint32_t> longs, std::span<const std::uint8_t> bytes) {
    if (longs.size() * 4 != bytes.size()) return false;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (static_cast<std::uint8_t>(longs[i / 4] >> (8 * (i % 4))) != bytes[i]) return false;
    return true;
}

}  // namespace

bool isPilot(std::span<const std::uint32_t> longs) {
    if (sameBytes(longs, firmware::pilot())) return true;
    // The pilot as the host gives it a crystal's oscillator and PLL bits to start.
    const auto pilot = longsOf(firmware::pilot());
    const auto marker = std::find(pilot.begin(), pilot.end(), pilot::clockModeMarker) - pilot.begin();
    if (std::cmp_not_equal(longs.size(), pilot.size()) || std::cmp_equal(marker, pilot.size())) return false;
    const auto started = pilot::startingCrystal(pilot, static_cast<std::uint8_t>(longs[marker]));
    return std::equal(longs.begin(), longs.end(), started.begin());
}

bool isIdentifier(std::span<const std::uint32_t> longs) {
    return sameBytes(longs, firmware::identifier());
}

std::optional<StageBuild> stageBuildOf(std::span<const std::uint32_t> longs) {
    if (sameBytes(longs, firmware::ramStage())) return StageBuild::ram;
    if (sameBytes(longs, firmware::eepromStage())) return StageBuild::eeprom;
    return std::nullopt;
}

const char* stageBuildName(StageBuild build) {
    return build == StageBuild::ram ? "ram" : "eeprom";
}

StageModel::StageModel(std::optional<StageBuild> build, Micros listensAt, const ChipTiming& timing,
                       const ChipFaults& faults, Ram& eeprom, std::uint32_t firstFloor, BoardParts parts)
    : build_(build.value_or(StageBuild::ram)),
      timing_(timing),
      faults_(faults),
      parts_(parts),
      eeprom_(eeprom),
      phase_(build ? Phase::idle : Phase::pilot),
      position_(static_cast<double>(listensAt)),
      floor_(build ? firstFloor : stage::minSyncClocks),
      clockHz_(static_cast<double>(timing.clockHz)) {}

double StageModel::clocks(double micros) const {
    return micros * clockHz_ / 1e6;
}

Micros StageModel::afterClocks(Micros from, double count) const {
    return from + std::llround(count * 1e6 / clockHz_);
}

void StageModel::receive(std::uint8_t byte, Micros at, int baud, SessionRecord& session) {
    const double bit = 1e6 / baud;
    // Frames follow one another on a line: a host's burst stamped with one time is laid end to end.
    const double start = std::max(static_cast<double>(at) - bitsPerFrame * bit, lineEnd_);
    line_.push_back(Frame{start, bit, byte, baud});
    lineEnd_ = start + bitsPerFrame * bit;
    lastBaud_ = baud;
    advance(lineEnd_, session);
}

bool StageModel::lowAt(double t) const {
    for (const Frame& f : line_) {
        if (t + edge < f.start) break;
        const auto i = static_cast<int>(std::floor((t - f.start) / f.bit + edge));
        if (i >= bitsPerFrame) continue;
        return i == 0 || (i <= 8 && !((f.byte >> (i - 1)) & 1));
    }
    return false;
}

std::optional<double> StageModel::nextLevel(double from, bool low, double known) const {
    double t = from;
    while (t <= known + edge) {
        if (lowAt(t) == low) return t;
        // The next edge: a bit's end inside a frame, or the next frame's start.
        std::optional<double> next;
        for (const Frame& f : line_) {
            const double end = f.start + bitsPerFrame * f.bit;
            if (t + edge < f.start) {
                next = f.start;
                break;
            }
            if (t + edge < end) {
                // Times are microseconds of the host's monotonic clock, whose doubles round the
                // bit's own arithmetic: the next edge is always after t, or the scan would stop.
                const double bitIndex = std::floor((t - f.start) / f.bit + edge);
                next = f.start + (bitIndex + 1) * f.bit;
                if (*next <= t) next = f.start + (bitIndex + 2) * f.bit;
                break;
            }
        }
        if (!next) return low ? std::nullopt : std::optional<double>(t);  // idle line: high
        t = *next;
    }
    return std::nullopt;
}

bool StageModel::huntSync(SessionRecord& session) {
    const double known = lineEnd_;
    for (;;) {
        const auto high = nextLevel(position_, false, known);
        const auto fall = high ? nextLevel(*high, true, known) : std::nullopt;
        const auto rise = fall ? nextLevel(*fall, false, known) : std::nullopt;
        if (!rise) return false;
        position_ = *rise;
        forgetRead();
        const auto width = static_cast<std::uint32_t>(std::llround(clocks(*rise - *fall)));
        const bool fast = phase_ != Phase::boot && build_ == StageBuild::ram && width >= stage::fastSyncLeast &&
                          width <= stage::fastSyncMost;
        if ((width < stage::minSyncClocks && !fast) || width < floor_) continue;
        width_ = width;
        bitMicros_ = (*rise - *fall) / stage::syncBits;
        messageStart_ = *fall;
        syncBaud_ = lastBaud_;
        for (const Frame& f : line_)
            if (f.start <= *fall + edge) syncBaud_ = f.baud;
        inMessage_ = true;
        message_.clear();
        if (phase_ == Phase::packets && !session.loadStart) session.loadStart = std::llround(*rise);
        return true;
    }
}

bool StageModel::huntPilotSync() {
    const double known = lineEnd_;
    for (;;) {
        const auto fall = nextLevel(position_, true, known);
        const auto rise = fall ? nextLevel(*fall, false, known) : std::nullopt;
        if (!rise) return false;
        // A frame whose start bit the pilot saw from its edge goes back whole.
        for (const Frame& f : line_) {
            if (std::abs(f.start - *fall) > edge * f.bit) continue;
            const double end = f.start + bitsPerFrame * f.bit;
            answers_.push_back(Answer{std::max<Micros>(std::llround(end), lastAnswerAt_), 0, 0, f.byte, f.baud, f.baud,
                                      0, false, true});
            lastAnswerAt_ = answers_.back().at;
        }
        position_ = *rise;
        forgetRead();
        if (clocks(*rise - *fall) < pilot::syncLeast) continue;
        bitMicros_ = (*rise - *fall) / pilot::syncBits;
        syncBaud_ = lastBaud_;
        inMessage_ = true;
        message_.clear();
        return true;
    }
}

void StageModel::pilotByte(double at, SessionRecord& session) {
    const std::size_t longs = firmware::bootstrap().size() / 4 + 1;
    if (message_.size() < 4 * longs) return;
    inMessage_ = false;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < longs; ++i) sum = std::rotl(sum, 1) + longAt(message_, 4 * i);
    // A sum other than zero has the pilot echo again.
    session.stage->pilotLoads += sum == 0 ? boot::answer::loaded : boot::answer::sumWrong;
    if (sum != 0) return;
    const auto bootstrap = firmware::bootstrap();
    if (!std::equal(bootstrap.begin(), bootstrap.end(), message_.begin())) {
        // Whatever it took runs, and answers nothing this model knows.
        phase_ = Phase::going;
        startAt_ = std::llround(at);
        startState_ = ChipState::running;
        startWhy_ = "the pilot ran longs other than the bootstrap";
        return;
    }
    phase_ = Phase::boot;
    floor_ = stage::minSyncClocks;
    position_ = std::max(position_, static_cast<double>(afterClocks(std::llround(at), bootStartClocks)));
}

void StageModel::forgetRead() {
    while (!line_.empty() && line_.front().start + bitsPerFrame * line_.front().bit <= position_) line_.pop_front();
}

void StageModel::advance(double known, SessionRecord& session) {
    if (clockStopped_) return;
    for (;;) {
        forgetRead();
        if (phase_ == Phase::identify) {
            if (!identifySync(session)) return;
            continue;
        }
        if (!inMessage_ && !(phase_ == Phase::pilot ? huntPilotSync() : huntSync(session))) return;
        if (secondSync_) {
            const auto fall = nextLevel(position_, true, known);
            const auto rise = fall ? nextLevel(*fall, false, known) : std::nullopt;
            if (!rise) return;
            position_ = *rise;
            secondSync_ = false;
        }
        // A byte: the start bit's edge, eight samples a bit time apart from one and a half, then the
        // line high again before the next start bit is looked for.
        if (!byteStart_) {
            byteStart_ = nextLevel(position_, true, known);
            if (!byteStart_) return;
        }
        const double last = *byteStart_ + 8.5 * bitMicros_;
        if (last > known) return;
        const auto high = nextLevel(last, false, known);
        if (!high) return;
        std::uint8_t byte = 0;
        for (int k = 0; k < 8; ++k)
            if (!lowAt(*byteStart_ + (1.5 + k) * bitMicros_)) byte |= static_cast<std::uint8_t>(1 << k);
        message_.push_back(byte);
        const double frameEnd = *byteStart_ + bitsPerFrame * bitMicros_;
        byteStart_.reset();
        position_ = *high;
        if (phase_ == Phase::pilot)
            pilotByte(frameEnd, session);
        else if (phase_ == Phase::boot)
            bootByte(frameEnd, session);
        else if (message_.size() == 1 + 4 * (dataLongsTaken(message_[0]) + 2))
            messageDone(last, session);
    }
}

std::size_t StageModel::dataLongsTaken(std::uint8_t lengthByte) const {
    if (phase_ != Phase::packets) return 0;
    // Data and trailer go to hub RAM where the packet expected is stored, below the mailbox; the
    // check goes into it.
    const auto room = static_cast<std::uint32_t>((stage::mailbox - packet_ * stage::packetLongs * 4) / 4 - 1);
    return std::min<std::uint32_t>(lengthByte, room);
}

std::uint32_t StageModel::expectedLongs() const {
    return std::min<std::uint32_t>(stage::packetLongs, longs_ - packet_ * stage::packetLongs);
}

std::uint8_t StageModel::expectedPacket() const {
    return phase_ == Phase::packets ? static_cast<std::uint8_t>(packet_) : 0;
}

double StageModel::answerMicros() const {
    // The talker sends at its own bit time, the sync's rounded to whole clocks.
    const std::uint32_t bit = (width_ + stage::syncBits / 2) / stage::syncBits;
    const bool fast = build_ == StageBuild::ram && bit < fastestSlowBit;
    const double byteClocks = fast ? fastAnswerClocks + 4.0 * bit : slowAnswerBits * bit;
    // Seven bytes from start bit to start bit, the last one's start, data and stop bit.
    return (static_cast<double>(stage::answerBytes - 1) * byteClocks + 10.0 * bit) * 1e6 / clockHz_;
}

void StageModel::talk(char code, std::uint32_t value, double start, std::uint8_t packet, std::size_t pages) {
    start = std::max(start, static_cast<double>(lastAnswerAt_));
    answer(code, value, std::llround(start + answerMicros()), packet, pages);
}

void StageModel::messageDone(double lastSample, SessionRecord& session) {
    inMessage_ = false;
    position_ = std::max(position_, lastSample + receiverOrderedClocks * 1e6 / clockHz_);
    const std::uint32_t bitClocks = (width_ + stage::syncBits / 2) / stage::syncBits;
    const std::uint32_t floorAfter = 2 * bitClocks + bitClocks / 2;
    session.stage->baud = syncBaud_;
    const std::size_t n = message_.size();
    if (phase_ == Phase::packets && n > 9 && faults_.damagedPacket && std::cmp_equal(*faults_.damagedPacket, packet_) &&
        !damaged_) {
        damaged_ = true;
        message_[1] ^= 0x01;
    }
    const auto body = std::span(message_).subspan(1, n - 5);
    // A message with data checks on from the image's CRC so far, as the stage's one CRC a long does.
    const bool good = longAt(message_, n - 4) == ~stage::crcAfter(n > 9 ? imageCrc_ : stage::crcStart, body);
    const std::uint32_t trailer = longAt(message_, n - 8);
    const auto code = static_cast<char>(trailer & 0xFF);
    const double answering = lastSample + talkerLatencyClocks * 1e6 / clockHz_;
    if (phase_ == Phase::going) return goingMessage(answering);
    if (!good) {
        // The stage's receiver stores the longs before the check: a message of another count than
        // the packet's or a short message's may have more of it on the line.
        const std::size_t stored = (n - 1) / 4 - 1;
        const bool counted = phase_ != Phase::packets || stored == 1 || stored == expectedLongs() + 1;
        const Refusal why = counted ? Refusal::check : Refusal::length;
        return talk(answer::notTaken, static_cast<std::uint32_t>(why), answering, expectedPacket());
    }
    // Only a message that passed its check sets the next sync's floor: a false sync's would not.
    floor_ = floorAfter;
    switch (phase_) {
        case Phase::idle:
            return idleMessage(code, trailer, answering, session);
        case Phase::packets:
            return packetMessage(code, trailer, (n - 9) / 4, answering, session);
        case Phase::verdict:
            return heldMessage(code, trailer, answering);
        case Phase::pilot:  // their messages are read a byte at a time
        case Phase::boot:
        case Phase::going:
        case Phase::identify:
            break;
    }
}

void StageModel::goingMessage(double at) {
    // Any message begun before the deadline is answered as go was, and the start waits for that
    // answer; once the image has started the stage is gone.
    if (!startAt_ || messageStart_ >= deadline_) return;
    talk(answer::going, delay_, at);
    startAt_ = std::max(*startAt_, lastAnswerAt_);
}

void StageModel::bootByte(double at, SessionRecord& session) {
    const Micros answered = std::llround(at + static_cast<double>(bootAnswerBits) * bitMicros_);
    if (message_.size() == 4) {
        const std::uint32_t first = longAt(message_, 0);
        if (first == boot::helloLong) {
            inMessage_ = false;
            answer(boot::answer::hello, width_, answered);
        } else if (first == 0 || first > boot::maxLongs) {
            inMessage_ = false;  // no count: a sync again
        } else {
            bootCount_ = first;
            secondSync_ = true;
        }
        return;
    }
    if (message_.size() == 4 * (std::size_t{bootCount_} + 3)) {
        inMessage_ = false;
        bootLoaded(std::llround(at), session);
    }
}

void StageModel::bootLoaded(Micros at, SessionRecord& session) {
    std::uint32_t sum = 0;
    std::uint32_t sumOfSums = 0;
    std::vector<std::uint32_t> longs;
    for (std::uint32_t i = 0; i < bootCount_; ++i) {
        longs.push_back(longAt(message_, 4 * (std::size_t{i} + 1)));
        sum += longs.back();
        sumOfSums += sum;
    }
    at = afterClocks(at, bootSumClocksPerLong * bootCount_);
    const std::size_t sums = 4 * (std::size_t{bootCount_} + 1);
    const bool good = longAt(message_, sums) == sum && longAt(message_, sums + 4) == sumOfSums;
    const Micros answered = std::llround(static_cast<double>(at) + static_cast<double>(bootAnswerBits) * bitMicros_);
    answer(good ? boot::answer::loaded : boot::answer::sumWrong, bootCount_, answered);
    if (!good) return;
    // The stage listens once the interpreter has started it; a build this model does not know runs
    // whatever it is.
    if (isIdentifier(longs)) {
        phase_ = Phase::identify;
        identifyHz_ = clockHz_;
        position_ = std::max(position_, static_cast<double>(afterClocks(answered, identifyListensClocks)));
        return;
    }
    const auto build = stageBuildOf(longs);
    session.stage->build = build;
    if (!build) {
        startAt_ = answered;
        startState_ = ChipState::running;
        return;
    }
    build_ = *build;
    phase_ = Phase::idle;
    // The bootstrap leaves its bit time as the stage's first floor.
    floor_ = (width_ + stage::syncBits / 2) / stage::syncBits;
    session.stage->bootFloor = floor_;
    session.state = ChipState::stage;
    position_ = std::max(position_, static_cast<double>(afterClocks(answered, boot::stageListensClocks)));
}

std::uint32_t StageModel::eepromAnswer() const {
    if (!parts_.eeprom) return 0;
    // A 24xx256: the address's bit 15 is not wired, so 32 KB reads as 0.
    std::uint32_t answer = identify::eepromAnswered;
    for (int k = 0; k < identify::eepromProbes; ++k) {
        const std::size_t at = (std::size_t{identify::eepromFirstProbe} << k) % ramBytes;
        if (std::equal(eeprom_.begin(), eeprom_.begin() + identify::eepromProbeBytes,
                       eeprom_.begin() + static_cast<std::ptrdiff_t>(at)))
            answer |= identify::eepromSameFirst << k;
    }
    return answer;
}

bool StageModel::identifySync(SessionRecord& session) {
    if (identifyDone_) {
        position_ = lineEnd_;
        forgetRead();
        return false;
    }
    const double known = lineEnd_;
    // A pulse already under way when it looks is not whole: the line high first.
    const auto high = nextLevel(position_, false, known);
    const auto fall = high ? nextLevel(*high, true, known) : std::nullopt;
    const auto rise = fall ? nextLevel(*fall, false, known) : std::nullopt;
    if (!rise) return false;
    position_ = *rise;
    forgetRead();
    const double micros = *rise - *fall;
    const auto width = static_cast<std::uint32_t>(std::llround(micros * identifyHz_ / 1e6));
    if (width < identify::syncLeast) return true;
    width_ = width;
    // It answers at the sync's bit time, rounded to its own whole clocks.
    bitMicros_ = std::round(micros * identifyHz_ / 1e6 / identify::syncBits) * 1e6 / identifyHz_;
    syncBaud_ = lastBaud_;
    const double answerMicros = static_cast<double>(bootAnswerBits) * bitMicros_;
    if (onCrystal_) {
        const Micros answered = std::llround(*rise + answerMicros);
        answer(identify::answer::crystal, width, answered);
        identifyDone_ = true;
        startAt_ = answered;
        startState_ = ChipState::shutdown;
        startWhy_ = "the identify program shut the chip down";
        return true;
    }
    answer(identify::answer::rcClock, width, std::llround(*rise + answerMicros));
    const Micros told = std::llround(*rise + 2 * answerMicros);
    answer(identify::answer::eeprom, eepromAnswer(), told);
    // The crystal starts and settles by the RC clock; the line meanwhile is nobody's.
    const Micros switched = afterClocks(told, static_cast<double>(identify::settleClocks));
    position_ = std::max(position_, static_cast<double>(switched));
    if (parts_.crystalHz == 0) {
        // The chip's clock stops: it stays so until a reset.
        identifyDone_ = true;
        session.why = "the identify program switched to a crystal that does not run: the clock stopped";
        return true;
    }
    onCrystal_ = true;
    identifyHz_ = static_cast<double>(parts_.crystalHz);
    return true;
}

void StageModel::idleMessage(char code, std::uint32_t trailer, double at, SessionRecord& session) {
    switch (code) {
        case message::hello:
            return talk(answer::hello, width_, at);
        case message::rate:
            floor_ = trailer >> 8;
            return talk(answer::rate, floor_, at);
        case message::clock:
            if (build_ == StageBuild::ram) return clockMessage(trailer, at, session);
            break;
        case message::begin:
            return beginMessage(trailer, at, session);
        case message::query:
            return talk(answer::idle, 0, at);
        default:
            break;
    }
    talk(answer::notTaken, static_cast<std::uint32_t>(Refusal::notNow), at);
}

void StageModel::clockMessage(std::uint32_t trailer, double at, SessionRecord& session) {
    const auto mode = static_cast<std::uint8_t>(trailer >> 8);
    // Answered on the RC clock; the pilot started the oscillator long before. The talker orders the
    // receiver for the next message only once it has answered and switched.
    talk(answer::clock, trailer >> 8, at);
    position_ = std::max(position_, static_cast<double>(lastAnswerAt_));
    floor_ = trailer >> 16;
    constexpr std::uint8_t firstPllTap = 3;
    const int tap = mode & 7;
    if (tap < firstPllTap) return;
    if (parts_.crystalHz == 0) {
        clockStopped_ = true;
        session.why = "the second stage switched to a crystal that does not run: the clock stopped";
        return;
    }
    clockHz_ = static_cast<double>(parts_.crystalHz << (tap - firstPllTap));
}

void StageModel::beginMessage(std::uint32_t trailer, double at, SessionRecord& session) {
    const std::uint32_t longs = trailer >> 16;
    const auto flags = static_cast<std::uint8_t>(trailer >> 8);
    // The RAM build has no EEPROM code.
    if (longs < stage::minLongs || longs > stage::maxLongs ||
        (build_ == StageBuild::ram && (flags & stage::beginProgramEeprom)))
        return talk(answer::beginRefused, longs, at);
    longs_ = longs;
    flags_ = flags;
    packet_ = 0;
    imageCrc_ = stage::crcStart;
    phase_ = Phase::packets;
    session.command = !(flags & stage::beginProgramEeprom) ? 1 : (flags & stage::beginRunAfterEeprom) ? 3 : 2;
    session.longCount = longs;
    session.longs.clear();
    session.loadStart.reset();
    session.loadEnd.reset();
    talk(answer::begun, longs, at);
}

void StageModel::packetMessage(char code, std::uint32_t trailer, std::size_t longs, double at, SessionRecord& session) {
    const auto expected = static_cast<std::uint8_t>(packet_);
    // Its length first: a packet carries its data, no other message any. Then a packet's trailer.
    if (longs != (code == message::data ? expectedLongs() : 0))
        return talk(answer::notTaken, static_cast<std::uint32_t>(Refusal::length), at, expected);
    switch (code) {
        case message::rate:
            floor_ = trailer >> 8;
            return talk(answer::rate, floor_, at, expected);
        case message::begin:
            return beginMessage(trailer, at, session);
        case message::query:
            if (packet_ == 0) return talk(answer::begun, longs_, at);
            return talk(answer::accepted, packet_, at, static_cast<std::uint8_t>(packet_ - 1));
        case message::data:
            if (trailer == stage::dataTrailer(packet_, longs_)) return takePacket(longs, at, session);
            return talk(answer::notTaken, static_cast<std::uint32_t>(Refusal::otherPacket), at, expected);
        default:
            return talk(answer::notTaken, static_cast<std::uint32_t>(Refusal::notNow), at, expected);
    }
}

void StageModel::takePacket(std::size_t longs, double at, SessionRecord& session) {
    const auto taken = static_cast<std::uint8_t>(packet_);
    const std::size_t base = std::size_t{packet_} * stage::packetLongs * 4;
    std::copy(message_.begin() + 1, message_.begin() + 1 + static_cast<std::ptrdiff_t>(4 * longs),
              ram_.begin() + static_cast<std::ptrdiff_t>(base));
    imageCrc_ = stage::crcAfter(imageCrc_, std::span<const std::uint8_t>(message_).subspan(1, 4 * longs));
    ++packet_;
    const std::uint32_t have = std::min<std::uint32_t>(longs_, packet_ * stage::packetLongs);
    session.longs.resize(have);
    for (std::uint32_t i = 0; i < have; ++i) session.longs[i] = longAt(ram_, 4 * std::size_t{i});
    session.loadEnd = std::llround(at);
    talk(answer::accepted, packet_, at, taken);
    if (have == longs_) return finish(lastAnswerAt_, session);
    // The talker's order for the next packet tells the EEPROM's cog that everything below it came.
    eepromProven(4 * std::size_t{packet_} * stage::packetLongs, lastAnswerAt_);
}

void StageModel::eepromProven(std::size_t limit, Micros at) {
    if (!(flags_ & stage::beginProgramEeprom)) return;
    // The stack markers below dbase come with the rest of the picture.
    const std::size_t dbase = ram_[10] | ram_[11] << 8;
    if (dbase >= 8) limit = std::min(limit, dbase - 8);
    // Pages 1 to 511, in order; page 0, the header's, waits for the whole image.
    while (eepromDone_.size() + 1 < eepromPages && (eepromDone_.size() + 2) * stage::eepromPageBytes <= limit) {
        eepromFree_ = std::max(eepromFree_, at) + eepromPageMicros();
        eepromDone_.push_back(eepromFree_);
    }
}

Micros StageModel::eepromPageMicros() const {
    // Written, then read back.
    return (timing_.programTime + timing_.verifyTime) / static_cast<Micros>(eepromPages);
}

void StageModel::heldMessage(char code, std::uint32_t trailer, double at) {
    switch (code) {
        case message::query:
            return talk(verdictCode_, verdictValue_, at);
        case message::go:
        case message::stop:
            break;
        default:
            return talk(answer::notTaken, static_cast<std::uint32_t>(Refusal::notNow), at);
    }
    // Stop is go to a chip shut down, whatever the verdict: the host's proof differs from the stage's.
    const bool runs = !(flags_ & stage::beginProgramEeprom) || (flags_ & stage::beginRunAfterEeprom);
    const bool starts = code == message::go && verdictCode_ == answer::proven && runs;
    startState_ = starts ? ChipState::running : ChipState::shutdown;
    if (code == message::stop)
        startWhy_ = "stopped by the host";
    else if (verdictCode_ == answer::proven && !runs)
        startWhy_ = "command 2 done";
    delay_ = trailer >> 8;
    phase_ = Phase::going;
    deadline_ = at + static_cast<double>(delay_ * stage::goDelayClocks) * 1e6 / clockHz_;
    talk(answer::going, delay_, at);
    startAt_ = std::max<Micros>(lastAnswerAt_, std::llround(deadline_));
}

void StageModel::finish(Micros at, SessionRecord& session) {
    phase_ = Phase::verdict;
    picture_ = ramPicture(session.longs);
    unsigned sum = 0;
    for (const std::uint8_t b : picture_) sum += b;
    session.ramSum = static_cast<std::uint8_t>(sum);
    at = afterClocks(at, static_cast<double>(ramLongs - longs_) * fillClocksPerLong + verdictClocks);
    if (*session.ramSum != 0) return verdict(answer::sumWrong, *session.ramSum, at);
    if ((flags_ & stage::beginProgramEeprom) && !programEepromPages(at)) return;
    // The stage reads pbase from RAM as it now is, the stack markers written.
    const std::uint32_t pbase = picture_[6] | picture_[7] << 8;
    const bool runs = !(flags_ & stage::beginProgramEeprom) || (flags_ & stage::beginRunAfterEeprom);
    if (runs && pbase != stage::startPbase) return verdict(answer::notStartable, pbase, at);
    const std::uint32_t dbase = picture_[10] | picture_[11] << 8;
    const std::uint32_t below = std::max<std::uint32_t>(dbase - 8, 4 * longs_) - 4 * longs_;
    const std::uint32_t above = stage::ramBytes - std::min(dbase, stage::ramBytes);
    verdict(answer::proven, stage::crc32(picture_), afterClocks(at, proofClocks(below, above)),
            (flags_ & stage::beginProgramEeprom) ? eepromPages : 0);
}

bool StageModel::programEepromPages(Micros& at) {
    // The cog takes the talker's order once the page under way is done: it has all the pages then.
    std::size_t done = 0;
    while (done < eepromDone_.size() && eepromDone_[done] <= at) ++done;
    Micros t = at;
    if (done < eepromDone_.size()) t = eepromDone_[done++];
    const bool fails = faults_.programFails || faults_.verifyFails;
    const char failure = faults_.programFails ? answer::eepromNoAck : answer::eepromWrong;
    // Its first page, page 1, fails: while the image came, the failure waited for this order.
    if (fails && !eepromDone_.empty()) {
        verdict(failure, 1, t);
        return false;
    }
    talk(answer::eepromProgress, static_cast<std::uint32_t>(done), static_cast<double>(t), 0, done);
    for (std::size_t page = done + 1; page <= eepromPages; ++page) {
        t += eepromPageMicros();
        if (fails) {
            verdict(failure, 1, t);
            return false;
        }
        if (page < eepromPages && page % stage::pagesPerProgress == 0)
            talk(answer::eepromProgress, static_cast<std::uint32_t>(page), static_cast<double>(t), 0, page);
    }
    talk(answer::eepromWritten, static_cast<std::uint32_t>(eepromPages), static_cast<double>(t), 0, eepromPages);
    at = t;
    return true;
}

void StageModel::verdict(char code, std::uint32_t value, Micros at, std::size_t pages) {
    verdictCode_ = code;
    verdictValue_ = value;
    switch (code) {
        case answer::sumWrong:
            startWhy_ = "checksum rejected";
            break;
        case answer::eepromNoAck:
            startWhy_ = "EEPROM not programmed";
            break;
        case answer::eepromWrong:
            startWhy_ = "EEPROM verify failed";
            break;
        case answer::notStartable:
            startWhy_ = "pbase is not 0x0010";
            break;
        default:
            break;
    }
    talk(code, value, static_cast<double>(at), 0, pages);
}

void StageModel::answer(char code, std::uint32_t value, Micros at, std::uint8_t packet, std::size_t pages) {
    // One transmitter: answers go in the order they were made.
    at = std::max(at, lastAnswerAt_);
    lastAnswerAt_ = at;
    // The identify program answers in the bootstrap's shape, at the sync's bit time.
    const bool boot = phase_ == Phase::boot || phase_ == Phase::identify;
    const std::uint32_t bit = (width_ + stage::syncBits / 2) / stage::syncBits;
    // The talker sends at its own whole clocks a bit; the bootstrap at the sync's.
    const auto stageBaud =
        boot || bit == 0 ? static_cast<int>(std::llround(1e6 / bitMicros_)) : static_cast<int>(clockHz_ / bit);
    answers_.push_back(Answer{at, code, packet, value, stageBaud, syncBaud_, pages, boot});
}

std::vector<std::uint8_t> StageModel::due(Micros now, SessionRecord& session) {
    // Nothing sent later than two frames before now can still begin before it: the line is idle.
    if (lastBaud_ != 0) {
        const double known = static_cast<double>(now) - 2 * bitsPerFrame * 1e6 / lastBaud_;
        if (known > lineEnd_) {
            lineEnd_ = known;
            advance(known, session);
        }
    }
    std::vector<std::uint8_t> out;
    while (!answers_.empty() && answers_.front().at <= now) {
        const Answer a = answers_.front();
        answers_.pop_front();
        // Pages written by the time this answer goes are in the EEPROM, whatever follows: pages 1
        // to 511, then page 0.
        const auto upTo =
            static_cast<std::ptrdiff_t>(std::min(a.eepromPages + 1, eepromPages) * stage::eepromPageBytes);
        const auto page = static_cast<std::ptrdiff_t>(stage::eepromPageBytes);
        if (upTo > page) std::copy(picture_.begin() + page, picture_.begin() + upTo, eeprom_.begin() + page);
        if (a.eepromPages == eepromPages) std::copy(picture_.begin(), picture_.begin() + page, eeprom_.begin());
        if (a.echo) {
            out.push_back(static_cast<std::uint8_t>(a.value));
            continue;
        }
        std::vector<std::uint8_t> bytes;
        if (a.boot) {
            bytes.push_back(static_cast<std::uint8_t>(a.code));
            for (int i = 0; i < 3; ++i) bytes.push_back(static_cast<std::uint8_t>(a.value >> (8 * i)));
            session.stage->bootAnswers += a.code;
        } else {
            if (faults_.stageSilent) continue;
            const auto encoded = stage::encode({a.code, a.packet, a.value});
            bytes.assign(encoded.begin(), encoded.end());
        }
        if (std::abs(a.stageBaud - a.hostBaud) > rateTolerance * a.hostBaud)
            bytes = misread(bytes, a.stageBaud, a.hostBaud);
        out.insert(out.end(), bytes.begin(), bytes.end());
        if (!a.boot) session.stage->answers += a.code;
    }
    if (startAt_ && *startAt_ <= now && answers_.empty()) {
        startAt_.reset();
        session.state = startState_;
        session.why = startWhy_;
    }
    return out;
}

std::optional<Micros> StageModel::nextDue() const {
    if (!answers_.empty()) return answers_.front().at;
    return startAt_;
}

}  // namespace kestrup::sim
