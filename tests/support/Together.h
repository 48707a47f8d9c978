// Threads that start together: a test that runs several threads at once releases them all
// from one latch, so that none has finished before the last has begun.
#pragma once

#include <cstddef>
#include <functional>
#include <latch>
#include <thread>
#include <vector>

namespace test {

/// Runs every job on a thread of its own, all released at once by one latch, and returns when
/// every one has ended. Jobs may wait for each other on latches of their own.
inline void RunTogether(const std::vector<std::function<void()>>& jobs) {
    std::latch go(static_cast<std::ptrdiff_t>(jobs.size()));
    std::vector<std::thread> threads;
    threads.reserve(jobs.size());
    for (const auto& job : jobs) {
        threads.emplace_back([&go, &job] {
            go.arrive_and_wait();
            job();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

}  // namespace test
