// The process log of the core runtime library.
//
// Lines carry a numeric level; a level is written only while it is enabled. The client uses
// level 0 for its trace (each message sent, refused or received), 1 for each reconnection
// attempt, 2 for lifecycle progress and 3 for errors and connection state changes (once per
// change); the table is in docs/architecture.md. By default levels 3 and above are
// enabled; the environment variable PLINTH_LOG_LEVEL=N (read once, at first use) enables
// level N and every level above it instead, and Log::SetLevelEnable changes single levels.
//
// Output: one line per record on standard error, and also appended to the file named by
// PLINTH_LOG_FILE when that is set. Each line carries the time, the level and the thread.
// Records from several threads never interleave. A test installs an ILogSink to receive
// exactly what was written instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plinth/Export.h"

namespace os {

/// What kind of record reaches a sink.
enum class LogKind : std::uint8_t {
    Line,       ///< WriteLog(level, 0, text, length)
    Plain,      ///< WriteLog(text): a line without a level
    Debug,      ///< DebugLog(text)
    CallStack,  ///< ShowCallStack(): `text` is the formatted stack of the calling thread
};

struct LogRecord {
    LogKind kind;
    int level;  ///< the level for LogKind::Line, -1 otherwise
    std::string_view text;
};

/// Receives every record instead of the default output. Called on the writing thread, with
/// the log's own lock held: a sink must not write to the log itself.
class PLINTH_API ILogSink {
public:
    virtual ~ILogSink();
    virtual void Write(const LogRecord& record) = 0;
};

class PLINTH_API Log {
public:
    static Log& GetInstance();

    /// Whether lines of `level` are written. Cheap: one relaxed atomic load.
    bool IsLevelEnable(int level) const noexcept;
    /// Enables or disables one level (0 to 31; others are ignored).
    void SetLevelEnable(int level, bool enabled) noexcept;
    /// The set of enabled levels as a bit mask (bit n = level n).
    std::uint32_t GetEnabledLevels() const noexcept;
    void SetEnabledLevels(std::uint32_t mask) noexcept;

    /// Installs `sink` in place of the default output and returns the previous sink (null for
    /// the default). Passing null restores the default output.
    ILogSink* SetSink(ILogSink* sink);

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

private:
    Log();
    ~Log();
    friend struct LogAccess;
};

/// Writes one line at `level` if that level is enabled. `flags` is reserved and always 0;
/// `length` is the number of bytes of `text` to write (negative: up to the first NUL).
PLINTH_API void WriteLog(int level, int flags, const char* text, int length);
/// Writes one line without a level; always written. A null text writes nothing.
PLINTH_API void WriteLog(const char* text);
PLINTH_API void WriteLog(const std::string& text);
/// Debug output, used for the text of an exception caught while logging.
PLINTH_API void DebugLog(const char* text);
/// Writes the symbolised call stack of the calling thread.
PLINTH_API void ShowCallStack();

}  // namespace os
