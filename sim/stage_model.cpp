#include "stage_model.h"

#include "second_stage.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrup::sim {
namespace {

constexpr std::uint8_t syncByte = 0xF8;
// The receiver needs 15 clocks a bit: a shorter sync (start bit and three zeros) is not taken.
constexpr std::uint32_t minSyncClocks = 60;
// A sync shorter than 2.5 bit times of the last message's rate is data or filler, unless the line
// was idle this long before it.
constexpr double idleBeforeSyncClocks = 2048;
constexpr std::uint32_t widthMask = 0x3FFF;
constexpr std::uint32_t maxLongs = 0x7FF4 / 4;  // the top two longs are the cogs' mailbox
constexpr std::uint32_t packetLongs = 256;
constexpr std::size_t pageBytes = 64;
constexpr std::size_t eepromPages = ramBytes / pageBytes;
constexpr std::size_t pagesPerProgress = 64;
// The zero-fill above the image, a hub write a long.
constexpr std::int64_t fillClocksPerLong = 16;
constexpr std::uint8_t programEeprom = 1;
constexpr std::uint8_t runAfterEeprom = 2;

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

std::uint32_t longAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

// The low pulses of a frame (start bit, data least significant bit first, two stop bits), in bit
// times from its start, and where the line last rose.
struct Pulse {
    int from;
    int bits;
};
struct FramePulses {
    std::array<Pulse, 5> pulses{};
    int count = 0;
    int lastRise = 0;
};

FramePulses pulsesOf(std::uint8_t byte) {
    FramePulses frame;
    int from = -1;
    for (int i = 0; i < bitsPerFrame; ++i) {
        const bool low = i == 0 || (i <= 8 && !((byte >> (i - 1)) & 1));
        if (low && from < 0) from = i;
        if (!low && from >= 0) {
            frame.pulses[static_cast<std::size_t>(frame.count++)] = Pulse{from, i - from};
            frame.lastRise = i;
            from = -1;
        }
    }
    return frame;
}

}  // namespace

std::optional<StageBuild> stageBuildOf(std::span<const std::uint32_t> longs) {
    for (const StageBuild build : {StageBuild::ram, StageBuild::eeprom}) {
        const auto image = secondStageImage(build == StageBuild::ram ? LoadTarget::ram : LoadTarget::eepromRun);
        if (longs.size() * 4 != image.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < image.size() && same; ++i)
            same = static_cast<std::uint8_t>(longs[i / 4] >> (8 * (i % 4))) == image[i];
        if (same) return build;
    }
    return std::nullopt;
}

const char* stageBuildName(StageBuild build) { return build == StageBuild::ram ? "ram" : "eeprom"; }

StageModel::StageModel(StageBuild build, Micros listensAt, const ChipTiming& timing, const ChipFaults& faults,
                       Ram& eeprom)
    : build_(build), timing_(timing), faults_(faults), eeprom_(eeprom), readyAt_(static_cast<double>(listensAt)),
      lineHighSince_(static_cast<double>(listensAt)) {}

double StageModel::clocks(double micros) const { return micros * static_cast<double>(timing_.clockHz) / 1e6; }

std::size_t StageModel::messageBytes() const {
    // Data longs, then the trailer and the check; before begin no data.
    const std::uint32_t data = phase_ == Phase::idle ? 0 : std::min(packetLongs, longs_ - packet_ * packetLongs);
    return 4 * (data + 2);
}

void StageModel::receive(std::uint8_t byte, Micros at, int baud, SessionRecord& session) {
    const double bitMicros = 1e6 / baud;
    const double frameStart = static_cast<double>(at) - bitsPerFrame * bitMicros;
    if (inMessage_) {
        // The receiver samples at the sync's rate.
        if (baud != messageBaud_) garbled_ = true;
        message_.push_back(byte);
        if (message_.size() == messageBytes()) messageDone(at, session);
    } else if (phase_ != Phase::finishing && byte != clockByte) {
        // A clock where a sync is due is a late poll for the ROM's verdict, which on a board comes
        // while the stage is still starting: a busy machine may deliver it later, and the stage
        // would take its pulse for a sync.
        lookForSync(byte, frameStart, bitMicros, baud, at, session);
    }
    lineHighSince_ = frameStart + pulsesOf(byte).lastRise * bitMicros;
}

void StageModel::lookForSync(std::uint8_t byte, double frameStart, double bitMicros, int baud, Micros at,
                             SessionRecord& session) {
    const FramePulses frame = pulsesOf(byte);
    const double clocksPerBit = static_cast<double>(timing_.clockHz) / baud;
    double highSince = lineHighSince_;
    for (int i = 0; i < frame.count; ++i) {
        const Pulse pulse = frame.pulses[static_cast<std::size_t>(i)];
        const double fall = frameStart + pulse.from * bitMicros;
        const double idle = clocks(fall - std::max(highSince, readyAt_));
        highSince = frameStart + (pulse.from + pulse.bits) * bitMicros;
        // Until the talker's order the receiver does not watch the line.
        if (fall < readyAt_) continue;
        const auto width = static_cast<std::uint32_t>(std::llround(pulse.bits * clocksPerBit));
        if (width < minSyncClocks || (width < sameRateSync_ && idle < idleBeforeSyncClocks)) continue;
        inMessage_ = true;
        // Any other pulse taken for a sync makes the receiver sample the bytes after it askew.
        garbled_ = !(pulse.from == 0 && byte == syncByte);
        messageBaud_ = baud;
        width_ = width;
        message_.clear();
        if (phase_ == Phase::packets && !session.loadStart) session.loadStart = at;
        return;
    }
}

void StageModel::messageDone(Micros at, SessionRecord& session) {
    inMessage_ = false;
    readyAt_ = static_cast<double>(at);
    const std::uint32_t bitClocks = (width_ + 2) / 4;
    sameRateSync_ = 2 * bitClocks + bitClocks / 2;
    session.stage->baud = messageBaud_;
    if (phase_ == Phase::packets && faults_.damagedPacket && std::cmp_equal(*faults_.damagedPacket, packet_) &&
        !damaged_) {
        damaged_ = true;
        message_[0] ^= 0x01;
    }
    const std::size_t n = message_.size();
    const bool good = !garbled_ && longAt(message_, n - 4) == crc32(std::span(message_).first(n - 4));
    const std::uint32_t trailer = longAt(message_, n - 8);
    // The answer goes at the message's rate and is on the host's side once its four bytes are.
    const Micros answered = at + std::llround(4.0 * bitsPerFrame * 1e6 / messageBaud_);
    if (phase_ == Phase::idle) return idleMessage(good, trailer, answered, session);
    const bool accepted = packetMessage(good, trailer, answered, session);
    if (accepted) session.loadEnd = at;
}

void StageModel::idleMessage(bool good, std::uint32_t trailer, Micros at, SessionRecord& session) {
    if (!good) return answer('N', 0, at);
    switch (trailer & 0xFF) {
    case 'H': return answer('H', width_ & widthMask, at);
    case 'B': break;
    default: return answer('N', 0, at);
    }
    const std::uint32_t longs = trailer >> 16;
    const auto flags = static_cast<std::uint8_t>(trailer >> 8);
    // The RAM build has no EEPROM code.
    if (longs < 4 || longs > maxLongs || (build_ == StageBuild::ram && (flags & programEeprom)))
        return answer('b', longs, at);
    longs_ = longs;
    flags_ = flags;
    phase_ = Phase::packets;
    session.command = !(flags & programEeprom) ? 1 : (flags & runAfterEeprom) ? 3 : 2;
    session.longCount = longs;
    session.longs.clear();
    session.loadStart.reset();
    session.loadEnd.reset();
    answer('B', longs, at);
}

bool StageModel::packetMessage(bool good, std::uint32_t trailer, Micros at, SessionRecord& session) {
    // The receiver has stored the data and the trailer where this packet goes, whatever they were.
    const std::size_t base = std::size_t{packet_} * packetLongs * 4;
    for (std::size_t i = 0; i + 4 < message_.size() && base + i < ramBytes; ++i) ram_[base + i] = message_[i];
    const std::uint32_t expected = 'D' | packet_ << 8 | longs_ << 16;
    if (good && trailer == expected - 0x100) {
        answer('A', packet_ - 1, at);  // its answer was lost
        return false;
    }
    if (!good || trailer != expected) {
        answer('N', packet_, at);
        return false;
    }
    ++packet_;
    const std::uint32_t have = std::min(longs_, packet_ * packetLongs);
    session.longs.resize(have);
    for (std::uint32_t i = 0; i < have; ++i) session.longs[i] = longAt(ram_, 4 * std::size_t{i});
    answer('A', packet_ - 1, at);
    if (have == longs_) finish(at, session);
    return true;
}

void StageModel::finish(Micros at, SessionRecord& session) {
    phase_ = Phase::finishing;
    picture_ = ramPicture(session.longs);
    unsigned sum = 0;
    for (const std::uint8_t b : picture_) sum += b;
    session.ramSum = static_cast<std::uint8_t>(sum);
    at += static_cast<Micros>(std::int64_t{ramLongs - longs_} * fillClocksPerLong * 1'000'000 / timing_.clockHz);
    if (*session.ramSum != 0) {
        queue({at, 'S', *session.ramSum, 0, ChipState::shutdown, "checksum rejected"});
        return;
    }
    if (flags_ & programEeprom) {
        if (!programEepromPages(at)) return;
        if (!(flags_ & runAfterEeprom)) {
            queue({at, 'X', 0, 0, ChipState::shutdown, "command 2 done"});
            return;
        }
    }
    // The stage reads pbase from RAM as it now is, the stack markers written.
    const std::uint32_t pbase = picture_[6] | picture_[7] << 8;
    if (pbase != launchPbase) {
        queue({at, 'P', pbase, 0, ChipState::shutdown, "pbase is not 0x0010"});
        return;
    }
    queue({at, 'L', 0, 0, ChipState::running, ""});
}

bool StageModel::programEepromPages(Micros& at) {
    // Each page is read and compared; one that differs is written and read back.
    const Micros read = timing_.verifyTime / static_cast<Micros>(eepromPages);
    const Micros write = timing_.programTime / static_cast<Micros>(eepromPages);
    std::uint32_t written = 0;
    for (std::size_t page = 0; page < eepromPages; ++page) {
        at += read;
        const auto from = static_cast<std::ptrdiff_t>(page * pageBytes);
        const bool same = std::equal(picture_.begin() + from, picture_.begin() + from + pageBytes, eeprom_.begin() + from);
        if (!same) {
            const auto number = static_cast<std::uint32_t>(page);
            if (faults_.programFails) {
                queue({at, 'e', number, page, ChipState::shutdown, "EEPROM not programmed"});
                return false;
            }
            at += write + read;
            if (faults_.verifyFails) {
                queue({at, 'v', number, page, ChipState::shutdown, "EEPROM verify failed"});
                return false;
            }
            ++written;
        }
        if ((page + 1) % pagesPerProgress == 0)
            queue({at, 'p', static_cast<std::uint32_t>(page + 1), page + 1, std::nullopt, ""});
    }
    queue({at, 'E', written, eepromPages, std::nullopt, ""});
    return true;
}

void StageModel::answer(char code, std::uint32_t value, Micros at) { queue({at, code, value, 0, std::nullopt, ""}); }

void StageModel::queue(Answer next) {
    // One transmitter: answers go in the order they were made.
    next.at = std::max(next.at, lastAnswerAt_);
    lastAnswerAt_ = next.at;
    answers_.push_back(std::move(next));
}

std::vector<std::uint8_t> StageModel::due(Micros now, SessionRecord& session) {
    std::vector<std::uint8_t> out;
    while (!answers_.empty() && answers_.front().at <= now) {
        const Answer a = std::move(answers_.front());
        answers_.pop_front();
        // Pages written by the time this answer goes are in the EEPROM, whatever follows.
        const auto pages = static_cast<std::ptrdiff_t>(a.eepromPages * pageBytes);
        std::copy(picture_.begin(), picture_.begin() + pages, eeprom_.begin());
        if (a.then) {
            session.state = *a.then;
            session.why = a.why;
        }
        if (faults_.stageSilent) continue;
        const auto code = static_cast<std::uint8_t>(a.code);
        const auto low = static_cast<std::uint8_t>(a.value), high = static_cast<std::uint8_t>(a.value >> 8);
        out.insert(out.end(), {code, low, high, static_cast<std::uint8_t>(code ^ low ^ high ^ 0x5A)});
        session.stage->answers += a.code;
    }
    return out;
}

std::optional<Micros> StageModel::nextDue() const {
    if (answers_.empty()) return std::nullopt;
    return answers_.front().at;
}

}  // namespace kestrup::sim
