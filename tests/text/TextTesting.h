// Helpers of the text resources' tests: temporary folders, files, environment, and running the
// module host in a process of its own.
#pragma once

#include "support/Scoped.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace text_test {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

/// Writes `bytes` to `path`, creating the folders on the way.
void WriteFile(const fs::path& path, const std::string& bytes);
std::string ReadFile(const fs::path& path);

/// Writes a string table file "config/StringTable/<table>.xml" under `configDir`.
void WriteTable(const fs::path& configDir, const std::string& table, const std::string& xml);

/// What one run of a program (the module host, say) printed, line by line.
struct HostRun {
    int status = -1;
    std::vector<std::string> lines;
    std::string errors;  ///< its standard error, for failure messages

    /// The first line that begins with `prefix`, or "" when none does.
    std::string Line(const std::string& prefix) const;
    /// The display text "ARRAY INDEX" as module `module` (its file name) reported it.
    std::string Text(const std::string& module, const std::string& array, int index) const;
    /// The address of that display text, as printed.
    std::string TextAddress(const std::string& module, const std::string& array, int index) const;
    /// Everything printed, for failure messages.
    std::string All() const;
};

/// Runs `arguments` (the program first, no shell) with the inherited environment changed by
/// `environment`: "NAME=value" sets a variable, a bare "NAME" removes it.
HostRun RunProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment);

/// Runs the module host with `commands`, with PLINTH_CONFIG_DIR set to `configDir` and the
/// log at its defaults.
HostRun RunHost(const std::vector<std::string>& commands, const fs::path& configDir);

/// A folder that looks like the client's program folder: a copy of the test module under
/// each name in `modules`, and a copy of `packedLibrary` as libSatchel.so unless it is empty.
void MakeModuleFolder(const fs::path& folder, const std::vector<std::string>& modules,
                      const std::string& packedLibrary);

/// The test program's own packed resource library: the recording double placed beside it as
/// libSatchel.so. Construction forgets every served file and recorded call and turns archive
/// mode on.
class RecordingArchive {
public:
    RecordingArchive();
    /// What the library's IsLoadFromMpq answers from now on.
    void SetLoadFromMpq(bool value);
    /// Serves `bytes` under the archive name `name`.
    void Serve(const std::string& name, const std::string& bytes);
    /// LoadFileData calls so far, and the name and mode of one of them.
    int Loads() const;
    std::pair<std::string, int> LoadCall(int index) const;
    /// Buffers given back through FreeFileData, and those not given back yet.
    int Frees() const;
    int Outstanding() const;

private:
    void* Symbol(const char* name) const;
    template <class Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }
    void* handle;
};

}  // namespace text_test
