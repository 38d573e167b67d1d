#include "stage/stage_loader.h"

#include <algorithm>
#include <variant>
#include <vector>

#include "image/image.h"
#include "rom/dense_encoding.h"
#include "stage/bootstrap.h"

namespace kestrup {
namespace {

// Milliseconds on the line for these longs sent through the ROM at this rate, command and count
// included.
double romLineMs(std::span<const std::uint32_t> longs, LongEncoding encoding, int baud) {
    const std::size_t bytes = encoding == LongEncoding::fixed ? bytesPerLong * (longs.size() + 2)
                                                              : encodeDense(longs).size() + 2 * bytesPerLong;
    return static_cast<double>(bytes) * 11 * 1000 / baud;
}

// What the bootstrap and the stage add besides their own lines: the bootstrap's start after the ROM's
// acknowledgement, the hellos, the begin, and the stage's verdict. On the rig that is 48 ms at
// 12 MHz, where the stage's line is 24 ms shorter than counted here (at 748800 baud) and the image's
// a third shorter, and 71 ms at 8 MHz, where a 1 KB image, near the least this sends by the stage,
// still starts 35 ms sooner than by the ROM. The ROM's checksum wait comes in either path. The image
// itself then goes at 614400 baud or faster (12 clocks a bit), which every chip of 7.4 MHz or more
// takes.
constexpr double stageOverheadMs = 50;
constexpr double stageSlowestBaud = 614400;

LoadResult gaveWay(std::string why) {
    return {std::nullopt, PathTaken{true, 0, std::move(why)}};
}

}  // namespace

StageLoader::StageLoader(RomLoader& rom, SerialPort& port, EventGate& events, Clock& clock,
                         std::optional<int> imageBaud)
    : rom_(rom), port_(port), events_(events), steps_(events, clock), clock_(clock), stage_(port, clock, quiet_) {
    stage_.showProgress(&events_);
    stage_.setContactWindow(helloWindowMs, lastHelloMs);
    stage_.setImageBaud(imageBaud);
}

bool StageLoader::pays(std::span<const std::uint32_t> longs, LoadTarget target) const {
    // The ROM writes and reads back all 32 KB of the EEPROM (4.7 s at 8 MHz), the stage only the
    // pages that differ.
    if (target != LoadTarget::ram) return true;
    // The pilot through the ROM, the bootstrap through the pilot, and the stage through the bootstrap.
    const double stageMs = romLineMs(longsOf(firmware::pilot()), LongEncoding::fixed, romBaud) +
                           static_cast<double>(firmware::bootstrap().size()) * 11 * 1000 / pilot::baud +
                           static_cast<double>(secondStageImage(target).size()) * 11 * 1000 / boot::baud +
                           stageOverheadMs + static_cast<double>(longs.size()) * 4 * 11 * 1000 / stageSlowestBaud;
    return romLineMs(longs, rom_.encoding(), stage::contactBaud) > stageMs;
}

LoadResult StageLoader::giveWay(std::string why, bool quietFirst) {
    if (quietFirst) clock_.pause(lastHelloMs);
    port_.setBaud(stage::contactBaud);
    return gaveWay(std::move(why));
}

UploadOutcome StageLoader::outcomeOf(StageOutcome outcome) {
    switch (outcome) {
        case StageOutcome::loaded:
            return UploadOutcome::loaded;
        // The ROM acknowledges such an image too, then shuts the chip down.
        case StageOutcome::notStarted:
            return UploadOutcome::notStarted;
        case StageOutcome::eepromFailed:
            return UploadOutcome::eepromFailed;
        // A bad checksum, RAM other than the host's picture of it, or no verdict: what the ROM tells
        // of a checksum it did not acknowledge.
        default:
            return UploadOutcome::notAcknowledged;
    }
}

LoadResult StageLoader::load(const CheckedImage& image, LoadTarget target) {
    events_.setOpen(false);
    LoadResult result = tryStage(image, target);
    events_.setOpen(true);
    return result;
}

LoadResult StageLoader::tryStage(const CheckedImage& image, LoadTarget target) {
    const auto fit = StageImage::of(image);
    if (const auto* why = std::get_if<std::string_view>(&fit)) return gaveWay(std::string(*why));
    const StageImage& staged = std::get<StageImage>(fit);
    if (!pays(staged.longs, target)) return gaveWay("image too small for the second stage to pay");

    // The bootstrap carries the stage where the port makes its rate; else the ROM carries it all.
    const bool bootable = port_.setBaud(boot::baud);
    if (!port_.setBaud(romBaud)) return gaveWay("the port refuses " + std::to_string(romBaud) + " baud");
    const auto stageLongs = longsOf(secondStageImage(target));
    // The ROM times pulses, not frames: with one stop bit the gap between two bytes is still no
    // shorter than the one-bit gaps inside them, and its phase takes a tenth less time on the line.
    port_.setStopBits(1);
    // Three bits a byte, whatever the image's own encoding: see romBaud.
    const auto boot = rom_.boot(bootable ? longsOf(firmware::pilot()) : stageLongs, LongEncoding::fixed);
    // The pilot stores a long in the stop bits, which at 8 MHz takes both.
    port_.setStopBits(2);
    if (!boot.handshake.isChip()) return giveWay("no chip answered", true);
    if (boot.program != Acknowledgement::accepted)
        return giveWay(bootable ? "the ROM did not take the pilot" : "the ROM did not take the second stage", true);
    stage_.setStartBaud(romBaud);
    stage_.setContact(stage::contactBaud, false);
    if (bootable) {
        Bootstrap bootstrap(port_, clock_);
        switch (bootstrap.send(stageLongs, helloWindowMs, lastHelloMs)) {
            case Bootstrap::Outcome::noAnswer:
                return giveWay("bootstrap did not answer", false);
            case Bootstrap::Outcome::failed:
                return giveWay("bootstrap did not take the second stage", true);
            case Bootstrap::Outcome::started:
                break;
        }
        stage_.setStartBaud(bootstrap.baud());
        if (bootstrap.stageFresh()) stage_.setContact(bootstrap.baud(), true);
    }

    StageReport report = stage_.send(staged, target);
    if (report.outcome == StageOutcome::noAnswer) return giveWay("second stage did not answer", false);
    if (report.outcome != StageOutcome::sent) return giveWay("second stage failed", true);

    events_.setOpen(true);
    // The steps the ROM's own load would have told, the version first.
    steps_.version(boot.handshake.version);
    steps_.end(Step::handshake, true);
    steps_.writing(static_cast<std::int32_t>(staged.longs.size() * 4), target);
    steps_.verifying();
    const StageOutcome outcome = stage_.judge(target, &steps_);
    return {outcomeOf(outcome), PathTaken{true, report.baud, {}}};
}

}  // namespace kestrup
