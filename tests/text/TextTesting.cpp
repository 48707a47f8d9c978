#include "TextTesting.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "plinth/SharedLibrary.h"
#include "satchel/SatchelRecording.h"
#include "text/PackedResourceLibrary.h"

extern char** environ;

namespace text_test {

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteTable(const fs::path& configDir, const std::string& table, const std::string& xml) {
    WriteFile(configDir / "config" / "StringTable" / (table + ".xml"), xml);
}

std::string HostRun::Line(const std::string& prefix) const {
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            return line;
        }
    }
    return {};
}

namespace {

// "text M ARRAY INDEX PTR TEXT": the address and the text (which may be empty).
std::pair<std::string, std::string> TextFields(const HostRun& run, const std::string& module,
                                               const std::string& array, int index) {
    const std::string prefix = "text " + module + " " + array + " " + std::to_string(index) + " ";
    const std::string line = run.Line(prefix);
    if (line.empty()) {
        return {"(missing)", "(missing)"};
    }
    const std::string rest = line.substr(prefix.size());
    const auto space = rest.find(' ');
    if (space == std::string::npos) {
        return {rest, ""};
    }
    return {rest.substr(0, space), rest.substr(space + 1)};
}

}  // namespace

std::string HostRun::Text(const std::string& module, const std::string& array, int index) const {
    return TextFields(*this, module, array, index).second;
}

std::string HostRun::TextAddress(const std::string& module, const std::string& array,
                                 int index) const {
    return TextFields(*this, module, array, index).first;
}

std::string HostRun::All() const {
    std::string all = "status " + std::to_string(status) + "\n";
    for (const auto& line : lines) {
        all += line + "\n";
    }
    return all + errors;
}

HostRun RunProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment) {
    TempDir outputDir;
    const std::string out = (outputDir / "stdout").string();
    const std::string err = (outputDir / "stderr").string();

    std::vector<std::string> argumentCopies = arguments;
    std::vector<char*> argv;
    for (auto& argument : argumentCopies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    // The inherited environment without the variables that `environment` names, then those.
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& change : environment) {
            const std::string name = change.substr(0, change.find('='));
            replaced = replaced || entry.rfind(name + "=", 0) == 0;
        }
        if (!replaced) {
            entries.push_back(entry);
        }
    }
    for (const auto& change : environment) {
        if (change.find('=') != std::string::npos) {
            entries.push_back(change);
        }
    }
    std::vector<char*> envp;
    for (auto& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);

    HostRun run;
    if (spawned != 0) {
        run.errors = "cannot start " + arguments.front();
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(ReadFile(out));
    for (std::string line; std::getline(lines, line);) {
        run.lines.push_back(line);
    }
    run.errors = ReadFile(err);
    return run;
}

HostRun RunHost(const std::vector<std::string>& commands, const fs::path& configDir) {
    std::vector<std::string> arguments{TEXT_MODULE_HOST};
    arguments.insert(arguments.end(), commands.begin(), commands.end());
    return RunProgram(arguments, {"PLINTH_CONFIG_DIR=" + configDir.string(), "PLINTH_LOG_LEVEL",
                                  "PLINTH_LOG_FILE"});
}

void MakeModuleFolder(const fs::path& folder, const std::vector<std::string>& modules,
                      const std::string& packedLibrary) {
    fs::create_directories(folder);
    for (const auto& module : modules) {
        fs::copy_file(TEXT_TEST_MODULE, folder / module, fs::copy_options::overwrite_existing);
    }
    if (!packedLibrary.empty()) {
        fs::copy_file(packedLibrary, folder / "libSatchel.so",
                      fs::copy_options::overwrite_existing);
    }
}

RecordingArchive::RecordingArchive() : handle(PackedResourceLibrary::Instance().handle) {
    if (handle == nullptr) {
        throw std::runtime_error("no recording packed library beside the test program");
    }
    Get<satchel_test::ResetFn>("SatchelRecordingReset")();
}

void* RecordingArchive::Symbol(const char* name) const {
    void* symbol = os::FindSharedLibrarySymbol(handle, name);
    if (symbol == nullptr) {
        throw std::runtime_error(std::string("the packed library lacks ") + name);
    }
    return symbol;
}

void RecordingArchive::SetLoadFromMpq(bool value) {
    Get<satchel_test::SetLoadFromMpqFn>("SatchelRecordingSetLoadFromMpq")(value);
}

void RecordingArchive::Serve(const std::string& name, const std::string& bytes) {
    Get<satchel_test::SetFileFn>("SatchelRecordingSetFile")(
        name.c_str(), bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

int RecordingArchive::Loads() const {
    return Get<satchel_test::CountFn>("SatchelRecordingLoadCount")();
}

std::pair<std::string, int> RecordingArchive::LoadCall(int index) const {
    const char* name = nullptr;
    int mode = 0;
    if (!Get<satchel_test::LoadCallFn>("SatchelRecordingLoadCall")(index, &name, &mode)) {
        return {"(none)", 0};
    }
    return {name, mode};
}

int RecordingArchive::Frees() const {
    return Get<satchel_test::CountFn>("SatchelRecordingFreeCount")();
}

int RecordingArchive::Outstanding() const {
    return Get<satchel_test::CountFn>("SatchelRecordingOutstandingBuffers")();
}

}  // namespace text_test
