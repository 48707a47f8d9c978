// Helpers of the packed resource library's tests: temporary folders, capture of standard
// error, running a program, and the library loaded with dlopen the way a client loads it.
#pragma once

#include "support/Scoped.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "satchel/Satchel.h"
#include "support/NoCopy.h"

namespace satchel_test {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

/// Redirects file descriptor 2 into a file while it lives; Text() stops the capture (once)
/// and returns everything written meanwhile.
class StderrCapture : test::NoCopy {
public:
    StderrCapture();
    ~StderrCapture();
    std::string Text();

private:
    void Stop();
    TempDir dir;
    int saved = -1;
    std::string text;
};

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& data);

/// Runs `arguments` (the program first) with standard output and error joined, without a
/// shell; returns the exit status (-1 when it did not exit normally) and the output. A program
/// still running after kProgramTimeLimit is killed (status -1, the output says so), so a test
/// of a hang fails instead of hanging.
inline constexpr std::chrono::seconds kProgramTimeLimit{30};
struct RunResult {
    int status = -1;
    std::string output;
};
RunResult RunProgram(const std::vector<std::string>& arguments);

/// A shared library opened with dlopen, the way the client opens the packed resource library:
/// the four entry points are looked up by name and may be missing.
class LoadedLibrary : test::NoCopy {
public:
    explicit LoadedLibrary(const std::string& path);
    ~LoadedLibrary();

    bool IsOpen() const { return handle != nullptr; }
    void* Symbol(const char* name) const;
    template <typename Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }
    /// Closes the library and reports whether it really left the process (a library that
    /// stays mapped would carry its state into the next test).
    bool Unload();

    satchel::IsLoadFromMpqFn isLoadFromMpq = nullptr;
    satchel::GameResourcesInitializeFn gameResourcesInitialize = nullptr;
    satchel::LoadFileDataFn loadFileData = nullptr;
    satchel::FreeFileDataFn freeFileData = nullptr;

private:
    std::string path;
    void* handle = nullptr;
};

/// The names that a library at `path` exports (defined dynamic symbols), read from its ELF
/// dynamic symbol table.
std::vector<std::string> ExportedSymbols(const fs::path& path);

}  // namespace satchel_test
