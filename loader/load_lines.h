#pragma once
// The status lines of a load from the handshake on, in the words the window program always used,
// whichever path carries the image: the ROM's own protocol, or the second stage after it.

#include <cstdint>

#include "status_sink.h"

namespace kestrup {

class LoadLines {
public:
    explicit LoadLines(StatusSink& sink) : sink_(sink) {}

    void version(std::int32_t version);
    void writing(std::int32_t byteCount);
    void verifying();
    void timeOut();
    // Into RAM: the chip took the checksum and runs the image, or refused it.
    void ramVerdict(bool acknowledged);
    // Into the EEPROM, step by step: the checksum (then programming starts), the programming, the
    // verification (then the chip runs the image or shuts down).
    void eepromChecksum(bool acknowledged);
    void eepromProgrammed(bool done);
    void eepromVerified(bool done, bool run);

private:
    StatusSink& sink_;
};

}  // namespace kestrup
