#include "chip_model.h"

#include <algorithm>
#include <array>
#include <utility>

#include "stage_model.h"

namespace kestrup::sim {
namespace {

constexpr std::uint8_t lfsrSeed = 80;  // 'P', the same seed as the host's

int lfsrStep(std::uint8_t& state) {
    const int out = state & 1;
    const int feedback = ((state >> 7) ^ (state >> 5) ^ (state >> 4) ^ (state >> 1)) & 1;
    state = static_cast<std::uint8_t>(((state << 1) & 0xFE) | feedback);
    return out;
}

std::string millis(Micros us) {
    return std::to_string(us / 1000) + " ms";
}

// A second stage that has not begun an image gets only short messages, each written at once: a
// reset after a shorter quiet is already the host's, as it falls back to the ROM (its own reset
// pulse and wait are 25 ms).
constexpr Micros stageFallbackSilence = 20'000;

}  // namespace

Ram ramPicture(std::span<const std::uint32_t> longs) {
    Ram ram{};
    const std::size_t n = longs.size() < ramLongs ? longs.size() : ramLongs;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t b = 0; b < 4; ++b) ram[4 * i + b] = static_cast<std::uint8_t>(longs[i] >> (8 * b));

    const unsigned dbase = ram[10] | (ram[11] << 8);
    for (const unsigned offset : {8u, 4u}) {
        // Long writes ignore the two low address bits.
        const unsigned address = (dbase - offset) & 0xFFFC;
        if (address >= ramBytes) continue;
        for (unsigned b = 0; b < 4; ++b) ram[address + b] = static_cast<std::uint8_t>(stackMarker >> (8 * b));
    }
    return ram;
}

std::uint8_t ramChecksum(std::span<const std::uint32_t> longs) {
    unsigned sum = 0;
    for (const std::uint8_t byte : ramPicture(longs)) sum += byte;
    return static_cast<std::uint8_t>(sum);
}

ChipModel::ChipModel(ChipConfig config) : config_(std::move(config)) {
    eeprom_.fill(0xFF);
}
ChipModel::~ChipModel() = default;
ChipModel::ChipModel(ChipModel&&) noexcept = default;
ChipModel& ChipModel::operator=(ChipModel&&) noexcept = default;

const ChipFaults& ChipModel::faults() const {
    static const ChipFaults none;
    return session_ && session_->faulty ? config_.faults : none;
}

std::vector<SessionRecord> ChipModel::takeEnded() {
    return std::exchange(ended_, {});
}

namespace {

bool waitsForHost(ChipState state) {
    return state != ChipState::running && state != ChipState::shutdown && state != ChipState::eepromBoot;
}

}  // namespace

bool ChipModel::resetBy(std::uint8_t byte, Micros at) const {
    // Every handshake opens with the calibration byte after the host's reset pulse and settling.
    return config_.timing.resetSilence != 0 && byte == clockByte && at - lastByte_ >= config_.timing.resetSilence;
}

bool ChipModel::mayResetStage(std::uint8_t byte, Micros at) const {
    if (!session_ || (session_->state != ChipState::stage && session_->state != ChipState::bootstrap) ||
        byte != clockByte)
        return false;
    Micros silence = config_.timing.resetSilence;
    if (!stage_->begun()) silence = std::min(silence, stageFallbackSilence);
    return silence != 0 && at - lastByte_ >= silence;
}

std::optional<Micros> ChipModel::deadline() const {
    const SessionRecord& s = *session_;
    const Micros limit = config_.timing.gapLimit;
    switch (s.state) {
        case ChipState::handshake:
        case ChipState::replying:
            return std::min(s.last + limit, s.start + config_.timing.listenWindow);
        case ChipState::loading:
            return s.last + limit;
        case ChipState::computing:
        case ChipState::programming:
        case ChipState::verifying:
            return std::max(readyAt_, lastClock_) + limit;
        case ChipState::acknowledging:
            return lastClock_ + limit;
        case ChipState::bootstrap:
        case ChipState::stage:
        case ChipState::running:
        case ChipState::shutdown:
        case ChipState::eepromBoot:
            break;
    }
    return std::nullopt;
}

void ChipModel::giveUp() {
    SessionRecord& s = *session_;
    const ChipState was = s.state;
    if (was == ChipState::handshake || was == ChipState::replying) s.handshake = Handshake::tooSlow;
    if ((was == ChipState::handshake || was == ChipState::replying) &&
        s.last + config_.timing.gapLimit > s.start + config_.timing.listenWindow)
        stop(ChipState::eepromBoot,
             "handshake not done within " + millis(config_.timing.listenWindow) + " of the reset");
    else
        stop(ChipState::eepromBoot,
             std::string("no byte within ") + millis(config_.timing.gapLimit) + " while " + stateName(was));
}

void ChipModel::idle(Micros now) {
    if (held_ && now - held_->at > 2 * bitsPerFrame * 1'000'000 / held_->baud) {
        std::vector<std::uint8_t> none;
        take(clockByte, held_->at, held_->baud, none);
        held_.reset();
    }
    if (!session_) return;
    const auto due = deadline();
    if (due && now > *due) giveUp();
    const Micros silence = config_.timing.resetSilence;
    if (!waitsForHost(session_->state) && silence != 0 && now - session_->last >= silence) endSession();
}

void ChipModel::reset() {
    if (session_) endSession();
    awaitingReset_ = false;
}

void ChipModel::finish() {
    if (session_) endSession();
}

void ChipModel::unplug() {
    if (!session_) return;
    // The state stays as it was, so that the transcript shows where the board went.
    session_->why = std::string("unplugged while ") + stateName(session_->state);
    endSession();
}

bool hangupDue(Hangup at, const SessionRecord& s) {
    switch (at) {
        case Hangup::never:
            return false;
        case Hangup::handshake:
            return s.state == ChipState::handshake && s.hostBits >= handshakeBits / 2;
        case Hangup::load:
            return s.state == ChipState::loading && s.longCount && *s.longCount > 0 &&
                   s.longs.size() >= *s.longCount / 2;
        case Hangup::acknowledgement:
            return s.state == ChipState::acknowledging;
    }
    return false;
}

void ChipModel::startSession(Micros at) {
    SessionRecord s;
    s.number = ++sessionsStarted_;
    s.faulty = config_.faultySessions == 0 || s.number <= config_.faultySessions;
    s.start = s.last = at;
    session_ = std::move(s);
    lfsr_ = lfsrSeed;
    accumulator_ = 0;
    accumulated_ = 0;
    readyAt_ = 0;
    lastClock_ = at;
}

void ChipModel::endSession() {
    held_.reset();
    // Clocks after quiet that no handshake follows are no session: the host's last polls for the
    // verdict, late on a busy machine, reaching a chip that had already given up.
    if (guessedReset_ && session_->onlyClocks)
        --sessionsStarted_;
    else
        ended_.push_back(std::move(*session_));
    session_.reset();
    stage_.reset();
    awaitingReset_ = true;
}

void ChipModel::stop(ChipState state, std::string why) {
    session_->state = state;
    session_->why = std::move(why);
}

void ChipModel::give(std::vector<std::uint8_t>& out, std::uint8_t byte) {
    if (faults().silent) return;
    out.push_back(byte);
    session_->answers.push_back(byte);
}

std::vector<std::uint8_t> ChipModel::answersDue(Micros now) {
    if (!stage_) return {};
    return stage_->due(now, *session_);
}

std::optional<Micros> ChipModel::nextAnswer() const {
    return stage_ ? stage_->nextDue() : std::nullopt;
}

std::vector<std::uint8_t> ChipModel::receive(std::uint8_t byte, Micros at, int baud) {
    std::vector<std::uint8_t> out = answersDue(at);
    // A clock after quiet resets the second stage only when the handshake's bytes follow it at once,
    // in the same write: alone, it is a late poll for the ROM's verdict (a busy machine sends one),
    // which the stage does not take for a sync.
    if (held_) {
        const Held clock = *std::exchange(held_, std::nullopt);
        stageReset_ = at - clock.at <= 2 * bitsPerFrame * 1'000'000 / clock.baud;
        take(clockByte, clock.at, clock.baud, out);
        stageReset_ = false;
    } else if (mayResetStage(byte, at)) {
        held_ = Held{at, baud};
        return out;
    }
    take(byte, at, baud, out);
    return out;
}

void ChipModel::take(std::uint8_t byte, Micros at, int baud, std::vector<std::uint8_t>& out) {
    const bool resetSeen = stageReset_ || resetBy(byte, at);
    if (session_) {
        const auto due = deadline();
        if (due && at > *due) giveUp();
        if ((!waitsForHost(session_->state) && resetSeen) || stageReset_) endSession();
    }
    const bool guessed = awaitingReset_;
    const bool reset = !awaitingReset_ || resetSeen;
    lastByte_ = at;
    if (!session_) {
        if (!reset) return;  // shut down or running its program: the line means nothing to it
        startSession(at);
        guessedReset_ = guessed;
    }
    SessionRecord& s = *session_;
    s.last = at;
    ++s.bytesIn;
    if (byte != clockByte) s.onlyClocks = false;

    switch (s.state) {
        case ChipState::handshake:
            handshakeByte(byte);
            break;
        case ChipState::replying:
            replyByte(byte, out);
            break;
        case ChipState::loading:
            if (!s.loadStart) s.loadStart = at;
            loadByte(byte, at);
            break;
        case ChipState::computing:
        case ChipState::acknowledging:
        case ChipState::programming:
        case ChipState::verifying:
            afterData(byte, at, out);
            break;
        case ChipState::bootstrap:
        case ChipState::stage:
            stage_->receive(byte, at, baud, s);
            break;
        case ChipState::running:
        case ChipState::shutdown:
        case ChipState::eepromBoot:
            break;
    }
}

void ChipModel::handshakeByte(std::uint8_t byte) {
    SessionRecord& s = *session_;
    if (s.bytesIn == 1) {
        // The ROM measures the bit time on this byte's two pulses; anything else miscalibrates it.
        if (byte != clockByte) {
            s.handshake = Handshake::badCalibration;
            stop(ChipState::eepromBoot, "first byte is not the calibration byte");
        }
        return;
    }
    const FrameBits frame = decodeFrame(byte);
    if (frame.framingError) {
        s.handshake = Handshake::framingError;
        stop(ChipState::eepromBoot, "framing error in handshake bit " + std::to_string(s.hostBits));
        return;
    }
    for (int i = 0; i < frame.count; ++i) {
        if (s.hostBits == handshakeBits) {
            // Pulses past the 250th bit would be taken as clock edges and throw the replies off.
            s.handshake = Handshake::misaligned;
            stop(ChipState::eepromBoot, "more than 250 handshake bits");
            return;
        }
        if (frame.bits[static_cast<std::size_t>(i)] != lfsrStep(lfsr_)) {
            s.handshake = Handshake::mismatch;
            stop(ChipState::eepromBoot, "handshake bit " + std::to_string(s.hostBits) + " does not match");
            return;
        }
        ++s.hostBits;
    }
    if (s.hostBits == handshakeBits) s.state = ChipState::replying;
}

void ChipModel::replyByte(std::uint8_t byte, std::vector<std::uint8_t>& out) {
    SessionRecord& s = *session_;
    if (byte != clockByte) {
        s.handshake = Handshake::misaligned;
        stop(ChipState::eepromBoot,
             "byte " + std::to_string(byte) + " where clock " + std::to_string(s.replies) + " was due");
        return;
    }
    const ChipFaults& f = faults();
    const int k = s.replies++;
    if (k == 0)
        for (int i = 0; i < f.strayBytes; ++i) give(out, strayByte);
    if (k < handshakeBits) {
        int bit = lfsrStep(lfsr_);
        if (f.wrongBit && *f.wrongBit == k) bit ^= 1;
        give(out, bit ? bitOne : bitZero);
    } else {
        const int bit = (config_.version >> (k - handshakeBits)) & 1;
        const bool last = k == handshakeBits + versionBits - 1;
        if (!(last && f.missingVersionBit)) give(out, bit ? bitOne : bitZero);
    }
    if (s.replies == handshakeBits + versionBits) {
        s.handshake = Handshake::ok;
        s.state = ChipState::loading;
    }
}

void ChipModel::loadByte(std::uint8_t byte, Micros at) {
    const FrameBits frame = decodeFrame(byte);
    if (frame.framingError) {
        stop(ChipState::eepromBoot, "framing error in long " + std::to_string(session_->longs.size()));
        return;
    }
    // Longs run on across byte boundaries: only the pulses count.
    for (int i = 0; i < frame.count && session_->state == ChipState::loading; ++i) {
        accumulator_ |= std::uint32_t{frame.bits[static_cast<std::size_t>(i)]} << accumulated_;
        if (++accumulated_ == 32) {
            const std::uint32_t value = accumulator_;
            accumulator_ = 0;
            accumulated_ = 0;
            onLong(value, at);
        }
    }
}

void ChipModel::onLong(std::uint32_t value, Micros at) {
    SessionRecord& s = *session_;
    auto dataDone = [&] {
        s.loadEnd = at;
        s.ramSum = ramChecksum(s.longs);
        s.state = ChipState::computing;
        readyAt_ = at + config_.timing.checksumTime;
    };
    if (!s.command) {
        s.command = value;
        if (value == 0 || value > 3) stop(ChipState::shutdown, "command " + std::to_string(value));
        return;
    }
    if (!s.longCount) {
        s.longCount = value;
        if (value > ramLongs)
            stop(ChipState::shutdown, "long count " + std::to_string(value) + " exceeds the RAM");
        else if (value == 0)
            dataDone();
        else
            s.longs.reserve(value);
        return;
    }
    s.longs.push_back(value);
    if (s.longs.size() == *s.longCount) dataDone();
}

void ChipModel::launch(Micros at) {
    SessionRecord& s = *session_;
    const auto build = stageBuildOf(s.longs);
    const bool bootstrap = isPilot(s.longs);
    if (!build && !bootstrap) {
        s.state = ChipState::running;
        return;
    }
    s.state = build ? ChipState::stage : ChipState::bootstrap;
    s.stage = StageRecord{};
    s.stage->build = build;
    stage_ = std::make_unique<StageModel>(build, at + config_.timing.stageStart, config_.timing, faults(), eeprom_,
                                          stage::firstSyncFloor, config_.parts);
}

bool ChipModel::launchable() const {
    const auto& longs = session_->longs;
    return longs.size() > 1 && (longs[1] >> 16) == launchPbase;
}

void ChipModel::afterData(std::uint8_t byte, Micros at, std::vector<std::uint8_t>& out) {
    SessionRecord& s = *session_;
    const ChipTiming& t = config_.timing;
    if (at < readyAt_) return;  // busy: the line is not watched
    if (byte != clockByte) {
        stop(ChipState::eepromBoot, "byte " + std::to_string(byte) + " where a clock was due");
        return;
    }
    lastClock_ = at;
    const bool answer = !faults().noAcknowledge;
    switch (s.state) {
        case ChipState::computing:
            s.state = ChipState::acknowledging;
            break;
        case ChipState::acknowledging: {
            const bool good = *s.ramSum == 0 && !faults().rejectChecksum;
            if (!answer) {
                // Nothing is sent; the chip keeps taking clocks it will never answer.
                s.why = "acknowledgement withheld";
                return;
            }
            s.verdict = good ? bitZero : bitOne;
            give(out, *s.verdict);
            if (!good) {
                stop(ChipState::shutdown, "checksum rejected");
            } else if (*s.command == 1) {
                if (launchable())
                    launch(at);
                else
                    stop(ChipState::shutdown, "pbase is not 0x0010");
            } else {
                s.state = ChipState::programming;
                readyAt_ = at + t.programTime;
            }
            break;
        }
        case ChipState::programming:
        case ChipState::verifying:
            if (!answer) {
                s.why = "acknowledgement withheld";
                return;
            }
            if (s.state == ChipState::programming ? faults().programFails : faults().verifyFails) {
                // The ROM answers a failed write or read-back with a 1 and gives up on the host.
                give(out, bitOne);
                stop(ChipState::shutdown,
                     s.state == ChipState::programming ? "EEPROM not programmed" : "EEPROM verify failed");
                return;
            }
            give(out, bitZero);
            ++s.eepromAcks;
            if (s.state == ChipState::programming) {
                eeprom_ = ramPicture(s.longs);
                s.state = ChipState::verifying;
                readyAt_ = at + t.verifyTime;
            } else if (*s.command == 3 && launchable()) {
                s.state = ChipState::running;
            } else {
                stop(ChipState::shutdown, *s.command == 3 ? "pbase is not 0x0010" : "command 2 done");
            }
            break;
        default:
            break;
    }
}

const char* handshakeName(Handshake h) {
    switch (h) {
        case Handshake::pending:
            return "incomplete";
        case Handshake::ok:
            return "ok";
        case Handshake::badCalibration:
            return "bad-calibration";
        case Handshake::mismatch:
            return "mismatch";
        case Handshake::framingError:
            return "framing-error";
        case Handshake::misaligned:
            return "misaligned";
        case Handshake::tooSlow:
            return "too-slow";
    }
    return "?";
}

const char* stateName(ChipState s) {
    switch (s) {
        case ChipState::handshake:
            return "handshake";
        case ChipState::replying:
            return "replying";
        case ChipState::loading:
            return "loading";
        case ChipState::computing:
            return "computing";
        case ChipState::acknowledging:
            return "acknowledging";
        case ChipState::programming:
            return "programming";
        case ChipState::verifying:
            return "verifying";
        case ChipState::bootstrap:
            return "bootstrap";
        case ChipState::stage:
            return "stage";
        case ChipState::running:
            return "running";
        case ChipState::shutdown:
            return "shutdown";
        case ChipState::eepromBoot:
            return "eeprom-boot";
    }
    return "?";
}

}  // namespace kestrup::sim
