// ReplayClock: when a replay plays each item of a capture.
//
// An item plays at its captured time, counted from where the replay starts, except where the
// captured clock jumps: a step of more than kLongestReplayStepNs from one item to the next (a
// damaged time stamp, a capture left running for a week) is played as that longest step, and
// everything after it keeps its captured spacing from there. A replay of a file with one time
// stamp thirty years late would otherwise wait, or run its timers, for thirty years. A
// captured clock that goes back plays the item at once (at the time already reached): replay
// times never decrease.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace capture {

/// The longest step between two items of a replay: a day.
inline constexpr std::int64_t kLongestReplayStepNs = std::int64_t{24} * 3600 * 1000000000;

class ReplayClock {
public:
    /// The replay time of an item captured `capturedNs` after the replay's start, items given
    /// in their capture order. Sets `cutNs` to the captured step that was played as the
    /// longest one, or 0 when the step was played as captured. The capture reader holds every
    /// time within about 142 years either side of 1970, so no difference here overflows.
    std::int64_t At(std::int64_t capturedNs, std::int64_t& cutNs) {
        cutNs = 0;
        const std::int64_t due = capturedNs - skippedNs;
        if (due > reachedNs) {
            const std::int64_t step = due - reachedNs;
            if (step > kLongestReplayStepNs) {
                cutNs = step;
                skippedNs += step - kLongestReplayStepNs;
            }
            reachedNs += std::min(step, kLongestReplayStepNs);
        }
        return reachedNs;
    }

private:
    /// The latest replay time given.
    std::int64_t reachedNs = 0;
    /// What of the captured clock the replay left out.
    std::int64_t skippedNs = 0;
};

/// The log text of a step cut by ReplayClock::At.
inline std::string ReplayClockJumpText(std::int64_t cutNs) {
    return "the capture's clock jumps " + std::to_string(cutNs / 1000000000) +
           " s ahead; replayed as " + std::to_string(kLongestReplayStepNs / 1000000000) + " s";
}

}  // namespace capture
