#pragma once
// The message box that the upload job and the IDE lookup show: modal to the whole program.

#include "base/console.h"

namespace kestrup::app {

class MessageBoxNotifier final : public Notifier {
public:
    void notify(std::string_view caption, std::string_view message) override;
};

}  // namespace kestrup::app
