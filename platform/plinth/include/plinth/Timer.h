// The timer service of the core runtime library: one-shot timers.
//
// A registration calls its callback once, after the interval, and returns a TimerID; periodic
// work re-registers itself from the callback. Intervals are milliseconds, multiplied by the
// timer's scale: the process timer reads PLINTH_TIMER_SCALE at first use (0.01 makes an
// interval of 5000 last 50 ms), so demos and black-box tests can run time faster. A scale is a
// number from kMinTimerScale to kMaxTimerScale; anything else (from the environment, the
// constructor or SetScale) is refused with one log line, and the default 1 (or the scale in
// place) is used. Due times never overflow: an interval counts for at most a quarter of the
// clock's range, and sums stop at the end of the clock.
//
// Clocks. A timer runs on the real clock, with callbacks on a thread of its own (started at
// the first registration), or on a manual clock that only moves when Advance is called, with
// callbacks on the thread that calls Advance. Tests put the process timer on the manual clock
// before anything registers, and then no thread is ever started.
//
// Cancellation: once TimerID::Cancel (or Timer::Cancel) returns, the callback will not start.
// If the callback is running on another thread at that moment, Cancel waits for it to end,
// unless Cancel is called from that very callback. A callback may register and cancel timers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "function/Function.h"
#include "plinth/Export.h"
#include "plinth/SharedLibrary.h"

namespace os {

class Timer;

/// Handle of one registration. Copies name the same timer. The default value names none.
class PLINTH_API TimerID {
public:
    TimerID() noexcept;
    TimerID(const TimerID& other) noexcept;
    TimerID& operator=(const TimerID& other) noexcept;
    ~TimerID();

    /// Stops the pending callback (see the cancellation rule above). Returns true when a
    /// pending timer was removed; false for an invalid handle or a timer that already ran.
    bool Cancel() const;
    bool IsValid() const noexcept { return serial != 0; }
    std::uint64_t GetSerial() const noexcept { return serial; }

    friend bool operator==(const TimerID& a, const TimerID& b) noexcept {
        return a.timer == b.timer && a.serial == b.serial;
    }

private:
    friend class Timer;
    TimerID(Timer* timer, std::uint64_t serial) noexcept;

    Timer* timer;
    std::uint64_t serial;
};

/// Names no timer.
PLINTH_API extern const TimerID InvalidTimerID;

using TimerCallback = Function<void(Timer*, TimerID, void*)>;

/// The bounds of a timer's scale (inclusive).
inline constexpr double kMinTimerScale = 0.001;
inline constexpr double kMaxTimerScale = 1000.0;

enum class ClockMode { Real, Manual };

/// What a timer service keeps about a pending registration, for diagnostics.
struct TimerInfo {
    TimerID id;
    std::int64_t dueMs;  ///< on the timer's own clock (see Timer::Now)
    int interval;
    void* userData;
    std::string file;
    int line;
    std::string function;
    std::string callbackText;
};

class PLINTH_API Timer {
public:
    explicit Timer(ClockMode mode = ClockMode::Real, double scale = 1.0);
    /// Cancels every pending timer and stops the thread (waiting for a running callback).
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    /// Registers `callback` to run once, `interval` milliseconds (times the scale; negative
    /// counts as 0) from now, with (this timer, its id, userData). The last four arguments
    /// describe the registering code; use PLINTH_REGISTER_TIMER, which fills them in.
    const TimerID _RegisterTimer(TimerCallback callback, int interval, void* userData,
                                 const char* file, int line, const char* function,
                                 const char* callbackText);

    /// See TimerID::Cancel.
    bool Cancel(const TimerID& id);

    /// The pending registrations, earliest first.
    std::vector<TimerInfo> GetPendingTimers() const;
    /// Cancels every registration made by the code of `library` (a handle from
    /// LoadSharedLibrary), known by where its description lies: the file text that
    /// PLINTH_REGISTER_TIMER passes is a constant of the registering code. A callback of the
    /// library that is running is waited for (unless it is the caller), and what it registers
    /// meanwhile is cancelled too. For a host about to unload a module: a timer left behind
    /// would run, or be destroyed through, code that is no longer there. Returns what was
    /// cancelled.
    std::vector<TimerInfo> CancelRegisteredIn(LibraryHandle library);
    std::size_t GetPendingCount() const;

    ClockMode GetClockMode() const noexcept;
    /// Switches the clock. Allowed only while nothing is pending and no callback runs;
    /// returns false otherwise. Switching to Manual stops the thread; the manual clock starts
    /// at 0.
    bool SetClockMode(ClockMode mode);

    double GetScale() const noexcept;
    /// A scale outside the bounds (or not finite) is refused with a log line; the scale in
    /// place stays.
    void SetScale(double scale) noexcept;

    /// Milliseconds on this timer's clock: virtual in manual mode, monotonic otherwise.
    std::int64_t Now() const;

    /// Manual clock only: moves the clock forward by `ms` and runs, on the calling thread,
    /// every timer that falls due on the way, in order of due time (equal times in order of
    /// registration), including timers that those callbacks register within the window.
    /// Returns the number of callbacks run. On the real clock it does nothing and returns 0.
    std::size_t Advance(std::int64_t ms);
    /// Manual clock only: moves the clock to the earliest pending timer and runs every timer
    /// due at that moment. Returns the number run (0 when nothing is pending).
    std::size_t RunNext();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

/// The process timer service. Never null; lives until the process ends.
PLINTH_API Timer* GetTimer();

namespace detail {

/// A fixed-size copy of a function's qualified name, made at compile time.
template <std::size_t N>
struct QualifiedName {
    char text[N]{};
    constexpr const char* c_str() const { return text; }
};

/// "bool Poller::Start()" -> "Poller::Start": the name before the parameter list, with its
/// scopes and template arguments. Clang writes an anonymous namespace in parentheses,
/// "(anonymous namespace)::Poller::Start", where g++ writes "{anonymous}::Poller::Start".
template <std::size_t N>
constexpr QualifiedName<N> ExtractQualifiedName(const char (&pretty)[N]) {
    QualifiedName<N> out{};
    std::size_t open = N;
    int depth = 0;
    for (std::size_t i = 0; i + 1 < N; ++i) {
        const char c = pretty[i];
        if (c == '<') {
            ++depth;
        } else if (c == '>') {
            --depth;
        } else if (c == '(' && depth == 0) {
            if (std::string_view(pretty, N - 1).substr(i).starts_with("(anonymous namespace)::")) {
                i += sizeof "(anonymous namespace)" - 2;  // a scope, not the parameter list
                continue;
            }
            open = i;
            break;
        }
    }
    if (open == N) {
        for (std::size_t i = 0; i + 1 < N; ++i) {
            out.text[i] = pretty[i];
        }
        return out;
    }
    std::size_t begin = 0;
    depth = 0;
    for (std::size_t i = open; i > 0; --i) {
        const char c = pretty[i - 1];
        if (c == '>' || c == ')') {
            ++depth;
        } else if (c == '<' || c == '(') {
            --depth;
        } else if ((c == ' ' || c == '*' || c == '&') && depth == 0) {
            begin = i;
            break;
        }
    }
    for (std::size_t i = begin; i < open; ++i) {
        out.text[i - begin] = pretty[i];
    }
    return out;
}

constexpr bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

/// An expression's text without the spaces that separate no two words: "f(&A::B, this)" ->
/// "f(&A::B,this)", "new T" stays. Quoted text keeps its spaces. The preprocessor has already
/// turned every run of white space into one space, so the result depends on the tokens alone,
/// not on how the code is laid out.
template <std::size_t N>
constexpr QualifiedName<N> CompactExpression(const char (&text)[N]) {
    QualifiedName<N> out{};
    std::size_t length = 0;
    char quote = 0;
    for (std::size_t i = 0; i + 1 < N; ++i) {
        const char c = text[i];
        if (quote != 0) {
            out.text[length++] = c;
            if (c == '\\' && i + 2 < N) {
                out.text[length++] = text[++i];
            } else if (c == quote) {
                quote = 0;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ' ' &&
                   !(length > 0 && IsWordChar(out.text[length - 1]) && IsWordChar(text[i + 1]))) {
            continue;
        }
        out.text[length++] = c;
    }
    return out;
}

}  // namespace detail
}  // namespace os

/// The qualified name of the enclosing function ("Poller::OnTimer"), as a constant text
/// computed at compile time.
#define OS_QUALIFIED_FUNCTION_NAME                                   \
    (__extension__({                                                 \
        static constexpr auto os_qualified_function_name_ =          \
            ::os::detail::ExtractQualifiedName(__PRETTY_FUNCTION__); \
        os_qualified_function_name_.c_str();                         \
    }))

/// Registers a timer on `timer` (a pointer) with the registering code's file, line, qualified
/// function name and the callback expression's text, without the spaces that separate no two
/// words (os::detail::CompactExpression):
///     timerId = PLINTH_REGISTER_TIMER(os::GetTimer(), os::bind(&Poller::OnTimer, this), 5000,
///                                     nullptr);
/// records the callback as "os::bind(&Poller::OnTimer,this)".
#define PLINTH_REGISTER_TIMER(timer, callback, interval, userData)               \
    ((timer)->_RegisterTimer(callback, interval, userData, __FILE__, __LINE__,   \
                             OS_QUALIFIED_FUNCTION_NAME, (__extension__({        \
                                 static constexpr auto plinth_callback_text_ =   \
                                     ::os::detail::CompactExpression(#callback); \
                                 plinth_callback_text_.c_str();                  \
                             }))))
