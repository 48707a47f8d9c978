#include "plinth/Timer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "detail/Platform.h"
#include "plinth/Log.h"
#include "plinth/SharedLibrary.h"

namespace os {

// ---------------------------------------------------------------------------------------
// TimerID

TimerID::TimerID() noexcept : timer(nullptr), serial(0) {}
TimerID::TimerID(Timer* timer, std::uint64_t serial) noexcept : timer(timer), serial(serial) {}
TimerID::TimerID(const TimerID& other) noexcept = default;
TimerID& TimerID::operator=(const TimerID& other) noexcept = default;
TimerID::~TimerID() = default;

bool TimerID::Cancel() const {
    if (timer == nullptr || serial == 0) {
        return false;
    }
    return timer->Cancel(*this);
}

const TimerID InvalidTimerID;

// ---------------------------------------------------------------------------------------
// Timer

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::int64_t;

struct Pending {
    TimerCallback callback;
    void* userData;
    int interval;
    const char* file;
    int line;
    const char* function;
    const char* callbackText;
};

// Queue key: due time, then registration serial, so equal due times keep registration order.
using Key = std::pair<Micros, std::uint64_t>;

// `now` plus a non-negative step, stopping at the end of the clock instead of wrapping: a
// manual clock advanced by the largest step must run what is pending, not jump backwards.
Micros ClockAdd(Micros now, Micros step) {
    constexpr Micros kEnd = std::numeric_limits<Micros>::max();
    return step >= kEnd - now ? kEnd : now + step;
}

// The longest interval a registration gets, whatever its interval and scale: far beyond any
// real use (a quarter of the clock's range, about 73,000 years), and small enough that no sum
// or conversion of a due time can overflow.
constexpr double kLongestIntervalMicros =
    static_cast<double>(std::numeric_limits<Micros>::max() / 4);

// The real clock's thread sleeps at most this long at a time, then looks again: a due time far
// away, converted to the clock's nanoseconds, would overflow.
constexpr Micros kLongestWaitMicros = 3600LL * 1000 * 1000;

bool IsUsableScale(double scale) {
    return std::isfinite(scale) && scale >= kMinTimerScale && scale <= kMaxTimerScale;
}

std::string ScaleBoundsText() {
    char text[96];
    std::snprintf(text, sizeof text, "a number from %g to %g", kMinTimerScale, kMaxTimerScale);
    return text;
}

// The scale to use instead of a refused one, with one line that says why.
double RefuseScale(const std::string& what, double fallback) {
    char fallbackText[32];
    std::snprintf(fallbackText, sizeof fallbackText, "%g", fallback);
    WriteLog("os::Timer warning : " + what + " is not " + ScaleBoundsText() + "; the scale " +
             fallbackText + " is used");
    return fallback;
}

// PLINTH_TIMER_SCALE as a scale: unset or empty gives 1; a text that is not entirely a number
// within the bounds is refused (one line) and gives 1 as well. An infinite or huge scale would make
// every due time overflow into the past, and a tiny one every interval zero: either way every
// timer would fire at once and a re-registering chain would spin.
double ScaleFromEnvironment() {
    const char* text = detail::GetEnvironment("PLINTH_TIMER_SCALE");
    if (text == nullptr || *text == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !IsUsableScale(value)) {
        return RefuseScale(std::string("PLINTH_TIMER_SCALE=\"") + text + "\"", 1.0);
    }
    return value;
}

double ScaleOrRefuse(double scale, double fallback) {
    if (IsUsableScale(scale)) {
        return scale;
    }
    char text[48];
    std::snprintf(text, sizeof text, "timer scale %g", scale);
    return RefuseScale(text, fallback);
}

}  // namespace

struct Timer::Impl {
    explicit Impl(ClockMode mode, double scale) : mode(mode), scale(scale) {}

    mutable std::mutex mutex;
    std::condition_variable wake;          // the thread: an earlier timer, or stop
    std::condition_variable callbackDone;  // Cancel waiting for a running callback

    ClockMode mode;
    double scale;
    Clock::time_point origin = Clock::now();
    Micros manualNow = 0;

    std::uint64_t nextSerial = 1;
    std::map<Key, Pending> queue;
    std::unordered_map<std::uint64_t, Micros> dueOf;

    std::uint64_t runningSerial = 0;
    std::thread::id runningThread;
    const char* runningFile = nullptr;  // the running registration's description, as given

    std::thread thread;
    bool stopping = false;

    std::mutex advanceMutex;  // one Advance at a time
    std::atomic<std::thread::id> advancingThread{};

    Micros NowLocked() const {
        if (mode == ClockMode::Manual) {
            return manualNow;
        }
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - origin).count();
    }

    Micros IntervalMicros(int interval) const {
        const double ms = std::max(0, interval) * (mode == ClockMode::Real ? scale : 1.0);
        return static_cast<Micros>(std::llround(std::min(ms * 1000.0, kLongestIntervalMicros)));
    }

    static TimerInfo InfoOf(Timer* timer, const Key& key, const Pending& pending) {
        return TimerInfo{TimerID(timer, key.second),
                         key.first / 1000,
                         pending.interval,
                         pending.userData,
                         pending.file != nullptr ? pending.file : "",
                         pending.line,
                         pending.function != nullptr ? pending.function : "",
                         pending.callbackText != nullptr ? pending.callbackText : ""};
    }

    // Takes the earliest entry due at or before `limit` out of the queue and marks it
    // running. Called with `lock` held; returns false when nothing is due.
    bool TakeDue(Micros limit, std::uint64_t& serial, Pending& pending) {
        if (queue.empty() || queue.begin()->first.first > limit) {
            return false;
        }
        auto it = queue.begin();
        serial = it->first.second;
        pending = std::move(it->second);
        dueOf.erase(serial);
        queue.erase(it);
        runningSerial = serial;
        runningThread = std::this_thread::get_id();
        runningFile = pending.file;
        return true;
    }

    // Runs a taken entry without the lock, then clears the running mark. The callback is
    // destroyed before waiters are told, so a cancelled object is never touched after Cancel.
    // A callback that throws still clears the mark: otherwise Cancel of its id would wait
    // forever and the clock mode could never change again.
    void RunTaken(Timer* owner, std::unique_lock<std::mutex>& lock, std::uint64_t serial,
                  Pending& pending) {
        struct ClearRunning {
            Impl& impl;
            std::unique_lock<std::mutex>& lock;
            ~ClearRunning() {
                lock.lock();
                impl.runningSerial = 0;
                impl.runningThread = std::thread::id{};
                impl.runningFile = nullptr;
                impl.callbackDone.notify_all();
            }
        };
        lock.unlock();
        const ClearRunning clear{*this, lock};
        TimerCallback callback = std::move(pending.callback);
        callback(owner, TimerID(owner, serial), pending.userData);
    }

    void ThreadLoop(Timer* owner) {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            if (queue.empty()) {
                wake.wait(lock);
                continue;
            }
            const Micros due = queue.begin()->first.first;
            const Micros now = NowLocked();
            if (due > now) {
                wake.wait_for(lock,
                              std::chrono::microseconds(std::min(due - now, kLongestWaitMicros)));
                continue;
            }
            std::uint64_t serial = 0;
            Pending pending;
            if (TakeDue(now, serial, pending)) {
                // A callback that throws must not end the process or stop the service: the
                // other registrations still have to run.
                try {
                    RunTaken(owner, lock, serial, pending);
                } catch (const std::exception& e) {
                    ReportThrow(e.what());
                } catch (...) {
                    ReportThrow("unknown exception");
                }
            }
        }
    }

    static void ReportThrow(const char* what) {
        const std::string text = std::string("os::Timer error : callback threw : ") + what;
        WriteLog(text);
    }

    void StopThread(std::unique_lock<std::mutex>& lock) {
        if (!thread.joinable()) {
            return;
        }
        stopping = true;
        wake.notify_all();
        std::thread worker = std::move(thread);
        lock.unlock();
        if (worker.get_id() != std::this_thread::get_id()) {
            worker.join();
        } else {
            worker.detach();
        }
        lock.lock();
        stopping = false;
    }
};

Timer::Timer(ClockMode mode, double scale)
    : impl(std::make_unique<Impl>(mode, ScaleOrRefuse(scale, 1.0))) {}

Timer::~Timer() {
    std::map<Key, Pending> dropped;
    {
        std::unique_lock<std::mutex> lock(impl->mutex);
        impl->StopThread(lock);
        dropped.swap(impl->queue);
        impl->dueOf.clear();
    }
}

const TimerID Timer::_RegisterTimer(TimerCallback callback, int interval, void* userData,
                                    const char* file, int line, const char* function,
                                    const char* callbackText) {
    // A build that maps the source root to "." (Debian's -ffile-prefix-map=SRC=.) writes
    // __FILE__ as "./dir/file.cpp": recorded as the source tree names it, "dir/file.cpp".
    while (file != nullptr && file[0] == '.' && file[1] == '/') {
        file += 2;
    }
    std::unique_lock<std::mutex> lock(impl->mutex);
    const std::uint64_t serial = impl->nextSerial++;
    const Micros due = ClockAdd(impl->NowLocked(), impl->IntervalMicros(interval));
    const bool earliest = impl->queue.empty() || due < impl->queue.begin()->first.first;
    impl->queue.emplace(Key{due, serial}, Pending{std::move(callback), userData, interval, file,
                                                  line, function, callbackText});
    impl->dueOf.emplace(serial, due);
    if (impl->mode == ClockMode::Real) {
        if (!impl->thread.joinable()) {
            impl->thread = std::thread([this] { impl->ThreadLoop(this); });
        } else if (earliest) {
            impl->wake.notify_all();
        }
    }
    return TimerID(this, serial);
}

bool Timer::Cancel(const TimerID& id) {
    if (id.timer != this || id.serial == 0) {
        return false;
    }
    Pending removed;
    bool wasPending = false;
    {
        std::unique_lock<std::mutex> lock(impl->mutex);
        auto due = impl->dueOf.find(id.serial);
        if (due != impl->dueOf.end()) {
            auto it = impl->queue.find(Key{due->second, id.serial});
            removed = std::move(it->second);
            impl->queue.erase(it);
            impl->dueOf.erase(due);
            wasPending = true;
        } else {
            impl->callbackDone.wait(lock, [&] {
                return impl->runningSerial != id.serial ||
                       impl->runningThread == std::this_thread::get_id();
            });
        }
    }
    // `removed` (and the callable it holds) is destroyed here, outside the lock.
    return wasPending;
}

std::vector<TimerInfo> Timer::GetPendingTimers() const {
    std::lock_guard<std::mutex> guard(impl->mutex);
    std::vector<TimerInfo> result;
    result.reserve(impl->queue.size());
    for (const auto& [key, pending] : impl->queue) {
        result.push_back(Impl::InfoOf(const_cast<Timer*>(this), key, pending));
    }
    return result;
}

std::vector<TimerInfo> Timer::CancelRegisteredIn(LibraryHandle library) {
    // A running callback of the library may register its successor while this looks: each
    // round waits for such a callback and looks again, until a round finds nothing. Bounded,
    // against a library whose own threads keep registering.
    constexpr int kMaxRounds = 1000;
    std::vector<TimerInfo> cancelled;
    for (int round = 0; round < kMaxRounds; ++round) {
        std::vector<std::pair<TimerInfo, const char*>> seen;
        {
            std::lock_guard<std::mutex> guard(impl->mutex);
            for (const auto& [key, pending] : impl->queue) {
                seen.emplace_back(Impl::InfoOf(this, key, pending), pending.file);
            }
            if (impl->runningSerial != 0 && impl->runningThread != std::this_thread::get_id()) {
                TimerInfo running{};
                running.id = TimerID(this, impl->runningSerial);
                seen.emplace_back(std::move(running), impl->runningFile);
            }
        }
        // The loader is asked without the timer's lock: a library's constructor may be
        // registering a timer while it holds the loader's.
        bool found = false;
        for (const auto& [info, file] : seen) {
            if (IsInSharedLibrary(library, file)) {
                found = true;
                if (Cancel(info.id)) {  // waits for the running one
                    cancelled.push_back(info);
                }
            }
        }
        if (!found) {
            break;
        }
    }
    return cancelled;
}

std::size_t Timer::GetPendingCount() const {
    std::lock_guard<std::mutex> guard(impl->mutex);
    return impl->queue.size();
}

ClockMode Timer::GetClockMode() const noexcept {
    std::lock_guard<std::mutex> guard(impl->mutex);
    return impl->mode;
}

bool Timer::SetClockMode(ClockMode mode) {
    std::unique_lock<std::mutex> lock(impl->mutex);
    if (!impl->queue.empty() || impl->runningSerial != 0) {
        return false;
    }
    if (mode == impl->mode) {
        return true;
    }
    impl->StopThread(lock);
    impl->mode = mode;
    impl->manualNow = 0;
    impl->origin = Clock::now();
    return true;
}

double Timer::GetScale() const noexcept {
    std::lock_guard<std::mutex> guard(impl->mutex);
    return impl->scale;
}

void Timer::SetScale(double scale) noexcept {
    if (!IsUsableScale(scale)) {
        // The line is written without the lock; a log failure must not escape a noexcept.
        try {
            ScaleOrRefuse(scale, GetScale());
        } catch (...) {
        }
        return;
    }
    std::lock_guard<std::mutex> guard(impl->mutex);
    impl->scale = scale;
}

std::int64_t Timer::Now() const {
    std::lock_guard<std::mutex> guard(impl->mutex);
    return impl->NowLocked() / 1000;
}

std::size_t Timer::Advance(std::int64_t ms) {
    {
        std::lock_guard<std::mutex> guard(impl->mutex);
        if (impl->mode != ClockMode::Manual || ms < 0) {
            return 0;
        }
    }
    // A callback that advances the clock it runs on would re-enter this loop.
    if (impl->advancingThread == std::this_thread::get_id()) {
        return 0;
    }
    std::lock_guard<std::mutex> advancing(impl->advanceMutex);
    impl->advancingThread = std::this_thread::get_id();
    // Also when a callback throws out of this loop: the thread may advance again later.
    struct ClearAdvancing {
        std::atomic<std::thread::id>& thread;
        ~ClearAdvancing() { thread = std::thread::id{}; }
    } const clearAdvancing{impl->advancingThread};
    std::size_t ran = 0;
    std::unique_lock<std::mutex> lock(impl->mutex);
    const Micros step = ms > std::numeric_limits<Micros>::max() / 1000
                            ? std::numeric_limits<Micros>::max()
                            : ms * 1000;
    const Micros target = ClockAdd(impl->manualNow, step);
    for (;;) {
        std::uint64_t serial = 0;
        Pending pending;
        if (impl->queue.empty() || impl->queue.begin()->first.first > target) {
            break;
        }
        impl->manualNow = std::max(impl->manualNow, impl->queue.begin()->first.first);
        if (!impl->TakeDue(impl->manualNow, serial, pending)) {
            break;
        }
        impl->RunTaken(this, lock, serial, pending);
        ++ran;
    }
    impl->manualNow = std::max(impl->manualNow, target);
    return ran;
}

std::size_t Timer::RunNext() {
    std::int64_t step = 0;
    {
        std::lock_guard<std::mutex> guard(impl->mutex);
        if (impl->mode != ClockMode::Manual || impl->queue.empty()) {
            return 0;
        }
        const Micros due = impl->queue.begin()->first.first;
        const Micros delta = std::max<Micros>(0, due - impl->manualNow);
        // Rounded up without adding first: `delta` may reach the end of the clock.
        step = delta / 1000 + (delta % 1000 != 0 ? 1 : 0);
    }
    return Advance(step);
}

Timer* GetTimer() {
    // Never destroyed: timers may be registered and cancelled while the process exits.
    static Timer* timer = new Timer(ClockMode::Real, ScaleFromEnvironment());
    return timer;
}

}  // namespace os
