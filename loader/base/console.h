#pragma once

#include <string_view>

#include "base/status_sink.h"

namespace kestrup {

// Where an upload shows its status lines: a console window titled "Kestrupload" that exists from
// open() to close() in the window program, standard output on the command line.
class UploadConsole : public StatusSink {
public:
    virtual void open() = 0;
    virtual void close() = 0;
};

// A message the user must acknowledge (a message box with one OK button, or standard error).
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void notify(std::string_view caption, std::string_view message) = 0;
};

}  // namespace kestrup
