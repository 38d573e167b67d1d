#pragma once
// The button actions' IDE side, carried out by the window lookup and the keystroke sequences of
// the IDE automation, and the main window's Upload buttons as those sequences switch them.

#include "actions.h"
#include "keystrokes.h"
#include "upload_buttons.h"
#include "window_lookup.h"

namespace kestrup::app {

class WindowUploadButtons final : public UploadButtons {
public:
    explicit WindowUploadButtons(MainWindow& window) : window_(window) {}
    void enableAll() override { window_.setUploadButtonsEnabled(true); }
    void disableAll() override { window_.setUploadButtonsEnabled(false); }

private:
    MainWindow& window_;
};

class AutomatedIde final : public IdeAutomation {
public:
    AutomatedIde(WindowLookup& lookup, Keystrokes& keys) : lookup_(lookup), keys_(keys) {}

    bool ideLookup() override;
    void terminalLookup() override;
    void terminalControl(int flags) override;
    void compileSequence() override;
    void saveImageSequence(const std::string& imagePath) override;

private:
    WindowLookup& lookup_;
    Keystrokes& keys_;
};

}  // namespace kestrup::app
