// Waiting for a descriptor to have something to read, bounded by a deadline, so that a test
// fails instead of hanging and never sleeps.
#pragma once

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace test {

/// Whether `fd` becomes readable (data, end of stream or an error to collect) before
/// `deadline`; false on timeout or a failed poll. Interrupted polls are resumed.
inline bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
    }
}

}  // namespace test
