#include "stage/second_stage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "image/image.h"
#include "stage/firmware/firmware.h"
#include "stage/packet_pipeline.h"
#include "stage/stage_verdict.h"

namespace kestrup {

std::span<const std::uint8_t> secondStageImage(LoadTarget target) {
    return target == LoadTarget::ram ? firmware::ramStage() : firmware::eepromStage();
}

std::variant<StageImage, GaveWay> StageImage::of(const CheckedImage& image) {
    const std::uint16_t vbase = image.length;
    // Left to the ROM, which tells what is wrong with them.
    if (!image.complete || vbase < imageHeaderBytes || vbase % 4 != 0 || vbase / 4u > image.longs.size())
        return GaveWay::notStageImage;
    if (vbase / 4u > stage::maxLongs) return GaveWay::imageTooLarge;
    // The stage writes the stack markers above the image and proves RAM with them there.
    if (image.dbase < vbase + 8u || image.dbase > chipRamBytes) return GaveWay::stackMarkersBelow;
    return StageImage{image.longs.first(vbase / 4u), image.pbase, image.dbase, image.longs[0],
                      static_cast<std::uint8_t>(image.longs[1] & 0xFF)};
}

bool StageImage::onCrystalPll() const {
    constexpr std::uint8_t reset = 0x80, pllAndOscillator = 0x60, firstPllTap = 3;
    return (clockMode & reset) == 0 && (clockMode & pllAndOscillator) == pllAndOscillator &&
           (clockMode & 7) >= firstPllTap;
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

// A message to go behind another in one write: after the filler that gives the stage's talker the
// time to check the first and order the receiver for the next, as packets have it.
std::vector<std::uint8_t> behindAnother(const std::vector<std::uint8_t>& message) {
    std::vector<std::uint8_t> bytes(stage::streamGapBytes + message.size(), 0xFF);
    std::copy(message.begin(), message.end(), bytes.begin() + stage::streamGapBytes);
    return bytes;
}

}  // namespace

SecondStage::SecondStage(Clock& clock, StatusSink& status)
    : clock_(clock), status_(status), plan_{{stage::rateLadder.begin(), stage::rateLadder.end()}, true} {}

StageReport SecondStage::load(LoaderLine& line, const StageImage& image, LoadTarget target,
                              StageContact contact) const {
    StageSession session(*this, line, image, target, contact);
    StageReport report = session.send();
    if (report.outcome == StageOutcome::sent) report.outcome = session.judge(nullptr);
    return report;
}

StageSession::StageSession(const SecondStage& stage, LoaderLine& line, const StageImage& image, LoadTarget target,
                           StageContact contact)
    : stage_(stage), link_(line, stage.clock_), image_(image), target_(target), contact_(contact) {}

StageSession::Greeted StageSession::contact(std::span<const std::uint8_t> behind) {
    const auto hello = stage::helloFrame();
    const auto greeted = [&](const std::optional<stage::Answer>& answer) {
        if (!answer || answer->code != stage::answer::hello) return false;
        report_.chipHz = static_cast<std::int64_t>(answer->value) * link_.baud() / 4;
        return true;
    };
    // Counted on the clock, not in pauses: the window is what the fallback after it costs.
    Clock& clock = stage_.clock_;
    const std::int64_t start = clock.nowMicros();
    // One hello and its answer's whole window, so that none is answered twice: the host waited for
    // the stage's start. The window is the hellos' too.
    if (contact_.listening && greeted(link_.exchange(hello, behind))) return Greeted::first;
    for (;;) {
        const std::int64_t spentMs = (clock.nowMicros() - start) / 1000;
        if (spentMs >= stage_.contactMs_ + stage_.lastHelloMs_) return Greeted::none;
        // The line stays idle between hellos, so the stage takes any of them as its first sync,
        // whenever it starts listening.
        if (spentMs < stage_.contactMs_) link_.write(hello);
        if (greeted(link_.awaitAnswer(SecondStage::helloEveryMs))) return Greeted::later;
    }
}

void StageSession::awaitCrystal(std::int64_t rcHz) {
    Clock& clock = stage_.clock_;
    const std::int64_t settledAt = *contact_.crystalSince + stage::settleClocks * 1'000'000 / rcHz;
    if (const std::int64_t left = settledAt - clock.nowMicros(); left > 0)
        clock.pause(static_cast<int>((left + 999) / 1000));
}

std::vector<std::uint8_t> StageSession::clockMessage() const {
    // Two bit times of the fastest rate on the new clock: a filler's start bit is none.
    const auto floor =
        static_cast<std::uint32_t>(2 * std::int64_t{image_.clockHz} / stage::chipsOwnBaud(image_.clockHz));
    return stage::frame({}, stage::clockTrailer(image_.clockMode, floor));
}

std::vector<std::uint8_t> StageSession::beginMessage() const {
    return stage::frame({}, stage::beginTrailer(static_cast<std::uint32_t>(image_.longs.size()), beginFlags()));
}

bool StageSession::toCrystal(bool sent) {
    const int rcBaud = link_.baud();
    // Answered at the RC clock's rate, then the chip moves. A stage moved whose answer was lost still
    // hears the message at this rate, slower on the new clock, and answers it again.
    const auto message = clockMessage();
    const auto moved = sent ? link_.awaitAnswer(link_.answerWindowMs(message.size())) : std::nullopt;
    if ((!moved || moved->code != stage::answer::clock) && !link_.ask(message, {stage::answer::clock})) return false;
    const int fastest = stage::chipsOwnBaud(image_.clockHz);
    // The fastest rate the port makes and the stage hears on the new clock: the adapter's top, else
    // the ladder's, whose syncs are all above the floor.
    std::vector<int> rates{fastest};
    for (const int rate : stage::rateLadder)
        if (rate < fastest) rates.push_back(rate);
    const auto begin = behindAnother(beginMessage());
    for (const int rate : rates) {
        if (!link_.moveTo(rate)) continue;
        const auto heard = link_.exchange(stage::helloFrame(), begin);
        if (!heard || (heard->code != stage::answer::hello && heard->code != stage::answer::begun)) continue;
        // The hello's answer gives the new clock; lost, the begin's still shows the rate heard.
        report_.chipHz = heard->code == stage::answer::hello ? static_cast<std::int64_t>(heard->value) * rate / 4
                                                             : std::int64_t{image_.clockHz};
        if (heard->code == stage::answer::begun) begunEarly_ = heard;
        report_.onCrystal = beginSent_ = true;
        return true;
    }
    link_.moveTo(rcBaud);
    return false;
}

std::uint8_t StageSession::beginFlags() const {
    std::uint8_t flags = 0;
    if (target_ != LoadTarget::ram) flags |= stage::beginProgramEeprom;
    if (target_ == LoadTarget::eepromRun) flags |= stage::beginRunAfterEeprom;
    const auto mhz = std::min<std::int64_t>((report_.chipHz + 999999) / 1000000, 63);
    return static_cast<std::uint8_t>(flags | mhz << stage::beginMegahertzShift);
}

bool StageSession::begin() {
    const auto longs = static_cast<std::uint32_t>(image_.longs.size());
    const auto message = beginMessage();
    // The begin is the first message at the new rate: its answer shows that the stage hears it there,
    // without a round trip of its own; none has the host go on to the next rate at once. On the
    // crystal it went behind the hello.
    std::optional<stage::Answer> begun = std::exchange(begunEarly_, std::nullopt);
    if (!begun && std::exchange(beginSent_, false)) begun = link_.awaitAnswer(link_.answerWindowMs(message.size()));
    while (rates_->untried()) {
        begun = link_.exchange(message);
        if (begun) {
            rates_->heard();
        } else if (!rates_->unheard()) {
            report_.outcome = StageOutcome::failed;
            return false;
        }
    }
    report_.baud = link_.baud();
    if (!begun || (begun->code != stage::answer::begun && begun->code != stage::answer::beginRefused))
        begun = link_.ask(message, {stage::answer::begun, stage::answer::beginRefused});
    if (begun && begun->code == stage::answer::begun) return true;
    if (begun) stage_.status_.statusLine("Second stage: the image refused (" + std::to_string(longs) + " longs)");
    report_.outcome = begun ? StageOutcome::refused : StageOutcome::failed;
    return false;
}

StageReport StageSession::send() {
    StatusSink& status = stage_.status_;
    report_ = {};
    link_.forget();
    // The stage's first syncs are timed for its contact rate, whatever the line's was.
    if (!link_.moveTo(contact_.baud)) {
        status.statusLine("Second stage: the port refuses " + std::to_string(contact_.baud) + " baud");
        report_.outcome = StageOutcome::noAnswer;
        return report_;
    }
    // A crystal that beats the fastest RC clock's rates: the clock message goes behind the hello to a
    // stage already listening, without a round trip of its own, once the slowest RC clock would have
    // let the crystal settle.
    const bool early = contact_.crystalSince && contact_.listening && crystalPays(stage::fastestRcHz, image_.clockHz);
    if (early) awaitCrystal(stage::slowestRcHz);
    std::vector<std::uint8_t> behind;
    if (early) behind = behindAnother(clockMessage());
    // A clock the bootstrap has measured already: the rates by it, and the first rate message behind
    // the first hello, without a round trip of its own.
    int rateAhead = 0;
    if (contact_.listening && contact_.chipHz != 0 && !contact_.crystalSince) {
        rates_.emplace(link_, status, stage_.plan_, contact_.chipHz, target_);
        rateAhead = rates_->firstRate(contact_.baud);
        if (rateAhead != 0) behind = behindAnother(StageLink::rateMessage(rateAhead, contact_.chipHz));
    }
    const Greeted greeting = contact(behind);
    if (greeting == Greeted::none) {
        status.statusLine("Second stage: no answer");
        report_.outcome = StageOutcome::noAnswer;
        return report_;
    }
    const bool crystal = early || (contact_.crystalSince && crystalPays(report_.chipHz, image_.clockHz));
    if (crystal && !early) awaitCrystal(report_.chipHz);
    if (crystal) {
        if (!toCrystal(early)) {
            status.statusLine("Second stage: silent on the crystal");
            report_.outcome = StageOutcome::crystalSilent;
            return report_;
        }
    }
    if (!rates_) rates_.emplace(link_, status, stage_.plan_, report_.chipHz, target_);
    // A later hello answered: the one with the rate behind it went unheard, or its answer was lost.
    if (!rates_->choose(greeting == Greeted::first ? rateAhead : 0)) {
        status.statusLine("Second stage: lost while choosing a rate");
        return report_;
    }
    if (!begin()) return report_;
    status.statusLine("Second stage: chip at " + megahertz(report_.chipHz) + (report_.onCrystal ? " (crystal)" : "") +
                      ", " + std::to_string(report_.baud) + " baud");
    link_.setImageComing(true);
    PacketPipeline pipeline(link_, *rates_, status, stage_.progress_, image_.longs);
    lastPacketAnswer_ = pipeline.send();
    link_.setImageComing(false);
    report_.baud = link_.baud();
    report_.resends = pipeline.resends();
    report_.outcome = lastPacketAnswer_ ? StageOutcome::sent : StageOutcome::failed;
    return report_;
}

StageOutcome StageSession::judge(LoadTeller* steps) {
    StageVerdict::Timing timing;
    // Twice the stage's own work after the last packet (the zero fill, the sum, the proof), so that
    // a lost verdict is asked for soon.
    timing.verdictWindowMs =
        static_cast<int>(2 * stage::verdictClocks * 1000 / std::max<std::int64_t>(report_.chipHz, 1)) +
        StageLink::answerMarginMs;
    const double delay = stage_.imageBaud_ ? stage::goDelayHeardSeconds : stage::goDelaySeconds;
    timing.goDelay = static_cast<std::uint32_t>(std::ceil(delay * static_cast<double>(report_.chipHz) / 256));
    timing.imageBaud = stage_.imageBaud_;
    return StageVerdict(link_, stage_.status_, image_, target_, timing).judge(lastPacketAnswer_, steps);
}

}  // namespace kestrup
