#pragma once

#include "settings_storage.h"

namespace kestrup::app {

// The settings files on Windows; paths beyond MAX_PATH are opened through the long-path form.
class Win32SettingsStorage final : public settings::Storage {
public:
    std::optional<std::string> read(const std::string& path) override;
    bool writeWhole(const std::string& path, std::string_view bytes) override;
    bool replace(const std::string& source, const std::string& target) override;
    void remove(const std::string& path) override;
};

}  // namespace kestrup::app
