// Outgoing requests and log lines:
//
//   Request.Poll/os, Request.Query/os  the minimap's requests built as NetMsg on a pooled core
//                               buffer (taken, filled, read as the send reads it, released)
//   Request.*/stack_bytes       the same bytes written into a local array: the floor
//   Log.Disabled/os             LogFormatted at a disabled level (one level check)
//   Log.Disabled/level_check    a bare relaxed load of a level mask: the floor
//   Log.Lifecycle/os            a level-2 lifecycle line with two texts, formatted through
//                               SafeFormat and written to a sink that drops it
//   Log.Lifecycle/snprintf      the same text made with snprintf and written to the same sink
//   CallStack.Repeated/os       os::ShowCallStack from one call site again and again, into a
//                               sink that drops it: the frames' texts come from the cache
//   CallStack.Repeated/symbolise  the same stack captured and symbolised by Boost.Stacktrace
//                               each time, as ShowCallStack did before it cached frames
//   VerifyChunk.Failure/os      a typed read of a chunk of the wrong size: its level-3 line
//                               and its call stack, the cost of one malformed chunk under the
//                               client core lock
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <boost/stacktrace.hpp>

#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "plinth/Log.h"

namespace {

// What SendNetMsg reads of a request: its bytes, GetLength() long.
void Send(const char* bytes, std::size_t length) {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(bytes[length - 1]);
}

void RequestPollOs(benchmark::State& state) {
    for (auto _ : state) {
        NetMsg request(32, 255);
        const std::int32_t op = 5;
        request.AddChunk(&op, sizeof(op), 0);
        Send(request.GetBytes(), request.GetLength());
    }
}

void RequestQueryOs(benchmark::State& state) {
    std::int32_t argument = 7;
    benchmark::DoNotOptimize(argument);
    for (auto _ : state) {
        NetMsg request(32, 255);
        const std::int32_t op = 3;
        request.AddChunk(&op, sizeof(op), 0);
        request.AddChunk(&argument, sizeof(argument), 1);
        Send(request.GetBytes(), request.GetLength());
    }
}

// The floor: the header and chunks written straight into a local array.
template <int Chunks>
void RequestStackBytes(benchmark::State& state) {
    std::int32_t argument = 7;
    benchmark::DoNotOptimize(argument);
    for (auto _ : state) {
        char bytes[6 + 2 * 8];
        const std::uint16_t header[3] = {32, 255, static_cast<std::uint16_t>(6 + 8 * Chunks)};
        std::memcpy(bytes, header, 6);
        const std::uint16_t chunk0[2] = {0, 8};
        const std::int32_t op = Chunks == 1 ? 5 : 3;
        std::memcpy(bytes + 6, chunk0, 4);
        std::memcpy(bytes + 10, &op, 4);
        if constexpr (Chunks == 2) {
            const std::uint16_t chunk1[2] = {1, 8};
            std::memcpy(bytes + 14, chunk1, 4);
            std::memcpy(bytes + 18, &argument, 4);
        }
        Send(bytes, 6 + 8 * Chunks);
    }
}

/// Receives every record and drops it.
class NullSink : public os::ILogSink {
public:
    void Write(const os::LogRecord& record) override { benchmark::DoNotOptimize(record.text); }
};

/// Level 2 (and 3) enabled into a sink that drops the lines, or both disabled, for a scope.
class LogSetup {
public:
    explicit LogSetup(bool enabled)
        : saved(os::Log::GetInstance().GetEnabledLevels()),
          previous(os::Log::GetInstance().SetSink(&sink)) {
        os::Log::GetInstance().SetEnabledLevels(enabled ? (1u << 2) | (1u << 3) : 0u);
    }
    ~LogSetup() {
        os::Log::GetInstance().SetEnabledLevels(saved);
        os::Log::GetInstance().SetSink(previous);
    }

private:
    NullSink sink;
    std::uint32_t saved;
    os::ILogSink* previous;
};

void LogDisabledOs(benchmark::State& state) {
    LogSetup setup(false);
    const char* typeName = "int";
    const unsigned short id = 2;
    const unsigned short size = 8;
    for (auto _ : state) {
        LogFormatted(3, "VerifyChunk() error : class=%s ChunkID==%d ChunkSize=%d", typeName, id,
                     size);
    }
}

void LogDisabledLevelCheck(benchmark::State& state) {
    std::atomic<std::uint32_t> levels{0};
    long written = 0;
    for (auto _ : state) {
        if ((levels.load(std::memory_order_relaxed) >> 3) & 1u) {
            ++written;
        }
        benchmark::DoNotOptimize(written);
    }
}

void LogLifecycleOs(benchmark::State& state) {
    LogSetup setup(true);
    const std::string parent = "HostContainer";
    const std::string child = "Pyr_MiniMap";
    for (auto _ : state) {
        LogFormatted(2, "start %s %s :: DoPrepareParentStart()", parent, child);
    }
}

void LogLifecycleSnprintf(benchmark::State& state) {
    LogSetup setup(true);
    const std::string parent = "HostContainer";
    const std::string child = "Pyr_MiniMap";
    for (auto _ : state) {
        if (os::Log::GetInstance().IsLevelEnable(2)) {
            char text[256];
            const int n = std::snprintf(text, sizeof(text), "start %s %s :: DoPrepareParentStart()",
                                        parent.c_str(), child.c_str());
            os::WriteLog(2, 0, text, n);
        }
    }
}

// Not inlined, so that every iteration shows the stack from the same call site.
[[gnu::noinline]] void ShowStack() {
    os::ShowCallStack();
    asm volatile("");
}

void CallStackRepeatedOs(benchmark::State& state) {
    LogSetup setup(true);
    ShowStack();  // the first time symbolises and fills the cache
    for (auto _ : state) {
        ShowStack();
    }
}

[[gnu::noinline]] std::string SymboliseStack() {
    std::string text = "call stack:\n";
    text += boost::stacktrace::to_string(
        boost::stacktrace::stacktrace(1, static_cast<std::size_t>(-1)));
    asm volatile("");
    return text;
}

void CallStackRepeatedSymbolise(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(SymboliseStack());
    }
}

void VerifyChunkFailureOs(benchmark::State& state) {
    LogSetup setup(true);
    NetMsg msg(32, 254);
    const std::uint8_t selector = 1;
    msg.AddChunk(&selector, sizeof(selector), 0);
    const Chunk* chunk = msg.GetChunk(0);
    for (auto _ : state) {
        const std::int32_t* op = nullptr;
        benchmark::DoNotOptimize(VerifyChunk(&op, chunk));
    }
}

}  // namespace

BENCHMARK(RequestPollOs)->Name("Request.Poll/os");
BENCHMARK_TEMPLATE(RequestStackBytes, 1)->Name("Request.Poll/stack_bytes");
BENCHMARK(RequestQueryOs)->Name("Request.Query/os");
BENCHMARK_TEMPLATE(RequestStackBytes, 2)->Name("Request.Query/stack_bytes");
BENCHMARK(LogDisabledOs)->Name("Log.Disabled/os");
BENCHMARK(LogDisabledLevelCheck)->Name("Log.Disabled/level_check");
BENCHMARK(LogLifecycleOs)->Name("Log.Lifecycle/os");
BENCHMARK(LogLifecycleSnprintf)->Name("Log.Lifecycle/snprintf");

BENCHMARK(CallStackRepeatedOs)->Name("CallStack.Repeated/os");
BENCHMARK(CallStackRepeatedSymbolise)->Name("CallStack.Repeated/symbolise")->Iterations(200);
BENCHMARK(VerifyChunkFailureOs)->Name("VerifyChunk.Failure/os");

BENCHMARK_MAIN();
