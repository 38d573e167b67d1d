#pragma once

#include <string_view>

namespace kestrup {

// Receives status lines: each is the message's bytes followed by a single LF, no CR added.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void statusLine(std::string_view message) = 0;
};

// Lines that pass on to the sink unless held back: a loader that may still give way holds the
// console, so that the next one's lines show as if it had never been tried.
class StatusGate final : public StatusSink {
public:
    explicit StatusGate(StatusSink& sink) : sink_(sink) {}
    void statusLine(std::string_view message) override {
        if (open_) sink_.statusLine(message);
    }
    void setOpen(bool open) { open_ = open; }

private:
    StatusSink& sink_;
    bool open_ = true;
};

}  // namespace kestrup
