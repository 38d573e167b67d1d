#include "rom/rom_loader.h"

namespace kestrup {

RomLoader::RomLoader(SerialLink& link, LoaderProtocol& protocol, ResetPulse reset, LongEncoding encoding,
                     HandshakeBits handshake)
    : link_(link), protocol_(protocol), reset_(reset), encoding_(encoding), handshake_(handshake) {}

LoadResult RomLoader::load(const CheckedImage& image, LoadTarget target) {
    return {outcome(image, target), PathTaken{}};
}

UploadOutcome RomLoader::outcome(const CheckedImage& image, LoadTarget target) {
    protocol_.setEncoding(encoding_);
    protocol_.showProgress(true);
    link_.chipReset(reset_);
    const bool chip = protocol_.handshake(handshake_).isChip();
    LoadTeller& told = protocol_.teller();
    told.end(Step::handshake, chip);
    // A file too short to hold its own length word is refused: long 2 would be an earlier image's.
    if (chip && !image.complete) {
        told.begin(Step::header);
        told.end(Step::header, false);
    }
    if (!image.complete || !chip) {
        protocol_.shutDownChip();
        return chip ? UploadOutcome::headerRejected : UploadOutcome::noChip;
    }
    // A refused checksum and none at all end alike: "CheckSum Error".
    if (target == LoadTarget::ram)
        return protocol_.imageLoad(image.length, image.longs) == Acknowledgement::accepted
                   ? UploadOutcome::loaded
                   : UploadOutcome::notAcknowledged;
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
    // Three bits a byte whatever the image's load uses: the stage's path is the lean one.
    return protocol_.boot(HandshakeBits::threePerByte, program);
}

}  // namespace kestrup
