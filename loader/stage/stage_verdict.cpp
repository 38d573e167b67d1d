#include "stage/stage_verdict.h"

#include <cstdio>
#include <string>

namespace kestrup {
namespace {

std::string hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

const std::vector<std::uint8_t>& query() {
    static const auto message = stage::frame({}, stage::queryTrailer());
    return message;
}

}  // namespace

// The stage's answers after the image, told as the ROM's load tells the same steps; nothing is told
// when there is no one to tell.
class StageVerdict::Narration {
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
    // Pages written and read back so far: programming has started.
    void pages(std::uint32_t done) {
        checksumGood();
        done_ = done;
        if (steps_) steps_->tell(EepromPages{done, allPages});
    }
    void pageFailed(PageFailure failure, std::uint32_t page) {
        if (steps_) steps_->tell(EepromPages{done_, allPages, failure, page});
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
    std::size_t done_ = 0;
    static constexpr std::size_t allPages = stage::ramBytes / stage::eepromPageBytes;
};

StageVerdict::StageVerdict(StageLink& link, StatusSink& status, const StageImage& image, LoadTarget target,
                           Timing timing)
    : link_(link), status_(status), image_(image), target_(target), timing_(timing) {}

StageOutcome StageVerdict::judge(std::optional<stage::Answer> answer, LoadTeller* steps) {
    Narration told(steps, target_);
    const auto verdict = awaitVerdict(answer, told);
    if (verdict) return settle(*verdict, told);
    status_.statusLine("Second stage: no verdict on the image");
    return unheard(told, StageOutcome::noVerdict);
}

std::optional<stage::Answer> StageVerdict::awaitVerdict(std::optional<stage::Answer> answer, Narration& told) {
    const int window = target_ == LoadTarget::ram ? timing_.verdictWindowMs : eepromStepWindowMs;
    if (answer && answer->code == stage::answer::accepted) answer = link_.awaitAnswer(window);
    for (int silences = 0;;) {
        if (!answer) {
            // The stage holds its verdict: a query has it again.
            if (++silences > StageLink::triesPerMessage) return std::nullopt;
            answer = link_.recover(0);
        } else if (answer->code == stage::answer::eepromProgress) {
            told.pages(answer->value);
            answer = link_.awaitAnswer(eepromStepWindowMs);
        } else if (answer->code == stage::answer::eepromWritten) {
            told.pages(answer->value);
            status_.statusLine(
                "Second stage: EEPROM programmed and verified (pages written: " + std::to_string(answer->value) + ")");
            told.programmed(true);
            answer = link_.awaitAnswer(finishWindowMs);
        } else if (isVerdict(answer->code)) {
            return answer;
        } else {
            // A query's answer while the stage is still at work on the image.
            answer = link_.awaitAnswer(window);
        }
    }
}

StageOutcome StageVerdict::settle(const stage::Answer& verdict, Narration& told) {
    const auto go = stage::frame({}, stage::goTrailer(timing_.goDelay));
    switch (verdict.code) {
        case stage::answer::proven:
            return proven(verdict.value, told);
        case stage::answer::sumWrong:
            status_.statusLine("Second stage: checksum error");
            told.checksumBad();
            finishWith(go);
            return StageOutcome::checksumError;
        case stage::answer::notStartable:
            // The ROM acknowledges such an image too before it shuts the chip down.
            status_.statusLine("Second stage: pbase is " + hex(verdict.value, 4) + ", not 0x0010");
            told.started();
            finishWith(go);
            return StageOutcome::notStarted;
        case stage::answer::eepromNoAck:
            status_.statusLine("Second stage: EEPROM page " + std::to_string(verdict.value) + " not acknowledged");
            told.pageFailed(PageFailure::notAcknowledged, verdict.value);
            told.programmed(false);
            finishWith(go);
            return StageOutcome::eepromFailed;
        default:  // stage::answer::eepromWrong
            status_.statusLine("Second stage: EEPROM page " + std::to_string(verdict.value) + " read back wrong");
            told.pageFailed(PageFailure::readBackWrong, verdict.value);
            told.verifyFailed();
            finishWith(go);
            return StageOutcome::eepromFailed;
    }
}

StageOutcome StageVerdict::proven(std::uint32_t crc, Narration& told) {
    if (crc != image_.ramCrc()) {
        status_.statusLine("Second stage: the chip's RAM is not the image sent (CRC " + hex(crc, 8) + ", the host's " +
                           hex(image_.ramCrc(), 8) + ")");
        told.notProven();
        // The stage starts an image on go alone: whether it answers the stop as go, refuses it, or
        // says nothing, this image does not start.
        finishWith(stage::frame({}, stage::stopTrailer()));
        return StageOutcome::mismatch;
    }
    if (!finishWith(stage::frame({}, stage::goTrailer(timing_.goDelay)))) {
        status_.statusLine("Second stage: go not answered");
        return unheard(told, StageOutcome::goUnheard);
    }
    told.started();
    if (target_ != LoadTarget::eepromShutdown) hearImage();
    return StageOutcome::loaded;
}

bool StageVerdict::finishWith(const std::vector<std::uint8_t>& message) {
    for (int tries = 0; tries < StageLink::triesPerMessage; ++tries) {
        auto answer = link_.exchange(message);
        // During the delay the stage answers anything with 'G' again.
        if (!answer) answer = link_.recover(0);
        if (!answer || isRefusal(*answer, stage::Refusal::notNow)) return false;
        if (answer->code == stage::answer::going) return true;
    }
    return false;
}

void StageVerdict::hearImage() {
    if (!timing_.imageBaud) return;
    if (!link_.setImageRate(*timing_.imageBaud)) {
        status_.statusLine("Second stage: the port refuses " + std::to_string(*timing_.imageBaud) + " baud");
        return;
    }
    // Asked once more at the image's rate while the stage counts down: the line is proven there
    // before the image talks (and a line that tells its rate only with the bytes it carries, as
    // the chip-logic rig's does, has been told).
    const auto there = link_.exchange(query());
    if (!there || there->code != stage::answer::going)
        status_.statusLine("Second stage: no answer at " + std::to_string(*timing_.imageBaud) +
                           " baud before the start");
}

StageOutcome StageVerdict::unheard(Narration& told, StageOutcome ramOutcome) {
    const bool eeprom = told.eepromBegun();
    told.silence();
    return eeprom ? StageOutcome::eepromFailed : ramOutcome;
}

}  // namespace kestrup
