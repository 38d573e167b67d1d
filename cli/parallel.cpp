#include "parallel.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrup::cli {

std::vector<bool> runParallel(const std::vector<std::function<void()>>& tasks, int deadlineMs,
                              const std::function<void()>& tick, int tickMs) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<bool> finished;
        std::size_t left;
    };
    // Shared with the threads: one still running past the deadline keeps it after this returns.
    auto shared = std::make_shared<Shared>();
    shared->finished.assign(tasks.size(), false);
    shared->left = tasks.size();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        threads.emplace_back([shared, task = tasks[i], i] {
            task();
            const std::lock_guard<std::mutex> lock(shared->mutex);
            shared->finished[i] = true;
            --shared->left;
            shared->changed.notify_all();
        });
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(deadlineMs);
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (shared->left > 0 && (deadlineMs < 0 || clock::now() < deadline)) {
        auto wake = clock::now() + std::chrono::milliseconds(tickMs);
        if (deadlineMs >= 0) wake = std::min(wake, deadline);
        shared->changed.wait_until(lock, wake);
        if (tick) {
            lock.unlock();
            tick();
            lock.lock();
        }
    }
    const std::vector<bool> finished = shared->finished;
    lock.unlock();
    // A finished task's thread is still letting go of its copy of the task (a board, its port):
    // wait for that, or it runs on behind the caller, up to the process's end.
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (finished[i])
            threads[i].join();
        else
            threads[i].detach();
    }
    return finished;
}

}  // namespace kestrup::cli
