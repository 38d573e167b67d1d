#include "upload/upload_job.h"

#include "image/image.h"

namespace kestrup {

UploadJob::UploadJob(SerialLink& link, LoaderProtocol& protocol, UploadConsole& console, LoadEvents& events,
                     Clock& clock, UploadTiming timing, std::vector<ImageLoader*> loaders)
    : link_(link),
      protocol_(protocol),
      console_(console),
      told_(events, clock),
      clock_(clock),
      timing_(timing),
      loaders_(std::move(loaders)) {}

bool UploadJob::openOrTell(const PortAddress& port) {
    PortOpen opened = link_.open(port);
    if (opened) return true;
    told_.notOpened(std::move(opened));
    return false;
}

UploadOutcome UploadJob::run(const std::string& imagePath, const PortAddress& port) {
    return session(port, [&]() -> const ImageFile& {
        readImageFile(imagePath, imageBufferBytes, file_);
        return file_;
    });
}

UploadOutcome UploadJob::run(const ImageFile& image, const PortAddress& port) {
    return session(port, [&image]() -> const ImageFile& { return image; });
}

UploadOutcome UploadJob::refuse() {
    return finish({UploadOutcome::imageRefused});
}

UploadOutcome UploadJob::session(const PortAddress& port, const std::function<const ImageFile&()>& readImage) {
    told_.begin(Step::open);
    if (!openOrTell(port)) return finish({UploadOutcome::portNotOpened});
    console_.open();
    pause(timing_.consoleSettleMs);
    if (timing_.resetBeforeReading) link_.chipReset(timing_.reset);
    told_.end(Step::open, true);
    told_.begin(Step::handshake);

    const ImageFile& file = readImage();
    if (!file.wasRead()) {
        tellUnread(file);
        return finish(
            {file.state == ImageFile::State::missing ? UploadOutcome::fileMissing : UploadOutcome::fileUnreadable});
    }
    // The buffer keeps an earlier image's longs past this one's: CheckedImage tells them apart.
    storeLongs(file.bytes, image_);
    const CheckedImage image = CheckedImage::of(image_, file.bytes.size());
    return finish(judge(load(image), image.pbase));
}

void UploadJob::tellUnread(const ImageFile& file) {
    Ended ended{Step::file, false, clock_.nowMicros()};
    if (file.state == ImageFile::State::unreadable) ended.unreadable = file.error;
    told_.tell(ended);
}

UploadOutcome UploadJob::finish(Verdict verdict) {
    // Told while the console is still there to show what it brings.
    told_.tell(verdict);
    if (link_.isOpen()) teardown();
    told_.finished();
    return verdict.outcome;
}

LoadResult UploadJob::load(const CheckedImage& image) {
    GaveWay why = GaveWay::none;
    for (ImageLoader* loader : loaders_) {
        LoadResult result = loader->load(image, target_);
        if (!result.outcome) {
            why = result.path.gaveWay;
            continue;
        }
        result.path.gaveWay = why;
        return result;
    }
    // Unreachable while the last loader is the ROM's, which never gives way.
    return {UploadOutcome::notAcknowledged, {}};
}

Verdict UploadJob::judge(const LoadResult& result, std::uint16_t pbase) {
    // Which path took the image is news only where there was another, and comes after the load's
    // own steps; none took an image that no chip was there to take.
    if (loaders_.size() > 1 && result.outcome != UploadOutcome::noChip) told_.tell(result.path);
    // The ROM, like the stage, starts only an image whose program begins at 0x0010; it acknowledges
    // any other and shuts the chip down. Known from the header, whichever loader carried it.
    UploadOutcome outcome = *result.outcome;
    if (outcome == UploadOutcome::loaded && target_ != LoadTarget::eepromShutdown && pbase != imagePbase)
        outcome = UploadOutcome::notStarted;
    return {outcome, pbase};
}

ChipIdentity UploadJob::identify(const PortAddress& port) {
    // Begun and finished, so that the report can tell how long it took.
    told_.begin(Step::open);
    const ChipIdentity identity = askChip(port);
    told_.finished();
    return identity;
}

ChipIdentity UploadJob::askChip(const PortAddress& port) {
    if (!openOrTell(port)) return {};
    if (probe_) {
        const BoardProbe::Result probed = probe_->describe(port.displayName());
        // A port that refuses the probe's rates is asked as the ROM alone would ask it.
        if (probed.handshake) {
            link_.purgeReceive();
            link_.close();
            if (!probed.handshake->isChip()) return {ChipIdentity::Answer::noChip, 0, std::nullopt};
            return {ChipIdentity::Answer::chip, probed.handshake->version, probed.board};
        }
    }
    link_.chipReset(timing_.reset);
    const HandshakeResult handshake = protocol_.handshake();
    protocol_.shutDownChip();
    link_.purgeReceive();
    link_.close();
    if (!handshake.isChip()) return {ChipIdentity::Answer::noChip, 0, std::nullopt};
    return {ChipIdentity::Answer::chip, handshake.version, std::nullopt};
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
