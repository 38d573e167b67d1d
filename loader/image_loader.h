#pragma once
// One way of putting an image into the chip, on the board's port, link and console: the ROM's own
// load, or the second stage's. An upload tries its loaders in turn until one takes the image.

#include <optional>
#include <string>

#include "image.h"

namespace kestrup {

enum class UploadOutcome {
    loaded,           // the chip acknowledged the checksum ("..OK -> RUN")
    portNotOpened,    // the "No COM" message, nothing else happened
    fileMissing,      // "No such file"
    noChip,           // "Code Error -> Abort" as well, but no chip gave its version: nothing answered
    headerRejected,   // "Code Error -> Abort": a chip answered, the image is shorter than its header says
    notAcknowledged,  // "CheckSum Error": rejected checksum or no answer
    eepromFailed,     // the EEPROM was not programmed or did not verify
    notStarted,       // the chip took the image ("..OK -> RUN") but shut down: its pbase is not 0x0010
};

// Where the image goes: RAM (what the window program does), or the EEPROM, then run or shut down.
enum class LoadTarget { ram, eepromRun, eepromShutdown };

struct LoadResult {
    // Nothing when the loader gave way, having shown nothing, for the next one to load the image.
    std::optional<UploadOutcome> outcome;
    // The path that took the image ("second stage at 921600 baud"), or why this one gave way.
    std::string path;
};

class ImageLoader {
public:
    virtual ~ImageLoader() = default;
    virtual LoadResult load(const CheckedImage& image, LoadTarget target) = 0;
};

}  // namespace kestrup
