#pragma once
// One thread per board, on every platform.

#include <functional>
#include <vector>

namespace kestrup::cli {

// Runs each task on a thread of its own and waits for all of them, calling `tick` on this thread
// about every tickMs meanwhile. With deadlineMs >= 0 it stops waiting then: tasks still running are
// left to the process's end, each thread owning its copy of its task (so they must own what they
// use). Gives which tasks finished; a finished task's thread is gone, copy and all.
std::vector<bool> runParallel(const std::vector<std::function<void()>>& tasks, int deadlineMs,
                              const std::function<void()>& tick, int tickMs = 100);

}  // namespace kestrup::cli
