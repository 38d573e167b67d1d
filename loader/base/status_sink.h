#pragma once

#include <string_view>

namespace kestrup {

// Receives status lines: each is the message's bytes followed by a single LF, no CR added.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void statusLine(std::string_view message) = 0;
};

}  // namespace kestrup
