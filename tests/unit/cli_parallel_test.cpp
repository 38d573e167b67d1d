// The command line's threads: each board's task on a thread of its own, and nothing of a finished
// task left running once runParallel has returned.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "parallel.h"

namespace kestrup::cli {
namespace {

// Counts its live copies; a copy dies slowly, as a board's serial port and trace take a moment to
// close when the last reference to them goes.
struct SlowToDie {
    static inline std::atomic<int> alive{0};
    SlowToDie() { ++alive; }
    SlowToDie(const SlowToDie&) { ++alive; }
    SlowToDie& operator=(const SlowToDie&) = default;
    ~SlowToDie() {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        --alive;
    }
};

TEST(Parallel, FinishedTasksAreWholeGoneWhenItReturns) {
    {
        std::vector<std::function<void()>> tasks;
        std::atomic<int> ran{0};
        for (int i = 0; i < 4; ++i) tasks.push_back([held = SlowToDie(), &ran] { ++ran; });
        const int held = SlowToDie::alive.load();
        const auto finished = runParallel(tasks, -1, nullptr);
        EXPECT_EQ(finished, std::vector<bool>(4, true));
        EXPECT_EQ(ran, 4);
        // The threads' own copies are gone, not still being torn down behind the caller's back
        // (at the process's end that would be a thread still running and a leak to memcheck).
        EXPECT_EQ(SlowToDie::alive.load(), held);
    }
    EXPECT_EQ(SlowToDie::alive.load(), 0);
}

TEST(Parallel, ADeadlineLeavesAStuckTaskBehindAndSaysWhichFinished) {
    // Shared, not on this stack: the stuck task outlives the call and may outlive the test.
    auto release = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::function<void()>> tasks = {[] {},
                                                [release] {
                                                    while (!*release)
                                                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                                                }};
    const auto started = std::chrono::steady_clock::now();
    const auto finished = runParallel(tasks, 100, nullptr, 10);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(finished, (std::vector<bool>{true, false}));
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    *release = true;
}

}  // namespace
}  // namespace kestrup::cli
