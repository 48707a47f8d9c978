// Loading the module and unloading it:
//
//   Module.LoadFirst/os            the first load in a fresh process: dlopen of
//                                  libPyr_MiniMap.so, whose static initialisation creates the
//                                  process's string table and reads the sample tables
//                                  ("common", "PetSystem") to fill the display texts, then
//                                  dlsym and the call of InitPlugin, the first entry point.
//                                  Measured inside a child process started for each
//                                  iteration; the unload time is the counter `unload_us`
//   Module.LoadFirst/empty_module  the same for an empty shared library
//   Module.Reload/os               load to the first entry point and dlclose, again and
//                                  again in one process whose string table already exists
//                                  (as when the client made it before its plug-ins): the
//                                  module reads no table and really unloads at dlclose, which
//                                  is checked
//   Module.Reload/empty_module     the same for the empty library
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text/StringTable.h"

namespace {

using Clock = std::chrono::steady_clock;

struct LoadTimes {
    double loadSeconds = 0;
    double unloadSeconds = 0;
    bool ok = false;
};

/// dlopen, dlsym InitPlugin, call it; then dlclose. Reports whether the library is gone.
LoadTimes LoadCallUnload(const char* path, bool* unloaded) {
    LoadTimes times;
    const auto start = Clock::now();
    void* handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return times;
    }
    auto* init = reinterpret_cast<bool (*)()>(::dlsym(handle, "InitPlugin"));
    const bool initialised = init != nullptr && init();
    const auto loaded = Clock::now();
    ::dlclose(handle);
    const auto closed = Clock::now();
    void* still = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    *unloaded = still == nullptr;
    if (still != nullptr) {
        ::dlclose(still);
    }
    times.loadSeconds = std::chrono::duration<double>(loaded - start).count();
    times.unloadSeconds = std::chrono::duration<double>(closed - loaded).count();
    times.ok = initialised;
    return times;
}

std::string& SelfPath() {
    static std::string path;
    return path;
}

/// Runs this program as `--load-once <library>` and reads what the child measured.
LoadTimes LoadInFreshProcess(const char* library) {
    LoadTimes times;
    const std::string command = "'" + SelfPath() + "' --load-once '" + library + "'";
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        return times;
    }
    int ok = 0;
    if (std::fscanf(child, "%lf %lf %d", &times.loadSeconds, &times.unloadSeconds, &ok) == 3) {
        times.ok = ok != 0;
    }
    if (::pclose(child) != 0) {
        times.ok = false;
    }
    return times;
}

void LoadFirst(benchmark::State& state, const char* library) {
    double unload = 0;
    for (auto _ : state) {
        const LoadTimes times = LoadInFreshProcess(library);
        if (!times.ok) {
            state.SkipWithError("the child could not load the library and call InitPlugin");
            break;
        }
        state.SetIterationTime(times.loadSeconds);
        unload += times.unloadSeconds;
    }
    state.counters["unload_us"] =
        benchmark::Counter(unload * 1e6 / static_cast<double>(state.iterations()));
}

void Reload(benchmark::State& state, const char* library) {
    // The process's string table, made by the host before any plug-in loads.
    benchmark::DoNotOptimize(GetCommonString("Probe"));
    for (auto _ : state) {
        bool unloaded = false;
        const LoadTimes times = LoadCallUnload(library, &unloaded);
        if (!times.ok || !unloaded) {
            state.SkipWithError(times.ok ? "the library stayed loaded after dlclose"
                                         : "the library could not be loaded and initialised");
            break;
        }
        state.SetIterationTime(times.loadSeconds + times.unloadSeconds);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Every process of this benchmark reads the sample tables.
    ::setenv("PLINTH_CONFIG_DIR", PYR_SAMPLE_CONFIG, 1);
    if (argc == 3 && std::strcmp(argv[1], "--load-once") == 0) {
        bool unloaded = false;
        const LoadTimes times = LoadCallUnload(argv[2], &unloaded);
        std::printf("%.9f %.9f %d\n", times.loadSeconds, times.unloadSeconds, times.ok ? 1 : 0);
        return times.ok ? 0 : 1;
    }
    SelfPath() = "/proc/self/exe";
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        SelfPath().assign(self, static_cast<std::size_t>(n));
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // The fresh-process rows first: nothing of this process is inherited anyway, but the
    // in-process rows make the string table, and they come after.
    benchmark::RegisterBenchmark("Module.LoadFirst/os", LoadFirst, PYR_MINIMAP_LIBRARY)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(20);
    benchmark::RegisterBenchmark("Module.LoadFirst/empty_module", LoadFirst, PYR_EMPTY_MODULE)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(20);
    benchmark::RegisterBenchmark("Module.Reload/os", Reload, PYR_MINIMAP_LIBRARY)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Module.Reload/empty_module", Reload, PYR_EMPTY_MODULE)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
