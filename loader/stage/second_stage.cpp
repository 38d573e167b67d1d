#include "stage/second_stage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "image/image.h"
#include "stage/firmware/firmware.h"

namespace kestrup {

std::span<const std::uint8_t> secondStageImage(LoadTarget target) {
    return target == LoadTarget::ram ? firmware::ramStage() : firmware::eepromStage();
}

std::variant<StageImage, std::string_view> StageImage::of(const CheckedImage& image) {
    const std::uint16_t vbase = image.length;
    // Left to the ROM, which tells what is wrong with them as it always has.
    if (!image.complete || vbase < imageHeaderBytes || vbase % 4 != 0 || vbase / 4u > image.longs.size())
        return "not an image the second stage takes";
    if (vbase / 4u > stage::maxLongs) return "image too large for the second stage";
    // The stage writes the stack markers above the image and proves RAM with them there.
    if (image.dbase < vbase + 8u || image.dbase > chipRamBytes) return "stack markers not above the image";
    return StageImage{image.longs.first(vbase / 4u), image.pbase, image.dbase};
}

std::uint32_t StageImage::ramCrc() const {
    std::vector<std::uint8_t> ram(chipRamBytes, 0);
    for (std::size_t i = 0; i < longs.size(); ++i)
        for (std::size_t b = 0; b < 4; ++b) ram[4 * i + b] = static_cast<std::uint8_t>(longs[i] >> (8 * b));
    for (const std::size_t at : {dbase - 8u, dbase - 4u})
        for (std::size_t b = 0; b < 4; ++b) ram[at + b] = static_cast<std::uint8_t>(imageStackMarker >> (8 * b));
    return stage::crc32(ram);
}

namespace {

std::string megahertz(std::int64_t hz) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MHz", static_cast<double>(hz) / 1e6);
    return text;
}

std::string hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Within 10% of the width expected.
bool near(double width, double expected) {
    return width > expected * 0.9 && width < expected * 1.1;
}

// Answers after the last packet: the verdict on the whole image and what comes before it.
bool isVerdict(char code) {
    return stage::answer::verdicts.find(code) != std::string_view::npos;
}

const std::vector<std::uint8_t>& query() {
    static const auto message = stage::frame({}, stage::queryTrailer());
    return message;
}

bool isRateMessage(const std::vector<std::uint8_t>& message) {
    return message[message.size() - 8] == 'R';
}

}  // namespace

SecondStage::SecondStage(SerialPort& port, Clock& clock, StatusSink& status)
    : port_(port),
      clock_(clock),
      status_(status),
      ladder_(stage::rateLadder.begin(), stage::rateLadder.end()),
      line_(port, clock, stage::contactBaud) {}

std::optional<stage::Answer> SecondStage::awaitAnswer(int windowMs) {
    return line_.await(windowMs, [this](std::vector<std::uint8_t>& bytes) -> std::optional<stage::Answer> {
        for (const auto& answer : stage::takeAnswers(bytes)) answers_.push_back(answer);
        if (answers_.empty()) return std::nullopt;
        const stage::Answer first = answers_.front();
        answers_.pop_front();
        return first;
    });
}

void SecondStage::forget() {
    line_.forget();
    answers_.clear();
}

std::optional<stage::Answer> SecondStage::exchange(const std::vector<std::uint8_t>& message) {
    forget();
    port_.write(message);
    port_.drain();
    auto answer = awaitAnswer(2 * line_.lineMs(message.size()) + answerMarginMs);
    // The floor a rate message names holds for one sync: an answer to any later message used it up.
    if (answer && !isRateMessage(message)) pendingBaud_ = 0;
    return answer;
}

void SecondStage::fill(std::size_t dataLongs) {
    // While the image comes a damaged length byte may have the stage counting up to 255 data longs;
    // otherwise every message is two longs. A stage counting at a slower rate than the filler's takes
    // several filler bytes as one of its own.
    const int fastest = std::max(line_.baud(), pendingBaud_);
    const int back = line_.baud();
    std::size_t bytes = imageComing_ ? 4 * (stage::packetLongs - std::min(dataLongs, stage::packetLongs)) + 8 : 8;
    bytes *= static_cast<std::size_t>((fastest + back - 1) / back);
    // Each filler byte is one bit low: at the fastest rate the stage may listen at, never a sync.
    setRate(fastest);
    const std::vector<std::uint8_t> filler(bytes, 0xFF);
    port_.write(filler);
    port_.drain();
    clock_.pause(2 * line_.lineMs(filler.size()) + answerMarginMs);
    setRate(back);
    // What the completed message drew is no answer to anything the host still asks.
    forget();
}

std::optional<stage::Answer> SecondStage::recover(std::size_t dataLongs) {
    for (int tries = 0; tries < triesPerMessage; ++tries) {
        fill(tries == 0 ? dataLongs : 0);
        const auto answer = exchange(query());
        // A query not taken as sent tells nothing of where the stage is.
        if (answer && answer->code != 'N') return answer;
    }
    return std::nullopt;
}

std::optional<stage::Answer> SecondStage::ask(const std::vector<std::uint8_t>& message, std::string_view codes) {
    for (int tries = 0; tries < triesPerMessage; ++tries) {
        auto answer = exchange(message);
        if (!answer) {
            answer = recover(0);
            if (!answer) return std::nullopt;  // the stage is lost
        } else if (answer->code == 'N' && answer->value == 3)
            fill(0);
        if (answer && codes.find(answer->code) != std::string_view::npos) return answer;
    }
    return std::nullopt;
}

bool SecondStage::contact(StageReport& report) {
    const auto hello = stage::helloFrame();
    const auto greeted = [&](const std::optional<stage::Answer>& answer) {
        if (!answer || answer->code != 'H') return false;
        report.chipHz = static_cast<std::int64_t>(answer->value) * line_.baud() / 4;
        return true;
    };
    // Counted on the clock, not in pauses: the window is what the fallback after it costs.
    const std::int64_t start = clock_.nowMicros();
    // One hello and its answer's whole window, so that none is answered twice: the host waited for
    // the stage's start. The window is the hellos' too.
    if (listening_ && greeted(exchange(hello))) return true;
    for (;;) {
        const std::int64_t spentMs = (clock_.nowMicros() - start) / 1000;
        if (spentMs >= contactMs_ + lastHelloMs_) break;
        // The line stays idle between hellos, so the stage takes any of them as its first sync,
        // whenever it starts listening.
        if (spentMs < contactMs_) port_.write(hello);
        if (greeted(awaitAnswer(helloEveryMs))) return true;
    }
    return false;
}

bool SecondStage::setRate(int rate) {
    return line_.setBaud(rate, rate == oneStopRate_ ? 1 : 2);
}

bool SecondStage::stepTo(int rate, std::int64_t chipHz) {
    // Two bit times of the new rate: its sync is four, and the filler of the old one's stays a
    // filler to a stage that did not take the rate message.
    const auto floor = static_cast<std::uint32_t>(2 * chipHz / rate);
    pendingBaud_ = rate;
    if (!ask(stage::frame({}, stage::rateTrailer(floor)), "R")) return false;
    if (setRate(rate)) return true;
    pendingBaud_ = 0;
    return false;
}

bool SecondStage::chooseRate(StageReport& report, LoadTarget target) {
    rates_ = ladder_;
    // Only the RAM build's receiver takes 12 clocks a bit.
    const int fast = target == LoadTarget::ram ? stage::fastBaud(report.chipHz) : 0;
    oneStopRate_ = fast;
    const int good = line_.baud();
    if (judgeRates_) {
        // The chip's own fastest rate first, above the ladder's top too, where it is none of its
        // rates: an adapter that cannot make it makes another, which the stage's width tells.
        const int own = stage::chipsOwnBaud(report.chipHz);
        const int fastest = fast != 0 ? fast : own;
        // A contact at the bootstrap's rate was at the chip's own: a sync of 64 clocks there times
        // the clock no closer than 1 in 64.
        if (std::abs(good - fastest) <= fastest / 50) return true;
        for (const int rate : {fastest, own})
            if (std::find(rates_.begin(), rates_.end(), rate) == rates_.end())
                rates_.insert(std::find_if(rates_.begin(), rates_.end(), [rate](int r) { return r < rate; }), rate);
    }
    // The contact's rate is the last resort: the stage answered there.
    if (std::find(rates_.begin(), rates_.end(), good) == rates_.end()) rates_.push_back(good);
    const auto hello = stage::helloFrame();
    for (rateIndex_ = 0; rateIndex_ < rates_.size(); ++rateIndex_) {
        const int rate = rates_[rateIndex_];
        const double clocksPerBit = static_cast<double>(report.chipHz) / rate;
        if (rate == good) return true;
        if (judgeRates_ && clocksPerBit < stage::minClocksPerBit && rate != fast) continue;
        if (!stepTo(rate, report.chipHz)) {
            if (pendingBaud_ != 0) return false;  // the stage lost, not the rate refused
            continue;
        }
        bool heard = false;
        for (int tries = 0; tries < triesPerMessage && !heard; ++tries) {
            const auto answer = exchange(hello);
            // Refused for its check: the stage takes this rate and heard a byte damaged; once more.
            if (answer && answer->code == 'N') continue;
            heard = answer.has_value();
            // An answer at this rate is this hello's (earlier ones went at the contact's rate, which
            // reads as no answer here): a width other than the rate's is the adapter making another.
            if (answer && answer->code == 'H' && (!judgeRates_ || near(answer->value, 4 * clocksPerBit))) return true;
            // Silence may be a byte of the hello lost: when the stage answers a query at this rate,
            // it hears it, and the hello goes once more.
            if (!heard && !recover(0)) break;
        }
        // An adapter that makes another rate than asked: the stage answered at that one and takes
        // its syncs as the floor's measure, so the way back is asked for there.
        if (heard) {
            pendingBaud_ = good;
            ask(stage::frame({}, stage::rateTrailer(static_cast<std::uint32_t>(2 * report.chipHz / good))), "R");
        }
        setRate(good);
        if (!heard && !recover(0)) return false;
    }
    return false;
}

std::uint8_t SecondStage::beginFlags(LoadTarget target, std::int64_t chipHz) const {
    std::uint8_t flags = 0;
    if (target != LoadTarget::ram) flags |= stage::beginProgramEeprom;
    if (target == LoadTarget::eepromRun) flags |= stage::beginRunAfterEeprom;
    const auto mhz = std::min<std::int64_t>((chipHz + 999999) / 1000000, 63);
    return static_cast<std::uint8_t>(flags | mhz << stage::beginMegahertzShift);
}

std::optional<stage::Answer> SecondStage::sendImage(StageReport& report) {
    const auto longs = image_->longs;
    const std::size_t packets = (longs.size() + stage::packetLongs - 1) / stage::packetLongs;
    // Each packet's check goes on from the CRC of the packets before it.
    std::vector<std::uint32_t> crcBefore{stage::crcStart};
    for (std::size_t k = 0; k + 1 < packets; ++k)
        crcBefore.push_back(
            stage::crcAfter(crcBefore.back(), longs.subspan(k * stage::packetLongs, stage::packetLongs)));
    const auto packet = [&](std::size_t k) {
        const auto data =
            longs.subspan(k * stage::packetLongs, std::min(stage::packetLongs, longs.size() - k * stage::packetLongs));
        auto bytes = stage::frame(
            data, stage::dataTrailer(static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(longs.size())),
            crcBefore[k]);
        bytes.insert(bytes.end(), stage::streamGapBytes, 0xFF);
        return bytes;
    };
    // The stage says which packet it expects: the host goes on from there, whatever it sent.
    const auto expected = [packets](const stage::Answer& a) -> std::optional<std::size_t> {
        if (a.code == 'A') return a.value;
        if (a.code == 'N' || a.code == 'B') return a.packet;
        // The last packet's acceptance lost, or overtaken by the verdict on the whole image.
        if (isVerdict(a.code)) return packets;
        return std::nullopt;
    };
    // A packet read whole, accepted or refused (its check, or not the one expected); not one whose
    // length the stage did not expect, which may have it counting still.
    const auto readWhole = [](const std::optional<stage::Answer>& a) {
        return a && (a->code == 'A' || (a->code == 'N' && a->value != 3));
    };
    std::size_t next = 0;            // the packet the stage expects, as it last said
    std::deque<std::size_t> onLine;  // packets sent whose answers are still to come, oldest first
    std::size_t bytesOnLine = 0;
    forget();
    for (int failures = 0;;) {
        // The next packet goes while the stage still takes the one before, so that the line never
        // waits for an answer's round trip.
        if (onLine.empty()) bytesOnLine = 0;
        while (onLine.size() < stage::packetsOnLine && (onLine.empty() ? next : onLine.back() + 1) < packets) {
            const std::size_t k = onLine.empty() ? next : onLine.back() + 1;
            const auto bytes = packet(k);
            port_.write(bytes);
            onLine.push_back(k);
            bytesOnLine += bytes.size();
        }
        const std::size_t oldest = onLine.front();
        const auto window = [&] { return 2 * line_.lineMs(bytesOnLine) + answerMarginMs; };
        auto answer = awaitAnswer(window());
        if (!answer || (answer->code != 'A' && !isVerdict(answer->code))) {
            // Refused whole: the packet behind it on the line is answered as it passes, and the
            // last answer names the packet to go on from. Silence, or a length the stage did not
            // expect: filler completes whatever it is counting, and its answer to a query does.
            for (; readWhole(answer) && onLine.size() > 1; onLine.pop_front()) answer = awaitAnswer(window());
            if (!readWhole(answer)) answer = recover(longs.size() - oldest * stage::packetLongs);
            onLine.clear();
            if (!answer) {
                status_.statusLine("Second stage: lost at packet " + std::to_string(oldest));
                return std::nullopt;
            }
        }
        const auto from = expected(*answer);
        if (!from) {
            status_.statusLine(std::string("Second stage: unexpected answer ") + answer->code);
            return std::nullopt;
        }
        while (!onLine.empty() && onLine.front() < *from) onLine.pop_front();
        const std::size_t before = next;
        next = *from;
        if (next >= packets) {
            imageComing_ = false;
            if (progress_) progress_->on(Progress{longs.size() * 4, longs.size() * 4});
            return answer;
        }
        if (next > before) {
            failures = 0;
            if (progress_) progress_->on(Progress{next * stage::packetLongs * 4, longs.size() * 4});
        } else if (onLine.empty()) {
            ++report.resends;
            if (++failures % failuresPerRate == 0 && !stepDown(report)) {
                status_.statusLine("Second stage: packet " + std::to_string(next) + " failed at the slowest rate");
                return std::nullopt;
            }
        }
    }
}

bool SecondStage::stepDown(StageReport& report) {
    while (rateIndex_ + 1 < rates_.size()) {
        const int slower = rates_[++rateIndex_];
        if (slower >= line_.baud()) continue;
        // The next packet's sync, longer than the last, would be taken anyway; the rate message
        // keeps the stage's floor the host's to set.
        if (!stepTo(slower, report.chipHz)) {
            if (pendingBaud_ != 0) return false;
            continue;
        }
        report.baud = line_.baud();
        status_.statusLine("Second stage: down to " + std::to_string(line_.baud()) + " baud");
        return true;
    }
    return false;
}

void SecondStage::go(bool starts) {
    const auto message = stage::frame({}, stage::goTrailer(goDelay_));
    for (int tries = 0; tries < triesPerMessage; ++tries) {
        auto answer = exchange(message);
        // During the delay the stage answers anything with 'G' again.
        if (!answer) answer = recover(0);
        if (answer && answer->code == 'G') break;
        // Silence to the query as well: the delay is over, and the stage gone its way.
        if (!answer) break;
    }
    if (!starts || !imageBaud_) return;
    if (!line_.setBaud(*imageBaud_)) {
        status_.statusLine("Second stage: the port refuses " + std::to_string(*imageBaud_) + " baud");
        return;
    }
    // Asked once more at the image's rate while the stage counts down: the line is proven there
    // before the image talks (and a line that tells its rate only with the bytes it carries, as
    // the chip-logic rig's does, has been told).
    const auto there = exchange(query());
    if (!there || there->code != 'G')
        status_.statusLine("Second stage: no answer at " + std::to_string(*imageBaud_) + " baud before the start");
}

namespace {

// The stage's answers after the image, told as the ROM's load tells the same steps; nothing is
// told when there is no one to tell.
class Narration {
public:
    Narration(LoadTeller* steps, LoadTarget target) : steps_(steps), target_(target) {}

    // The chip holds a good image: into RAM it runs, into the EEPROM programming starts.
    void checksumGood() {
        if (checksumTold_) return;
        checksumTold_ = true;
        if (!steps_) return;
        if (target_ == LoadTarget::ram)
            steps_->ramVerdict(true);
        else
            steps_->eepromChecksum(true);
    }
    void programmed(bool done) {
        checksumGood();
        if (programmedTold_) return;
        programmedTold_ = true;
        if (steps_) steps_->eepromProgrammed(done);
    }
    void started() {
        if (target_ == LoadTarget::ram) return checksumGood();
        programmed(true);
        if (steps_) steps_->eepromVerified(true);
    }
    void checksumBad() {
        if (!steps_) return;
        if (target_ == LoadTarget::ram)
            steps_->ramVerdict(false);
        else
            steps_->eepromChecksum(false);
    }
    void verifyFailed() {
        programmed(true);
        if (steps_) steps_->eepromVerified(false);
    }
    // RAM is not what was sent: what the ROM would have told of a bad checksum, or of a bad read back.
    void notProven() {
        if (target_ == LoadTarget::ram) return checksumBad();
        verifyFailed();
    }
    // No answer came: the step under way failed, as the ROM's time-outs tell it.
    void silence() {
        if (steps_) steps_->tell(LinkFault::timeOut);
        if (!checksumTold_) return checksumBad();
        if (target_ == LoadTarget::ram) return;
        if (!programmedTold_) return programmed(false);
        verifyFailed();
    }
    bool eepromBegun() const { return target_ != LoadTarget::ram && checksumTold_; }

private:
    LoadTeller* steps_;
    LoadTarget target_;
    bool checksumTold_ = false;
    bool programmedTold_ = false;
};

}  // namespace

StageOutcome SecondStage::judge(LoadTarget target, LoadTeller* steps) {
    Narration told(steps, target);
    const int window = target == LoadTarget::ram ? verdictWindowMs_ : eepromStepWindowMs;
    std::optional<stage::Answer> answer = lastPacketAnswer_;
    if (answer && answer->code == 'A') answer = awaitAnswer(window);
    for (int silences = 0;;) {
        if (!answer) {
            // The stage holds its verdict: a query has it again.
            if (++silences > triesPerMessage) break;
            answer = recover(0);
            continue;
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
            case 'V':
                if (answer->value != image_->ramCrc()) {
                    status_.statusLine("Second stage: the chip's RAM is not the image sent (CRC " +
                                       hex(answer->value, 8) + ", the host's " + hex(image_->ramCrc(), 8) + ")");
                    told.notProven();
                    go(false);
                    return StageOutcome::mismatch;
                }
                told.started();
                go(target != LoadTarget::eepromShutdown);
                return StageOutcome::loaded;
            case 'S':
                status_.statusLine("Second stage: checksum error");
                told.checksumBad();
                go(false);
                return StageOutcome::checksumError;
            case 'P':
                // The ROM acknowledges such an image too before it shuts the chip down.
                status_.statusLine("Second stage: pbase is " + hex(answer->value, 4) + ", not 0x0010");
                told.started();
                go(false);
                return StageOutcome::notStarted;
            case 'e':
                status_.statusLine("Second stage: EEPROM page " + std::to_string(answer->value) + " not acknowledged");
                told.programmed(false);
                go(false);
                return StageOutcome::eepromFailed;
            case 'v':
                status_.statusLine("Second stage: EEPROM page " + std::to_string(answer->value) + " read back wrong");
                told.verifyFailed();
                go(false);
                return StageOutcome::eepromFailed;
            default:
                // A query's answer while the stage is still at work on the image.
                answer = awaitAnswer(window);
                continue;
        }
    }
    status_.statusLine("Second stage: no verdict on the image");
    const bool eeprom = told.eepromBegun();
    told.silence();
    return eeprom ? StageOutcome::eepromFailed : StageOutcome::noVerdict;
}

StageReport SecondStage::send(const StageImage& image, LoadTarget target) {
    StageReport report;
    forget();
    lastPacketAnswer_.reset();
    image_ = &image;
    line_.assumeBaud(startBaud_);
    pendingBaud_ = 0;
    oneStopRate_ = 0;
    imageComing_ = false;
    // The stage's first syncs are timed for its contact rate, whatever the ROM's was.
    if (!line_.setBaud(contactBaud_)) {
        status_.statusLine("Second stage: the port refuses " + std::to_string(contactBaud_) + " baud");
        report.outcome = StageOutcome::noAnswer;
        return report;
    }
    if (!contact(report)) {
        status_.statusLine("Second stage: no answer");
        report.outcome = StageOutcome::noAnswer;
        return report;
    }
    if (!chooseRate(report, target)) {
        status_.statusLine("Second stage: lost while choosing a rate");
        return report;
    }
    report.baud = line_.baud();
    status_.statusLine("Second stage: chip at " + megahertz(report.chipHz) + ", " + std::to_string(line_.baud()) +
                       " baud");
    const double delay = imageBaud_ ? stage::goDelayHeardSeconds : stage::goDelaySeconds;
    goDelay_ = static_cast<std::uint32_t>(std::ceil(delay * static_cast<double>(report.chipHz) / 256));
    // Twice the stage's own work after the last packet (the zero fill, the sum, the proof), so that
    // a lost verdict is asked for soon.
    verdictWindowMs_ =
        static_cast<int>(2 * stage::verdictClocks * 1000 / std::max<std::int64_t>(report.chipHz, 1)) + answerMarginMs;

    const auto longs = static_cast<std::uint32_t>(image.longs.size());
    const auto begun = ask(stage::frame({}, stage::beginTrailer(longs, beginFlags(target, report.chipHz))), "Bb");
    if (!begun || begun->code != 'B') {
        if (begun) status_.statusLine("Second stage: the image refused (" + std::to_string(longs) + " longs)");
        report.outcome = begun ? StageOutcome::refused : StageOutcome::failed;
        return report;
    }
    imageComing_ = true;
    lastPacketAnswer_ = sendImage(report);
    imageComing_ = false;
    report.outcome = lastPacketAnswer_ ? StageOutcome::sent : StageOutcome::failed;
    return report;
}

StageReport SecondStage::load(const StageImage& image, LoadTarget target) {
    StageReport report = send(image, target);
    if (report.outcome == StageOutcome::sent) report.outcome = judge(target, nullptr);
    return report;
}

}  // namespace kestrup
