// Log lines and texts built from format strings, without ever throwing into the caller.
//
// LogFormatted and LogText test the level first: a disabled level costs one IsLevelEnable
// call, and nothing is formatted or allocated. Formatting faults are reported by SafeFormat
// (a level-less line and a call stack per failing step) and the line is still written with
// whatever text resulted, possibly empty. Any other std::exception (an allocation failure,
// say) goes to os::DebugLog and the call returns normally.
//
// Arguments are fed to SafeFormat in order: texts (const char*, std::string and types derived
// from it) and the integer types SafeFormat accepts. A null const char* is skipped.
#pragma once

#include <exception>
#include <string>

#include "net/SafeFormat.h"
#include "plinth/Log.h"

namespace logformat_detail {

/// Formats and writes an enabled line. Out of line, so that the caller of a disabled line pays
/// for the level check alone, not for the stack frame of the format object.
template <class... A>
__attribute__((noinline, cold)) void WriteFormatted(int level, const char* fmt, const A&... args) {
    try {
        SafeFormat format(fmt);
        static_cast<void>((format % ... % args));
        const std::string text = format.str();
        os::WriteLog(level, 0, text.c_str(), static_cast<int>(text.length()));
    } catch (const std::exception& e) {
        os::DebugLog(e.what());
    }
}

}  // namespace logformat_detail

/// Writes the formatted line at `level` if that level is enabled. A null `fmt` writes nothing.
template <class... A>
void LogFormatted(int level, const char* fmt, const A&... args) {
    // The log lives for the whole process: fetched once, a disabled line costs one
    // IsLevelEnable call and nothing else.
    static os::Log& log = os::Log::GetInstance();
    if (fmt == nullptr || !log.IsLevelEnable(level)) {
        return;
    }
    logformat_detail::WriteFormatted(level, fmt, args...);
}

/// Writes `text` unformatted at `level` if that level is enabled. A null `text` writes nothing.
void LogText(int level, const char* text);

/// Writes the line for an exception caught in `where`, "<where>() error : <what>" at level 3;
/// a null `what` (an exception that is no std::exception) reads "unknown exception".
void LogCaught(const char* where, const char* what);

/// Runs `body()` and stops whatever it throws: `caught` is called with the exception's what()
/// text, or with null for one that is no std::exception, and the result is false; true when
/// `body` returned. For code whose callers live in other modules, where nothing may pass.
template <class Body, class Caught>
bool CatchAll(Body&& body, Caught&& caught) {
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        caught(e.what());
    } catch (...) {
        caught(nullptr);
    }
    return false;
}

/// CatchAll that writes LogCaught's line for `where`.
template <class Body>
bool LogCaughtIn(const char* where, Body&& body) {
    return CatchAll(body, [where](const char* what) { LogCaught(where, what); });
}

/// The formatted text, for exceptions and paths rather than the log. A null `fmt` gives
/// "NullString"; formatting faults are reported like LogFormatted's and give whatever text
/// resulted; any other escaping std::exception gives its what() text.
template <class... A>
std::string FormatText(const char* fmt, const A&... args) {
    if (fmt == nullptr) {
        return "NullString";
    }
    try {
        SafeFormat format(fmt);
        static_cast<void>((format % ... % args));
        return format.str();
    } catch (const std::exception& e) {
        return e.what();
    }
}
