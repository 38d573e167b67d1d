#pragma once
// One way of putting an image into the chip, on the board's port, link and console: the ROM's own
// load, or the second stage's. An upload tries its loaders in turn until one takes the image.

#include <optional>

#include "events/load_events.h"
#include "image/image.h"

namespace kestrup {

struct LoadResult {
    // Nothing when the loader gave way, having shown nothing, for the next one to load the image.
    std::optional<UploadOutcome> outcome;
    // The path that took the image; when this one gave way, only why (in gaveWay).
    PathTaken path;
};

class ImageLoader {
public:
    virtual ~ImageLoader() = default;
    virtual LoadResult load(const CheckedImage& image, LoadTarget target) = 0;
};

}  // namespace kestrup
