#include "upload_job.h"

#include "image.h"
#include "image_file.h"
#include "messages.h"
#include "stage_path.h"

namespace kestrup {

UploadJob::UploadJob(SerialLink& link, LoaderProtocol& protocol, UploadConsole& console, Notifier& notifier,
                     Clock& clock, UploadTiming timing)
    : link_(link), protocol_(protocol), console_(console), notifier_(notifier), clock_(clock), timing_(timing) {}

bool UploadJob::openOrTell(const PortAddress& port) {
    if (link_.open(port)) return true;
    notifier_.notify(text::noComCaption, port.displayName() + std::string(text::notFoundSuffix));
    return false;
}

void UploadJob::shutDownChip() {
    protocol_.sendLong(static_cast<std::uint32_t>(Command::shutdown));
    link_.flush();
}

UploadOutcome UploadJob::run(const std::string& imagePath, const PortAddress& port) {
    if (!openOrTell(port)) return UploadOutcome::portNotOpened;
    console_.open();
    pause(timing_.consoleSettleMs);
    if (timing_.resetBeforeReading) link_.chipReset(timing_.reset);
    console_.statusLine(text::startUpload);

    auto file = openImageFile(imagePath);
    if (!file) {
        console_.statusLine(text::noSuchFile);
        teardown();
        return UploadOutcome::fileMissing;
    }
    const LongsRead fileRead = readLongs(*file, image_);
    file.reset();

    // The path line comes after the load's own lines, whichever path took the image.
    std::string path;
    if (stagePath_) {
        StagePath::Result staged = stagePath_->load(image_, fileRead.bytes, target_, console_);
        if (staged.outcome) {
            const UploadOutcome outcome = finish(*staged.outcome, staged.path);
            teardown();
            return outcome;
        }
        path = std::move(staged.path);
    }
    link_.chipReset(timing_.reset);
    const std::int32_t version = protocol_.handshake();

    const std::uint16_t imageLength = imageLengthFromLongs(image_);
    // A file too short to hold its own length word is refused: long 2 would be an earlier image's.
    const bool headerOk = holdsItsLength(fileRead.bytes, imageLength) && version >= 1;
    UploadOutcome outcome = version < 1 ? UploadOutcome::noChip : UploadOutcome::headerRejected;
    if (!headerOk) {
        console_.statusLine(text::codeError);
        shutDownChip();
    } else if (target_ == LoadTarget::ram) {
        outcome = protocol_.imageLoad(imageLength, image_) ? UploadOutcome::loaded : UploadOutcome::notAcknowledged;
    } else {
        switch (protocol_.programEeprom(imageLength, image_, target_ == LoadTarget::eepromRun)) {
            case EepromResult::done:
                outcome = UploadOutcome::loaded;
                break;
            case EepromResult::checksumError:
                outcome = UploadOutcome::notAcknowledged;
                break;
            default:
                outcome = UploadOutcome::eepromFailed;
                break;
        }
    }
    outcome = finish(outcome, path);
    teardown();
    return outcome;
}

UploadOutcome UploadJob::finish(UploadOutcome outcome, const std::string& path) {
    // No path took an image that no chip was there to take.
    if (pathLine_ && !path.empty() && outcome != UploadOutcome::noChip) pathLine_->statusLine(path);
    // The ROM, like the stage, starts only an image whose program begins at 0x0010; it acknowledges
    // any other and shuts the chip down. Known from the header, whichever path carried it.
    const auto pbase = static_cast<std::uint16_t>(image_[1] >> 16);
    if (outcome == UploadOutcome::loaded && target_ != LoadTarget::eepromShutdown && pbase != imagePbase)
        outcome = UploadOutcome::notStarted;
    if (outcome == UploadOutcome::notStarted && pathLine_) pathLine_->statusLine(text::notStartedLine(pbase));
    return outcome;
}

ChipIdentity UploadJob::identify(const PortAddress& port) {
    if (!openOrTell(port)) return {};
    link_.chipReset(timing_.reset);
    const std::int32_t version = protocol_.handshake();
    shutDownChip();
    link_.purgeReceive();
    link_.close();
    if (version < 1) return {ChipIdentity::Answer::noChip};
    return {ChipIdentity::Answer::chip, version};
}

void UploadJob::pause(int milliseconds) {
    if (milliseconds > 0) clock_.pause(milliseconds);
}

void UploadJob::teardown() {
    link_.purgeReceive();
    pause(timing_.teardownMs);
    link_.close();
    console_.close();
}

}  // namespace kestrup
