// Logs through the core library in a fresh process, for the log tests that depend on the
// environment the log reads at first use.
//
//   plinth_log_probe levels          prints the enabled-level mask before and after changing
//                                    PLINTH_LOG_LEVEL, then writes one line at each level 0-5
//                                    ("line at level N") and one line without a level
//   plinth_log_probe threads N M     N threads write M level-3 lines each, all at once:
//                                    "T<thread> <seq> " followed by 200 copies of one letter
//   plinth_log_probe rotate          with PLINTH_LOG_FILE=F: writes "first", renames F to F.1,
//                                    writes "second", deletes F, writes "third"
//   plinth_log_probe timer           prints the process timer's scale (PLINTH_TIMER_SCALE) and
//                                    where a 5000 ms timer registered on it falls due: "due in
//                                    5 s" when 5000 ms times that scale from now (to the ms)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "plinth/Log.h"
#include "plinth/Timer.h"

namespace {

int Levels() {
    std::printf("%08x\n", os::Log::GetInstance().GetEnabledLevels());
    // Read once: changing the variable later has no effect on this process.
    setenv("PLINTH_LOG_LEVEL", "0", 1);
    std::printf("%08x\n", os::Log::GetInstance().GetEnabledLevels());
    for (int level = 0; level <= 5; ++level) {
        const std::string text = "line at level " + std::to_string(level);
        os::WriteLog(level, 0, text.c_str(), -1);
    }
    os::WriteLog("plain line");
    return 0;
}

int Threads(int threadCount, int lineCount) {
    std::latch start(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&start, t, lineCount] {
            start.arrive_and_wait();
            for (int seq = 0; seq < lineCount; ++seq) {
                std::string text = "T" + std::to_string(t) + " " + std::to_string(seq) + " ";
                text.append(200, static_cast<char>('a' + t));
                os::WriteLog(3, 0, text.c_str(), static_cast<int>(text.size()));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return 0;
}

int TimerDue() {
    os::Timer* timer = os::GetTimer();
    const double scale = timer->GetScale();
    const os::TimerID id = PLINTH_REGISTER_TIMER(
        timer, [](os::Timer*, os::TimerID, void*) {}, 5000, nullptr);
    const std::vector<os::TimerInfo> pending = timer->GetPendingTimers();
    const std::int64_t expected = static_cast<std::int64_t>(5000 * scale);
    // Read after the registration: the clock moved by at most a few milliseconds since.
    const std::int64_t ahead = pending.empty() ? -1 : pending[0].dueMs - timer->Now();
    const bool inFiveSeconds = ahead <= expected && ahead >= expected - 1000;
    std::printf("%g %s\n", scale, inFiveSeconds ? "due in 5 s" : "due elsewhere");
    id.Cancel();
    return 0;
}

int Rotate() {
    const std::string path = std::getenv("PLINTH_LOG_FILE");
    os::WriteLog(3, 0, "first", -1);
    std::rename(path.c_str(), (path + ".1").c_str());
    os::WriteLog(3, 0, "second", -1);
    std::remove(path.c_str());
    os::WriteLog(3, 0, "third", -1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "levels") == 0) {
        return Levels();
    }
    if (argc >= 4 && std::strcmp(argv[1], "threads") == 0) {
        return Threads(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    if (argc >= 2 && std::strcmp(argv[1], "rotate") == 0 && std::getenv("PLINTH_LOG_FILE")) {
        return Rotate();
    }
    if (argc >= 2 && std::strcmp(argv[1], "timer") == 0) {
        return TimerDue();
    }
    std::fprintf(stderr, "usage: %s levels | threads N M | rotate | timer\n", argv[0]);
    return 2;
}
