// Connections of a game-server client going up and down, counted and waited for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/Loopback.h"

namespace test {

class ConnectionWatch {
public:
    /// The client's connection observer.
    void Changed(bool up) {
        std::lock_guard<std::mutex> guard(mutex);
        (up ? ups : downs) += 1;
        changed.notify_all();
    }
    /// Whether `n` connections came up (went down) within kWaitMs.
    bool WaitUps(int n) { return Wait(ups, n); }
    bool WaitDowns(int n) { return Wait(downs, n); }

private:
    bool Wait(const int& counter, int n) {
        std::unique_lock<std::mutex> guard(mutex);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                                [&] { return counter >= n; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    int ups = 0;
    int downs = 0;
};

}  // namespace test
