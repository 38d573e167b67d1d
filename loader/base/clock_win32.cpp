#include <windows.h>

#include "base/clock.h"

namespace kestrup {
namespace {

class Win32Clock final : public Clock {
public:
    Win32Clock() { QueryPerformanceFrequency(&frequency_); }
    void pause(int milliseconds) override {
        if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
    }
    // Sleep waits a millisecond at the least: a shorter wait gives the processor away until it is over.
    void pauseMicros(int micros) override {
        if (micros >= 1000) return pause(micros / 1000);
        const std::int64_t until = nowMicros() + micros;
        while (nowMicros() < until) SwitchToThread();
    }
    std::int64_t nowMicros() override {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        return now.QuadPart / frequency_.QuadPart * 1000000 +
               now.QuadPart % frequency_.QuadPart * 1000000 / frequency_.QuadPart;
    }

private:
    LARGE_INTEGER frequency_{};
};

}  // namespace

Clock& systemClock() {
    static Win32Clock clock;
    return clock;
}

}  // namespace kestrup
