#pragma once
// The boot ROM's own load: reset, handshake, the header's check, then the image into RAM or the
// EEPROM, on the board's link and protocol. It never gives way: whatever the chip makes of the
// image is the upload's outcome.

#include <cstdint>
#include <optional>
#include <span>

#include "events/image_loader.h"
#include "rom/loader_protocol.h"
#include "rom/serial_link.h"
#include "rom/upload_timing.h"

namespace kestrup {

class RomLoader final : public ImageLoader {
public:
    // `encoding` and `handshake` are the image's load's; the protocol is shared, so each load sets
    // what it needs on it, and tells the load's steps through it.
    RomLoader(SerialLink& link, LoaderProtocol& protocol, ResetPulse reset, LongEncoding encoding = LongEncoding::fixed,
              HandshakeBits handshake = HandshakeBits::threePerByte);

    LoadResult load(const CheckedImage& image, LoadTarget target) override;
    // The ROM loads and starts a program of the host's own (the second stage), showing no progress.
    using Boot = BootResult;
    Boot boot(std::span<const std::uint32_t> program, LongEncoding encoding);

    LongEncoding encoding() const { return encoding_; }
    ResetPulse reset() const { return reset_; }

private:
    UploadOutcome outcome(const CheckedImage& image, LoadTarget target);

    SerialLink& link_;
    LoaderProtocol& protocol_;
    ResetPulse reset_;
    LongEncoding encoding_;
    HandshakeBits handshake_;
};

}  // namespace kestrup
