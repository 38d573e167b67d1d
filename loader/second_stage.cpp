#include "second_stage.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace kestrup {
namespace stage {
namespace {

void putLong(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint8_t answerCheck(std::uint8_t code, std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint8_t>(code ^ low ^ high ^ 0x5A);
}

bool isAnswerCode(std::uint8_t code) {
    return std::string_view("HNBbALSPXpEev").find(static_cast<char>(code)) != std::string_view::npos;
}

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<std::uint8_t> frame(std::span<const std::uint8_t> data, std::uint32_t trailer) {
    std::vector<std::uint8_t> out;
    out.reserve(data.size() + 9);
    out.push_back(syncByte);
    out.insert(out.end(), data.begin(), data.end());
    putLong(out, trailer);
    putLong(out, crc32(std::span<const std::uint8_t>(out).subspan(1)));
    return out;
}

std::uint32_t helloTrailer() { return 'H'; }

std::uint32_t beginTrailer(std::uint32_t longs, std::uint8_t flags) {
    return 'B' | static_cast<std::uint32_t>(flags) << 8 | longs << 16;
}

std::uint32_t dataTrailer(std::uint32_t packet, std::uint32_t longs) { return 'D' | packet << 8 | longs << 16; }

std::vector<Answer> takeAnswers(std::vector<std::uint8_t>& received) {
    std::vector<Answer> answers;
    std::size_t at = 0;
    while (received.size() - at >= answerBytes) {
        const std::uint8_t* a = received.data() + at;
        if (isAnswerCode(a[0]) && a[3] == answerCheck(a[0], a[1], a[2])) {
            answers.push_back(Answer{static_cast<char>(a[0]), static_cast<std::uint16_t>(a[1] | a[2] << 8)});
            at += answerBytes;
        } else {
            ++at;
        }
    }
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(at));
    return answers;
}

}  // namespace stage

namespace {

std::string megahertz(std::int64_t hz) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MHz", static_cast<double>(hz) / 1e6);
    return text;
}

// Messages before the image are two longs after the sync: this many bytes complete any of them.
constexpr std::size_t idleFillerBytes = 12;

// Within 10% of the width expected.
bool near(double width, double expected) { return width > expected * 0.9 && width < expected * 1.1; }

// Answers after the last packet: the verdict on the whole image and what follows it.
bool isVerdict(char code) { return std::string_view("LSPXpEev").find(code) != std::string_view::npos; }

}  // namespace

SecondStage::SecondStage(SerialPort& port, Clock& clock, StatusSink& status)
    : port_(port), clock_(clock), status_(status), ladder_(stage::rateLadder.begin(), stage::rateLadder.end()) {}

int SecondStage::lineMs(std::size_t bytes) const {
    // Eleven bit times a byte, rounded up to whole milliseconds.
    const std::int64_t bits = static_cast<std::int64_t>(bytes) * 11;
    return static_cast<int>((bits * 1000 + baud_ - 1) / baud_);
}

bool SecondStage::switchBaud(int baud) {
    if (baud == baud_) return true;
    // Bytes still queued would leave at the new rate.
    port_.drain();
    if (!port_.setBaud(baud)) return false;
    baud_ = baud;
    return true;
}

std::optional<stage::Answer> SecondStage::awaitAnswer(int windowMs) {
    for (;;) {
        if (!answers_.empty()) {
            const stage::Answer first = answers_.front();
            answers_.pop_front();
            return first;
        }
        std::uint8_t buffer[256];
        const auto got = port_.read(buffer);
        if (got && *got > 0) received_.insert(received_.end(), buffer, buffer + *got);
        for (const auto& answer : stage::takeAnswers(received_)) answers_.push_back(answer);
        if (!answers_.empty()) continue;
        if (windowMs <= 0) return std::nullopt;
        clock_.pause(1);
        --windowMs;
    }
}

void SecondStage::forget() {
    port_.purgeReceive();
    received_.clear();
    answers_.clear();
}

std::optional<stage::Answer> SecondStage::exchange(const std::vector<std::uint8_t>& message) {
    forget();
    port_.write(message);
    port_.drain();
    return awaitAnswer(2 * lineMs(message.size()) + answerMarginMs);
}

void SecondStage::recover(std::size_t count) {
    // A stage that missed a start bit still counts the bytes of the last message: 0xFF bytes (one
    // start bit each) make them up, it answers, and the rest of them are too short to be a sync.
    const std::vector<std::uint8_t> filler(count, 0xFF);
    port_.write(filler);
    port_.drain();
    clock_.pause(2 * lineMs(filler.size()) + answerMarginMs);
    forget();
}

bool SecondStage::contact(StageReport& report) {
    const auto hello = stage::frame({}, stage::helloTrailer());
    // Counted on the clock, not in pauses: the window is what the fallback after it costs.
    const std::int64_t start = clock_.nowMicros();
    for (;;) {
        const std::int64_t spentMs = (clock_.nowMicros() - start) / 1000;
        if (spentMs >= contactMs_ + lastHelloMs_) break;
        // The line stays idle between hellos, so the stage takes any of them as its first sync,
        // whenever it starts listening.
        if (spentMs < contactMs_) port_.write(hello);
        const auto answer = awaitAnswer(helloEveryMs);
        if (answer && answer->code == 'H') {
            report.chipHz = static_cast<std::int64_t>(answer->value) * baud_ / 4;
            return true;
        }
    }
    return false;
}

bool SecondStage::chooseRate(StageReport& report) {
    rates_ = ladder_;
    if (judgeRates_) {
        // The chip's own fastest rate first, where it lies below the ladder's top and is none of its
        // rates: an adapter that cannot make it makes another, which the stage's width tells.
        const int fastest = static_cast<int>(static_cast<double>(report.chipHz) / stage::minClocksPerBit) / 100 * 100;
        if (fastest < rates_.front() && std::find(rates_.begin(), rates_.end(), fastest) == rates_.end())
            rates_.insert(std::find_if(rates_.begin(), rates_.end(), [fastest](int r) { return r < fastest; }), fastest);
    }
    const auto hello = stage::frame({}, stage::helloTrailer());
    for (rateIndex_ = 0; rateIndex_ < rates_.size(); ++rateIndex_) {
        const int rate = rates_[rateIndex_];
        const double clocksPerBit = static_cast<double>(report.chipHz) / rate;
        if (judgeRates_ && clocksPerBit < stage::minClocksPerBit) continue;
        if (rate == baud_) return true;  // the contact was at this rate
        // A faster rate's sync is shorter than the stage expects: it takes it after a pause.
        clock_.pause(stepUpPauseMs);
        if (!switchBaud(rate)) continue;  // a rate the driver refuses
        auto answer = exchange(hello);
        // An adapter that does not make the rate sends at another: the stage's width tells. Answers
        // to earlier hellos (the contact's later ones, a probe's that came late on a busy machine)
        // may come in first, with their own rates' widths: the window is waited out for this one.
        while (judgeRates_ && answer && answer->code == 'H' && !near(answer->value, 4 * clocksPerBit))
            answer = awaitAnswer(2 * lineMs(hello.size()) + answerMarginMs);
        if (answer && answer->code == 'H') return true;
        recover(idleFillerBytes);
    }
    return false;
}

std::optional<stage::Answer> SecondStage::begin(std::uint32_t longs, LoadTarget target, std::int64_t chipHz) {
    std::uint8_t flags = 0;
    if (target != LoadTarget::ram) flags |= stage::beginProgramEeprom;
    if (target == LoadTarget::eepromRun) flags |= stage::beginRunAfterEeprom;
    const auto mhz = std::min<std::int64_t>((chipHz + 999999) / 1000000, 63);
    flags |= static_cast<std::uint8_t>(mhz << stage::beginMegahertzShift);
    const auto message = stage::frame({}, stage::beginTrailer(longs, flags));
    for (int tries = 0; tries < triesPerRate * 2; ++tries) {
        const auto answer = exchange(message);
        if (answer && (answer->code == 'B' || answer->code == 'b')) return answer;
        if (!answer) recover(idleFillerBytes);
    }
    return std::nullopt;
}

std::optional<stage::Answer> SecondStage::sendImage(std::span<const std::uint8_t> image, StageReport& report) {
    const auto longs = static_cast<std::uint32_t>(image.size() / 4);
    const std::size_t packets = (longs + stage::packetLongs - 1) / stage::packetLongs;
    std::optional<stage::Answer> answer;
    for (std::size_t k = 0; k < packets; ++k) {
        const std::size_t from = k * stage::packetLongs * 4;
        const auto data = image.subspan(from, std::min(stage::packetLongs * 4, image.size() - from));
        const auto message = stage::frame(data, stage::dataTrailer(static_cast<std::uint32_t>(k), longs));
        for (int failures = 0;;) {
            answer = exchange(message);
            // The last packet's acknowledgement may be overtaken by the verdict on the whole image.
            if (answer && ((answer->code == 'A' && answer->value == k) || (k + 1 == packets && isVerdict(answer->code))))
                break;
            ++report.resends;
            ++failures;
            if (!answer) recover(fillerBytes);
            if (failures % triesPerRate != 0) continue;
            if (rateIndex_ + 1 >= rates_.size()) {
                status_.statusLine("Second stage: packet " + std::to_string(k) + " failed at the slowest rate");
                return std::nullopt;
            }
            // The next packet's sync, longer than the last, tells the stage the slower rate.
            switchBaud(rates_[++rateIndex_]);
            report.baud = baud_;
            status_.statusLine("Second stage: down to " + std::to_string(baud_) + " baud");
        }
        if (progress_) progress_(from + data.size(), image.size());
    }
    return answer;
}

namespace {

// The stage's answers after the image, told as the ROM's load tells the same steps; nothing is
// told when there is no one to tell.
class Narration {
public:
    Narration(LoadLines* lines, LoadTarget target) : lines_(lines), target_(target) {}

    // The chip holds a good image: into RAM it runs, into the EEPROM programming starts.
    void checksumGood() {
        if (checksumTold_) return;
        checksumTold_ = true;
        if (!lines_) return;
        if (target_ == LoadTarget::ram)
            lines_->ramVerdict(true);
        else
            lines_->eepromChecksum(true);
    }
    void programmed(bool done) {
        checksumGood();
        if (programmedTold_) return;
        programmedTold_ = true;
        if (lines_) lines_->eepromProgrammed(done);
    }
    void started() {
        if (target_ == LoadTarget::ram) return checksumGood();
        programmed(true);
        if (lines_) lines_->eepromVerified(true, target_ == LoadTarget::eepromRun);
    }
    void checksumBad() {
        if (!lines_) return;
        if (target_ == LoadTarget::ram)
            lines_->ramVerdict(false);
        else
            lines_->eepromChecksum(false);
    }
    void verifyFailed() {
        programmed(true);
        if (lines_) lines_->eepromVerified(false, target_ == LoadTarget::eepromRun);
    }
    // No answer came: the step under way failed, as the ROM's time-outs tell it.
    void silence() {
        if (lines_) lines_->timeOut();
        if (!checksumTold_) return checksumBad();
        if (target_ == LoadTarget::ram) return;
        if (!programmedTold_) return programmed(false);
        verifyFailed();
    }

private:
    LoadLines* lines_;
    LoadTarget target_;
    bool checksumTold_ = false;
    bool programmedTold_ = false;
};

}  // namespace

StageOutcome SecondStage::judge(StageReport& report, LoadTarget target, LoadLines* lines) {
    Narration told(lines, target);
    std::optional<stage::Answer> answer = lastPacketAnswer_;
    // Into the EEPROM the first answer after the image is its first 64 pages' progress.
    if (answer && answer->code == 'A') answer = awaitAnswer(target == LoadTarget::ram ? finishWindowMs : eepromStepWindowMs);
    for (;;) {
        if (answer) report.lastAnswer = answer->code;
        if (!answer) {
            status_.statusLine("Second stage: no verdict on the image");
            told.silence();
            return StageOutcome::failed;
        }
        switch (answer->code) {
        case 'p':  // the EEPROM's progress, every 64 pages
            told.checksumGood();
            answer = awaitAnswer(eepromStepWindowMs);
            continue;
        case 'E':
            status_.statusLine("Second stage: EEPROM programmed and verified (pages written: " +
                               std::to_string(answer->value) + ")");
            told.programmed(true);
            answer = awaitAnswer(finishWindowMs);
            continue;
        case 'L':
        case 'X': told.started(); return StageOutcome::loaded;
        case 'S':
            status_.statusLine("Second stage: checksum error");
            told.checksumBad();
            return StageOutcome::refused;
        case 'P':
            // The ROM acknowledges such an image too before it shuts the chip down.
            status_.statusLine("Second stage: pbase is not 0x0010");
            told.started();
            return StageOutcome::refused;
        case 'e':
            status_.statusLine("Second stage: EEPROM page " + std::to_string(answer->value) + " not acknowledged");
            told.programmed(false);
            return StageOutcome::eepromFailed;
        case 'v':
            status_.statusLine("Second stage: EEPROM page " + std::to_string(answer->value) + " read back wrong");
            told.verifyFailed();
            return StageOutcome::eepromFailed;
        default:
            status_.statusLine(std::string("Second stage: unexpected answer ") + answer->code);
            told.silence();
            return StageOutcome::failed;
        }
    }
}

StageReport SecondStage::send(std::span<const std::uint8_t> image, LoadTarget target) {
    StageReport report;
    forget();
    lastPacketAnswer_.reset();
    baud_ = startBaud_;
    // What the ROM would load: the image up to vbase.
    const std::size_t bytes = image.size() >= 12 ? static_cast<std::size_t>(image[8] | image[9] << 8) : 0;
    if (bytes < 16 || bytes > stage::maxImageBytes || bytes > image.size() || bytes % 4 != 0) {
        report.outcome = StageOutcome::refused;
        return report;
    }
    if (!contact(report)) {
        status_.statusLine("Second stage: no answer");
        report.outcome = StageOutcome::noAnswer;
        return report;
    }
    if (!chooseRate(report)) {
        status_.statusLine("Second stage: no rate answered");
        return report;
    }
    report.baud = baud_;
    status_.statusLine("Second stage: chip at " + megahertz(report.chipHz) + ", " + std::to_string(baud_) + " baud");

    const auto begun = begin(static_cast<std::uint32_t>(bytes / 4), target, report.chipHz);
    if (!begun || begun->code != 'B') {
        report.lastAnswer = begun ? begun->code : 0;
        report.outcome = begun ? StageOutcome::refused : StageOutcome::failed;
        return report;
    }
    lastPacketAnswer_ = sendImage(image.first(bytes), report);
    report.lastAnswer = lastPacketAnswer_ ? lastPacketAnswer_->code : 0;
    report.outcome = lastPacketAnswer_ ? StageOutcome::sent : StageOutcome::failed;
    return report;
}

StageReport SecondStage::load(std::span<const std::uint8_t> image, LoadTarget target) {
    StageReport report = send(image, target);
    if (report.outcome == StageOutcome::sent) report.outcome = judge(report, target, nullptr);
    return report;
}

}  // namespace kestrup
