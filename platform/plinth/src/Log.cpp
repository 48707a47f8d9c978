#include "plinth/Log.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/stacktrace.hpp>

#include "detail/Platform.h"

namespace os {
namespace {

constexpr int kDefaultLevel = 3;
constexpr std::uint32_t kDefaultLevels = ~0u << kDefaultLevel;  // levels 3 and above

// PLINTH_LOG_LEVEL as a mask: unset or empty gives the default; anything but a whole number
// from 0 to 31 gives the default too, and `warning` says so.
std::uint32_t LevelsFromEnvironment(std::string& warning) {
    const char* text = detail::GetEnvironment("PLINTH_LOG_LEVEL");
    if (text == nullptr || *text == '\0') {
        return kDefaultLevels;
    }
    char* end = nullptr;
    errno = 0;
    const long level = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || level < 0 || level > 31) {
        warning = std::string("os::Log warning : PLINTH_LOG_LEVEL=\"") + text +
                  "\" is not a level from 0 to 31; the default level " +
                  std::to_string(kDefaultLevel) + " is used";
        return kDefaultLevels;
    }
    return ~0u << level;
}

const char* KindTag(LogKind kind) {
    switch (kind) {
        case LogKind::Line:
            return "";
        case LogKind::Plain:
            return "--";
        case LogKind::Debug:
            return "DBG";
        case LogKind::CallStack:
            return "STK";
    }
    return "?";
}

std::string Decorate(const LogRecord& record) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    const std::size_t n = std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    char prefix[128];
    if (record.kind == LogKind::Line) {
        std::snprintf(prefix, sizeof(prefix), "%.*s.%03d [L%d] [T%llu] ", static_cast<int>(n),
                      stamp, static_cast<int>(millis), record.level,
                      static_cast<unsigned long long>(detail::CurrentThreadNumber()));
    } else {
        std::snprintf(prefix, sizeof(prefix), "%.*s.%03d [%s] [T%llu] ", static_cast<int>(n), stamp,
                      static_cast<int>(millis), KindTag(record.kind),
                      static_cast<unsigned long long>(detail::CurrentThreadNumber()));
    }
    std::string line = prefix;
    line.append(record.text.data(), record.text.size());
    if (line.empty() || line.back() != '\n') {
        line.push_back('\n');
    }
    return line;
}

// The log's state lives apart from the exported class so that the class carries no data
// other modules could depend on.
struct LogState {
    std::atomic<std::uint32_t> levels{kDefaultLevels};
    std::mutex mutex;
    ILogSink* sink = nullptr;
    std::FILE* file = nullptr;
    std::string filePath;
    bool fileFailing = false;
    bool reopenFailing = false;

    LogState() {
        std::string warning;
        levels = LevelsFromEnvironment(warning);
        const char* path = detail::GetEnvironment("PLINTH_LOG_FILE");
        if (path != nullptr && *path != '\0') {
            file = detail::OpenLogFile(path);
            filePath = path;
            if (file == nullptr) {
                // Said once, on standard error: otherwise a mistyped path silently loses the
                // file output.
                std::fprintf(stderr, "os::Log error : cannot open PLINTH_LOG_FILE %s : %s\n", path,
                             std::strerror(errno));
            }
        }
        if (!warning.empty()) {
            // Written here, as a line without a level, to the default outputs: no sink can be
            // installed before the state exists, and the log cannot be called while it is made.
            WriteDefault(Decorate(LogRecord{LogKind::Plain, -1, warning}));
        }
    }

    // Called with `mutex` held, or from the constructor.
    void WriteDefault(const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        if (file == nullptr) {
            return;
        }
        FollowRotation();
        const bool written =
            std::fwrite(line.data(), 1, line.size(), file) == line.size() && std::fflush(file) == 0;
        // A full disk or a device that takes nothing loses the file's lines: said once when
        // writing starts to fail and again only after it worked in between, not once a line.
        if (!written && !fileFailing) {
            std::fprintf(stderr, "os::Log error : cannot write PLINTH_LOG_FILE %s : %s\n",
                         filePath.c_str(), std::strerror(errno));
        }
        fileFailing = !written;
        if (!written) {
            std::clearerr(file);  // so that the next line tries again
        }
    }

    // A log rotated by renaming (logrotate's default) or deleted would otherwise be written to
    // for ever, the new file never made and a deleted one's space never given back: when the
    // path no longer names the open file, the next line goes to a file opened anew there. A
    // path that cannot be opened again keeps the old file, said once.
    void FollowRotation() {
        if (detail::PathNamesOpenFile(filePath.c_str(), file)) {
            reopenFailing = false;
            return;
        }
        if (std::FILE* reopened = detail::OpenLogFile(filePath.c_str())) {
            std::fclose(file);
            file = reopened;
            reopenFailing = false;
        } else if (!reopenFailing) {
            reopenFailing = true;
            std::fprintf(stderr, "os::Log error : cannot open PLINTH_LOG_FILE %s again : %s\n",
                         filePath.c_str(), std::strerror(errno));
        }
    }
};

LogState& State() {
    // Never destroyed: modules and threads may log while the process exits.
    static LogState* state = new LogState;
    return *state;
}

void Emit(const LogRecord& record) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.sink != nullptr) {
        state.sink->Write(record);
        return;
    }
    state.WriteDefault(Decorate(record));
}

// The texts of symbolised frames, by code address. Symbolising a stack reads the debug
// information of its libraries: tens of microseconds in a small program, up to milliseconds
// in the client. A check that fails again and again (a server repeating a malformed message)
// shows the same stack each time, which then costs a few lookups. The text is exactly what
// Boost.Stacktrace gives for the whole stack: the same per-frame text, numbered the same way.
//
// Bounded: emptied when it holds kMaxFrames texts. Emptied as well when the process unloaded a
// library since the texts were made: another library may be mapped at those addresses now.
// Thread-safe: its own leaf lock, never held while a frame is symbolised nor while the log
// writes.
class FrameTexts {
public:
    static constexpr std::size_t kMaxFrames = 4096;

    static FrameTexts& Instance() {
        // Never destroyed: threads may log while the process exits.
        static FrameTexts* texts = new FrameTexts;
        return *texts;
    }

    std::string Format(const boost::stacktrace::stacktrace& stack) {
        const std::size_t size = stack.size();
        unsigned long long unloads = 0;
        {
            std::lock_guard<std::mutex> guard(mutex);
            unloads = ForgetIfUnloadedLocked();
            bool all = true;
            for (std::size_t i = 0; i < size && all; ++i) {
                all = texts.count(stack[i].address()) != 0;
            }
            if (all) {
                std::string text;
                text.reserve(64 * size);
                for (std::size_t i = 0; i < size; ++i) {
                    AppendFrame(text, i, texts.at(stack[i].address()));
                }
                return text;
            }
        }
        // A stack not seen whole before is symbolised whole, without the lock.
        std::vector<std::string> made(size);
        for (std::size_t i = 0; i < size; ++i) {
            made[i] = boost::stacktrace::to_string(stack[i]);
        }
        {
            std::lock_guard<std::mutex> guard(mutex);
            // Texts made across an unload serve this stack but are not kept.
            if (ForgetIfUnloadedLocked() == unloads) {
                for (std::size_t i = 0; i < size; ++i) {
                    if (texts.size() >= kMaxFrames) {
                        texts.clear();
                    }
                    texts.emplace(stack[i].address(), made[i]);
                }
            }
        }
        std::string text;
        text.reserve(64 * size);
        for (std::size_t i = 0; i < size; ++i) {
            AppendFrame(text, i, made[i]);
        }
        return text;
    }

private:
    // Empties the texts when a library went since they were made; returns the unload count.
    unsigned long long ForgetIfUnloadedLocked() {
        const unsigned long long unloads = detail::LibraryUnloadCount();
        if (unloads != unloadsSeen) {
            texts.clear();
            unloadsSeen = unloads;
        }
        return unloads;
    }

    // Boost.Stacktrace's layout of frame `index`: its number right-aligned in two places
    // below 10, "# ", the frame's text, a line end.
    static void AppendFrame(std::string& text, std::size_t index, const std::string& frame) {
        if (index < 10) {
            text += ' ';
        }
        text += std::to_string(index);
        text += "# ";
        text += frame;
        text += '\n';
    }

    std::mutex mutex;
    std::unordered_map<const void*, std::string> texts;
    unsigned long long unloadsSeen = 0;
};

}  // namespace

ILogSink::~ILogSink() = default;

Log::Log() = default;
Log::~Log() = default;

Log& Log::GetInstance() {
    static Log* instance = new Log;
    return *instance;
}

bool Log::IsLevelEnable(int level) const noexcept {
    if (level < 0 || level > 31) {
        return false;
    }
    return (State().levels.load(std::memory_order_relaxed) >> level) & 1u;
}

void Log::SetLevelEnable(int level, bool enabled) noexcept {
    if (level < 0 || level > 31) {
        return;
    }
    const std::uint32_t bit = 1u << level;
    if (enabled) {
        State().levels.fetch_or(bit, std::memory_order_relaxed);
    } else {
        State().levels.fetch_and(~bit, std::memory_order_relaxed);
    }
}

std::uint32_t Log::GetEnabledLevels() const noexcept {
    return State().levels.load(std::memory_order_relaxed);
}

void Log::SetEnabledLevels(std::uint32_t mask) noexcept {
    State().levels.store(mask, std::memory_order_relaxed);
}

ILogSink* Log::SetSink(ILogSink* sink) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    ILogSink* previous = state.sink;
    state.sink = sink;
    return previous;
}

void WriteLog(int level, int /*flags*/, const char* text, int length) {
    if (text == nullptr || !Log::GetInstance().IsLevelEnable(level)) {
        return;
    }
    const std::size_t size = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    Emit(LogRecord{LogKind::Line, level, std::string_view(text, size)});
}

void WriteLog(const char* text) {
    if (text == nullptr) {
        return;
    }
    Emit(LogRecord{LogKind::Plain, -1, std::string_view(text)});
}

void WriteLog(const std::string& text) {
    Emit(LogRecord{LogKind::Plain, -1, text});
}

void DebugLog(const char* text) {
    if (text == nullptr) {
        return;
    }
    Emit(LogRecord{LogKind::Debug, -1, std::string_view(text)});
}

void ShowCallStack() {
    // Skip this function's own frame; the caller's frame comes first.
    const boost::stacktrace::stacktrace stack(1, static_cast<std::size_t>(-1));
    std::string text = "call stack:\n";
    text += FrameTexts::Instance().Format(stack);
    Emit(LogRecord{LogKind::CallStack, -1, text});
}

}  // namespace os
