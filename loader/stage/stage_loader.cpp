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

LoadResult gaveWay(GaveWay why) {
    return {std::nullopt, PathTaken{true, 0, why}};
}

}  // namespace

StageLoader::StageLoader(RomLoader& rom, SerialPort& port, EventGate& events, Clock& clock,
                         std::optional<int> imageBaud)
    : rom_(rom), port_(port), events_(events), steps_(events, clock), clock_(clock), stage_(clock, quiet_) {
    stage_.showProgress(&events_);
    stage_.setContactWindow(helloWindowMs, lastHelloMs);
    stage_.setImageBaud(imageBaud);
}

bool StageLoader::pays(std::span<const std::uint32_t> longs, LoadTarget target) const {
    // The ROM writes and reads back all 32 KB of the EEPROM once the image is in (4.7 s at 8 MHz);
    // the stage writes them at the EEPROM's own pace while the image still comes.
    if (target != LoadTarget::ram) return true;
    // The pilot through the ROM, the bootstrap through the pilot, and the stage through the bootstrap.
    const double stageMs = romLineMs(longsOf(firmware::pilot()), LongEncoding::fixed, romBaud) +
                           static_cast<double>(firmware::bootstrap().size()) * 11 * 1000 / pilot::baud +
                           static_cast<double>(secondStageImage(target).size()) * 11 * 1000 / boot::baud +
                           stageOverheadMs + static_cast<double>(longs.size()) * 4 * 11 * 1000 / stageSlowestBaud;
    return romLineMs(longs, rom_.encoding(), stage::contactBaud) > stageMs;
}

LoadResult StageLoader::giveWay(LoaderLine& line, GaveWay why) {
    // After hellos unanswered the line has been quiet for the last one's wait already.
    if (why != GaveWay::bootstrapSilent && why != GaveWay::stageSilent) clock_.pause(lastHelloMs);
    line.setBaud(stage::contactBaud);
    return gaveWay(why);
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
        // A bad checksum, RAM other than the host's picture of it, no verdict, or go unanswered:
        // what the ROM tells of a checksum it did not acknowledge.
        default:
            return UploadOutcome::notAcknowledged;
    }
}

LoadResult StageLoader::load(const CheckedImage& image, LoadTarget target) {
    events_.setOpen(false);
    LoadResult result = tryStage(image, target, true);
    // A board whose crystal does not run, or runs elsewhere than the image says: one more reset,
    // and the RC clock's rates, never the ROM's long load.
    if (result.path.crystal == CrystalUse::silent) {
        result = tryStage(image, target, false);
        if (result.outcome) result.path.crystal = CrystalUse::silent;
    }
    events_.setOpen(true);
    return result;
}

LoadResult StageLoader::tryStage(const CheckedImage& image, LoadTarget target, bool crystal) {
    const auto fit = StageImage::of(image);
    if (const auto* why = std::get_if<GaveWay>(&fit)) return gaveWay(*why);
    const StageImage& staged = std::get<StageImage>(fit);
    if (!pays(staged.longs, target)) return gaveWay(GaveWay::imageTooSmall);

    // The load's line: from here on the one owner of the port's rate and stop bits.
    LoaderLine line(port_, clock_);
    // The bootstrap carries the stage where the port makes its rate; else the ROM carries it all.
    const bool bootable = line.setBaud(boot::baud);
    if (!line.setBaud(romBaud, 1)) return gaveWay(GaveWay::portRefusesRomBaud);
    const auto stageLongs = longsOf(secondStageImage(target));
    // The pilot starts the crystal at once, so that it has settled once the stage comes: only the
    // RAM build moves the chip to it.
    const bool startCrystal = crystal && bootable && target == LoadTarget::ram && staged.onCrystalPll();
    const auto pilotLongs = startCrystal ? pilot::startingCrystal(longsOf(firmware::pilot()), staged.clockMode)
                                         : longsOf(firmware::pilot());
    const auto boot = bootRom(rom_, line, bootable ? pilotLongs : stageLongs);
    const std::int64_t acknowledged = clock_.nowMicros();
    // The pilot stores a long in the stop bits, which at 8 MHz takes both.
    line.setBaud(romBaud, 2);
    if (!boot.handshake.isChip()) return giveWay(line, GaveWay::noChip);
    if (boot.program != Acknowledgement::accepted)
        return giveWay(line, bootable ? GaveWay::romRefusedPilot : GaveWay::romRefusedStage);
    StageContact contact;
    if (bootable) {
        const auto carried = carryStage(line, stageLongs);
        if (const auto* why = std::get_if<GaveWay>(&carried)) return giveWay(line, *why);
        contact = std::get<StageContact>(carried);
        if (startCrystal) contact.crystalSince = acknowledged;
    }
    if (auto loaded = throughStage(line, staged, target, boot.handshake.version, contact)) return *loaded;
    LoadResult silent = giveWay(line, GaveWay::stageFailed);
    silent.path.crystal = CrystalUse::silent;
    return silent;
}

RomLoader::Boot bootRom(RomLoader& rom, LoaderLine& line, std::span<const std::uint32_t> longs) {
    // The ROM times pulses, not frames: with one stop bit the gap between two bytes is still no
    // shorter than the one-bit gaps inside them, and its phase takes a tenth less time on the line.
    // Three bits a byte, whatever the image's own encoding: see romBaud.
    auto boot = rom.boot(longs, LongEncoding::fixed);
    if (!boot.handshake.isChip() && line.setBaud(StageLoader::slowRomBaud, 1))
        boot = rom.boot(longs, LongEncoding::fixed);
    return boot;
}

std::variant<StageContact, GaveWay> StageLoader::carryStage(LoaderLine& line,
                                                            std::span<const std::uint32_t> stageLongs) {
    Bootstrap bootstrap(line, clock_);
    switch (bootstrap.send(stageLongs, helloWindowMs, lastHelloMs)) {
        case Bootstrap::Outcome::noAnswer:
            return GaveWay::bootstrapSilent;
        case Bootstrap::Outcome::failed:
            return GaveWay::bootstrapFailed;
        // Its first floor is the bit time of the bootstrap's load, at the rate the line is left at.
        case Bootstrap::Outcome::stageFresh:
            return StageContact{line.baud(), true, std::nullopt, bootstrap.chipHz()};
        case Bootstrap::Outcome::stageStarted:
            break;
    }
    return StageContact{};
}

std::optional<LoadResult> StageLoader::throughStage(LoaderLine& line, const StageImage& image, LoadTarget target,
                                                    std::int32_t version, StageContact contact) {
    StageSession session(stage_, line, image, target, contact);
    const StageReport report = session.send();
    if (report.outcome == StageOutcome::crystalSilent) return std::nullopt;
    if (report.outcome == StageOutcome::noAnswer) return giveWay(line, GaveWay::stageSilent);
    if (report.outcome != StageOutcome::sent) return giveWay(line, GaveWay::stageFailed);

    events_.setOpen(true);
    // The steps the ROM's own load would have told, the version first.
    steps_.version(version);
    steps_.end(Step::handshake, true);
    steps_.writing(static_cast<std::int32_t>(image.longs.size() * 4), target);
    steps_.verifying();
    const StageOutcome outcome = session.judge(&steps_);
    return LoadResult{outcomeOf(outcome), PathTaken{true, report.baud, GaveWay::none,
                                                    report.onCrystal ? CrystalUse::pll : CrystalUse::none}};
}

}  // namespace kestrup
