#pragma once
// What the main window's buttons do, over small interfaces: the window itself, the IDE automation,
// the upload and the settings files. The Win32 layer only turns messages into these calls.

#include <cstdint>
#include <string>

#include "settings.h"
#include "settings_storage.h"
#include "upload/board.h"

namespace kestrup::app {

inline constexpr std::string_view imageFileName = "compiled.binary";

// The operations on the main window that the actions and the IDE automation use. Rows are 0 to 3.
class MainWindow {
public:
    virtual ~MainWindow() = default;
    virtual std::string comFieldText(int row) = 0;
    virtual void setComFieldText(int row, const std::string& text) = 0;
    // The outer top-left corner in screen coordinates.
    virtual settings::WindowPosition position() = 0;
    // Moves the outer top-left corner, keeping the client size; neither activates nor raises.
    virtual void moveTo(settings::WindowPosition position) = 0;
    virtual void setUploadButtonsEnabled(bool enabled) = 0;
};

// What the terminal window control is asked to do; flags combine.
namespace terminalFlag {
inline constexpr int minimize = 1;
inline constexpr int restore = 2;
inline constexpr int front = 4;
}  // namespace terminalFlag

// The IDE and terminal side of Compile and Upload.
class IdeAutomation {
public:
    virtual ~IdeAutomation() = default;
    // Finds the IDE's window; when it is missing, tells the user and gives false.
    virtual bool ideLookup() = 0;
    virtual void terminalLookup() = 0;
    virtual void terminalControl(int flags) = 0;
    // The IDE compiles; the Upload buttons are enabled.
    virtual void compileSequence() = 0;
    // The IDE saves the compiled image at imagePath; the Upload buttons are disabled.
    virtual void saveImageSequence(const std::string& imagePath) = 0;
};

// One upload of the image to a COM port, shown on its own console; returns when it is over. Fast:
// through the second stage with the command line's lean timing (FastLoad=1 in the settings), else
// as the window program always loaded.
class Uploader {
public:
    virtual ~Uploader() = default;
    virtual void upload(const std::string& imagePath, std::int32_t comNumber, bool fast) = 0;
};

// The board an upload drives. Fast: the command line's default path (the second stage, the lean
// timing with the console's pauses, dense longs, three handshake bits a byte); else the window
// program's own (the ROM alone, its timing, a byte a handshake bit).
BoardOptions uploadBoardOptions(bool fast);

class Actions {
public:
    // Without IDE automation, Compile does nothing and an Upload loads the image that is already
    // in the program folder.
    Actions(std::string programFolder, MainWindow& window, Uploader& uploader, settings::Storage& storage,
            IdeAutomation* ide = nullptr);

    // At start: fills the COM fields, moves the window and takes FastLoad; a missing file changes
    // nothing.
    void loadSettings();
    // A control event: runs the action of the control with this id to its end.
    void onControl(int id);

    void compile();
    void save();
    void upload(int row);

    std::string imagePath() const { return folder_ + std::string(imageFileName); }
    std::string settingsPath() const { return folder_ + std::string(settings::fileName); }

private:
    std::string folder_;
    MainWindow& window_;
    Uploader& uploader_;
    settings::Storage& storage_;
    IdeAutomation* ide_;
    // FastLoad=1 as the settings file said at start; Save keeps it.
    bool fastLoad_ = false;
};

}  // namespace kestrup::app
