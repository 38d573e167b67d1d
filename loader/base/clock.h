#pragma once
// Time behind an interface, so that every pause and poll budget runs instantly and exactly in tests.

#include <cstdint>

namespace kestrup {

class Clock {
public:
    virtual ~Clock() = default;
    // Blocks for the given number of milliseconds; nothing else happens on this thread meanwhile.
    virtual void pause(int milliseconds) = 0;
    // The same for a fraction of a millisecond, where the platform can wait that short; this
    // default waits a whole one.
    virtual void pauseMicros(int micros) { pause((micros + 999) / 1000); }
    // Monotonic time in microseconds, for traces, progress and benchmarks; never for protocol decisions.
    virtual std::int64_t nowMicros() = 0;
};

// The platform's real clock (Sleep on Windows, nanosleep elsewhere).
Clock& systemClock();

}  // namespace kestrup
