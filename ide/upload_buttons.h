#pragma once
// The four Upload buttons of the main window: their enabled state says whether a compile has been
// asked for since the last save.

namespace kestrup {

class UploadButtons {
public:
    virtual ~UploadButtons() = default;
    virtual void enableAll() = 0;
    virtual void disableAll() = 0;
};

}  // namespace kestrup
