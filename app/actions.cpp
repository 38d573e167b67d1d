#include "actions.h"

#include <array>

#include "port/com_number.h"
#include "window_layout.h"

namespace kestrup::app {

BoardOptions uploadBoardOptions(bool fast) {
    BoardOptions options;
    if (fast) {
        options.encoding = LongEncoding::dense;
        options.handshake = HandshakeBits::threePerByte;
        options.timing = UploadTiming::leanOnConsole();
        options.secondStage = true;
    }
    return options;
}

Actions::Actions(std::string programFolder, MainWindow& window, Uploader& uploader, settings::Storage& storage,
                 IdeAutomation* ide)
    : folder_(std::move(programFolder)), window_(window), uploader_(uploader), storage_(storage), ide_(ide) {}

void Actions::loadSettings() {
    const auto bytes = storage_.read(settingsPath());
    if (!bytes) return;
    settings::Reader reader = settings::Reader::fromBytes(*bytes);
    // A file without the group still sets every field and the position, from the defaults.
    reader.selectGroup(settings::groupName);
    for (int row = 0; row < settings::comRows; ++row)
        window_.setComFieldText(row, reader.readText(settings::comKey(row), ""));
    const settings::WindowPosition defaults;
    const std::int32_t y = reader.readNumber("WinY", defaults.y);
    const std::int32_t x = reader.readNumber("WinX", defaults.x);
    window_.moveTo({x, y});
    fastLoad_ = reader.readText(settings::fastLoadKey, "") == "1";
}

void Actions::onControl(int id) {
    if (id == controlId::compile) return compile();
    if (id == controlId::save) return save();
    for (int row = 0; row < uploadRows; ++row)
        if (id == uploadButtonId(row)) return upload(row);
}

void Actions::compile() {
    if (ide_ == nullptr || !ide_->ideLookup()) return;
    ide_->terminalLookup();
    ide_->terminalControl(terminalFlag::minimize);
    ide_->compileSequence();
}

void Actions::save() {
    std::array<std::string, settings::comRows> texts;
    for (int row = 0; row < settings::comRows; ++row) texts[static_cast<std::size_t>(row)] = window_.comFieldText(row);
    // A failed save is not reported; the old file stays as it was.
    settings::saveReplacing(storage_, settingsPath(), settings::format(window_.position(), texts, fastLoad_));
}

void Actions::upload(int row) {
    if (ide_ != nullptr) {
        if (!ide_->ideLookup()) return;
        ide_->saveImageSequence(imagePath());
    }
    // Read only now: the sequence above takes over a second, and the user may still be typing.
    const std::int32_t comNumber = comNumberFromText(window_.comFieldText(row));
    uploader_.upload(imagePath(), comNumber, fastLoad_);
    // The terminal on the first row's board comes back once that board runs.
    if (ide_ != nullptr && row == 0) ide_->terminalControl(terminalFlag::restore | terminalFlag::front);
}

}  // namespace kestrup::app
