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
    // Monotonic time in microseconds: traces, progress, benchmarks, and the windows replies are
    // awaited in, which pauses cannot count once they are shorter than the system keeps to.
    virtual std::int64_t nowMicros() = 0;
};

// The platform's real clock (Sleep on Windows, nanosleep elsewhere).
Clock& systemClock();

}  // namespace kestrup
