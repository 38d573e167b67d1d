#include "rom/rom_loader.h"

namespace kestrup {

RomLoader::RomLoader(SerialLink& link, LoaderProtocol& protocol, ResetPulse reset, LongEncoding encoding)
    : link_(link), protocol_(protocol), reset_(reset), encoding_(encoding) {}

LoadResult RomLoader::load(const CheckedImage& image, LoadTarget target) {
    return {outcome(image, target), PathTaken{}};
}

UploadOutcome RomLoader::outcome(const CheckedImage& image, LoadTarget target) {
    protocol_.setEncoding(encoding_);
    protocol_.showProgress(true);
    link_.chipReset(reset_);
    const std::int32_t version = protocol_.handshake(HandshakeBits::threePerByte);
    LoadTeller& told = protocol_.teller();
    told.end(Step::handshake, version >= 1);
    // A file too short to hold its own length word is refused: long 2 would be an earlier image's.
    if (version >= 1 && !image.complete) {
        told.begin(Step::header);
        told.end(Step::header, false);
    }
    if (!image.complete || version < 1) {
        protocol_.shutDownChip();
        return version < 1 ? UploadOutcome::noChip : UploadOutcome::headerRejected;
    }
    if (target == LoadTarget::ram)
        return protocol_.imageLoad(image.length, image.longs) ? UploadOutcome::loaded : UploadOutcome::notAcknowledged;
    switch (protocol_.programEeprom(image.length, image.longs, target == LoadTarget::eepromRun)) {
        case EepromResult::done:
            return UploadOutcome::loaded;
        case EepromResult::checksumError:
            return UploadOutcome::notAcknowledged;
        default:
            return UploadOutcome::eepromFailed;
    }
}

RomLoader::Boot RomLoader::boot(std::span<const std::uint32_t> program, LongEncoding encoding) {
    protocol_.setEncoding(encoding);
    protocol_.showProgress(false);
    link_.chipReset(reset_);
    const std::int32_t version = protocol_.handshake(HandshakeBits::threePerByte);
    if (version < 1) return {};
    return {version, protocol_.imageLoad(static_cast<std::int32_t>(program.size() * 4), program)};
}

}  // namespace kestrup
