// Captures what the core library's log receives, for the scope of a test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "plinth/Log.h"
#include "support/NoCopy.h"

namespace test {

struct CapturedRecord {
    os::LogKind kind;
    int level;
    std::string text;
};

/// Installs itself as the log sink on construction and restores the previous sink on
/// destruction. Also enables the given levels for its scope (levels 2 and 3 by default).
class LogCapture : public os::ILogSink, test::NoCopy {
public:
    explicit LogCapture(std::uint32_t levels = (1u << 2) | (1u << 3))
        : savedLevels(os::Log::GetInstance().GetEnabledLevels()) {
        os::Log::GetInstance().SetEnabledLevels(levels);
        previous = os::Log::GetInstance().SetSink(this);
    }
    ~LogCapture() override {
        os::Log::GetInstance().SetSink(previous);
        os::Log::GetInstance().SetEnabledLevels(savedLevels);
    }

    void Write(const os::LogRecord& record) override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            records.push_back(CapturedRecord{record.kind, record.level, std::string(record.text)});
        }
        written.notify_all();
    }

    /// Waits until at least `count` records contain `text`; false after `timeoutMs`.
    bool WaitForRecords(const std::string& text, std::size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> guard(mutex);
        return written.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            std::size_t n = 0;
            for (const auto& r : records) {
                n += r.text.find(text) != std::string::npos ? 1 : 0;
            }
            return n >= count;
        });
    }

    /// Every record, in order.
    std::vector<CapturedRecord> Records() const {
        std::lock_guard<std::mutex> guard(mutex);
        return records;
    }
    /// The texts of the level lines (WriteLog(level, ...)) only, in order.
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::string> lines;
        for (const auto& r : records) {
            if (r.kind == os::LogKind::Line) {
                lines.push_back(r.text);
            }
        }
        return lines;
    }
    /// How many records of `kind` were written.
    std::size_t Count(os::LogKind kind) const {
        std::lock_guard<std::mutex> guard(mutex);
        std::size_t n = 0;
        for (const auto& r : records) {
            n += r.kind == kind ? 1 : 0;
        }
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(mutex);
        records.clear();
    }

private:
    mutable std::mutex mutex;
    std::condition_variable written;
    std::vector<CapturedRecord> records;
    os::ILogSink* previous = nullptr;
    std::uint32_t savedLevels;
};

}  // namespace test
