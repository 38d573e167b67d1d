#pragma once
// Files behind the settings: reading one whole, and a save that never leaves a half-written file
// in the old one's place.

#include <optional>
#include <string>
#include <string_view>

namespace kestrup::settings {

class Storage {
public:
    virtual ~Storage() = default;
    // The file's bytes; nothing when it is missing or cannot be opened for reading.
    virtual std::optional<std::string> read(const std::string& path) = 0;
    // Creates or empties the file and writes the bytes, others may read meanwhile. True only when
    // every byte was written and the file closed without a fault; a false may leave a partial file.
    virtual bool writeWhole(const std::string& path, std::string_view bytes) = 0;
    // Puts source in target's place in one step, replacing an existing target.
    virtual bool replace(const std::string& source, const std::string& target) = 0;
    virtual void remove(const std::string& path) = 0;
};

// Where a save writes before it replaces the file: beside it, so the replace stays on one volume.
std::string pendingPath(const std::string& path);

// Writes the bytes beside the file and replaces the file only when all of them were written; on
// any failure the old file stays as it was. The result is for tests: the program reports nothing.
bool saveReplacing(Storage& storage, const std::string& path, std::string_view bytes);

}  // namespace kestrup::settings
