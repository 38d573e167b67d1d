#include "settings_storage.h"

namespace kestrup::settings {

std::string pendingPath(const std::string& path) {
    return path + ".new";
}

bool saveReplacing(Storage& storage, const std::string& path, std::string_view bytes) {
    const std::string pending = pendingPath(path);
    if (storage.writeWhole(pending, bytes) && storage.replace(pending, path)) return true;
    storage.remove(pending);
    return false;
}

}  // namespace kestrup::settings
