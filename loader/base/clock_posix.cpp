#include <cerrno>
#include <ctime>

#include "base/clock.h"

namespace kestrup {
namespace {

class PosixClock final : public Clock {
public:
    void pause(int milliseconds) override {
        if (milliseconds <= 0) return;
        timespec left{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    void pauseMicros(int micros) override {
        if (micros <= 0) return;
        timespec left{micros / 1000000, static_cast<long>(micros % 1000000) * 1000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    std::int64_t nowMicros() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    }
};

}  // namespace

Clock& systemClock() {
    static PosixClock clock;
    return clock;
}

}  // namespace kestrup
