#include "upload_job.h"

#include "image.h"
#include "image_file.h"
#include "messages.h"

namespace kestrup {

UploadJob::UploadJob(SerialLink& link, LoaderProtocol& protocol, UploadConsole& console, Notifier& notifier,
                     Clock& clock, UploadTiming timing, std::vector<ImageLoader*> loaders)
    : link_(link),
      protocol_(protocol),
      console_(console),
      notifier_(notifier),
      clock_(clock),
      timing_(timing),
      loaders_(std::move(loaders)) {}

bool UploadJob::openOrTell(const PortAddress& port) {
    if (link_.open(port)) return true;
    notifier_.notify(text::noComCaption, port.displayName() + std::string(text::notFoundSuffix));
    return false;
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

    const CheckedImage image = CheckedImage::of(image_, fileRead.bytes);
    const UploadOutcome outcome = finish(load(image), image.pbase);
    teardown();
    return outcome;
}

LoadResult UploadJob::load(const CheckedImage& image) {
    std::string why;
    for (ImageLoader* loader : loaders_) {
        LoadResult result = loader->load(image, target_);
        if (!result.outcome) {
            why = std::move(result.path);
            continue;
        }
        // Which path took the image is news only where there was another.
        if (loaders_.size() == 1) result.path.clear();
        if (!why.empty()) result.path += " (" + why + ")";
        return result;
    }
    // Unreachable while the last loader is the ROM's, which never gives way.
    return {UploadOutcome::notAcknowledged, std::move(why)};
}

UploadOutcome UploadJob::finish(const LoadResult& result, std::uint16_t pbase) {
    // The path line comes after the load's own lines, whichever loader took the image; none took an
    // image that no chip was there to take.
    if (pathLine_ && !result.path.empty() && result.outcome != UploadOutcome::noChip)
        pathLine_->statusLine(result.path);
    // The ROM, like the stage, starts only an image whose program begins at 0x0010; it acknowledges
    // any other and shuts the chip down. Known from the header, whichever loader carried it.
    UploadOutcome outcome = *result.outcome;
    if (outcome == UploadOutcome::loaded && target_ != LoadTarget::eepromShutdown && pbase != imagePbase)
        outcome = UploadOutcome::notStarted;
    if (outcome == UploadOutcome::notStarted && pathLine_) pathLine_->statusLine(text::notStartedLine(pbase));
    return outcome;
}

ChipIdentity UploadJob::identify(const PortAddress& port) {
    if (!openOrTell(port)) return {};
    link_.chipReset(timing_.reset);
    const std::int32_t version = protocol_.handshake();
    protocol_.shutDownChip();
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
