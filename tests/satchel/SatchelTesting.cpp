#include "SatchelTesting.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/WaitReadable.h"

extern char** environ;

namespace satchel_test {

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    saved = dup(2);
    const int file = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    close(file);
}

StderrCapture::~StderrCapture() {
    Stop();
}

void StderrCapture::Stop() {
    if (saved < 0) {
        return;
    }
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    saved = -1;
    text = ReadFile(dir / "stderr");
}

std::string StderrCapture::Text() {
    Stop();
    return text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& data) {
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

RunResult RunProgram(const std::vector<std::string>& arguments) {
    RunResult result;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        result.output = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (rc != 0) {
        close(pipeEnds[0]);
        result.output = std::string("cannot start: ") + std::strerror(rc);
        return result;
    }
    // The output ends when the program does; a program that hangs is killed at the deadline.
    const auto deadline = std::chrono::steady_clock::now() + kProgramTimeLimit;
    bool ended = false;
    while (test::WaitReadable(pipeEnds[0], deadline)) {
        char buffer[4096];
        const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ended = true;
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeEnds[0]);
    if (!ended) {
        kill(pid, SIGKILL);
        result.output +=
            "[killed: still running after " + std::to_string(kProgramTimeLimit.count()) + " s]";
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (ended && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

LoadedLibrary::LoadedLibrary(const std::string& path) : path(path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        ADD_FAILURE() << "dlopen(" << path << "): " << dlerror();
        return;
    }
    isLoadFromMpq = Get<satchel::IsLoadFromMpqFn>(satchel::kIsLoadFromMpqName);
    gameResourcesInitialize =
        Get<satchel::GameResourcesInitializeFn>(satchel::kGameResourcesInitializeName);
    loadFileData = Get<satchel::LoadFileDataFn>(satchel::kLoadFileDataName);
    freeFileData = Get<satchel::FreeFileDataFn>(satchel::kFreeFileDataName);
}

LoadedLibrary::~LoadedLibrary() {
    Unload();
}

void* LoadedLibrary::Symbol(const char* name) const {
    return handle != nullptr ? dlsym(handle, name) : nullptr;
}

bool LoadedLibrary::Unload() {
    if (handle != nullptr) {
        dlclose(handle);
        handle = nullptr;
        isLoadFromMpq = nullptr;
        gameResourcesInitialize = nullptr;
        loadFileData = nullptr;
        freeFileData = nullptr;
    }
    void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (still != nullptr) {
        dlclose(still);
        return false;
    }
    return true;
}

namespace {

struct Elf32 {
    using Ehdr = Elf32_Ehdr;
    using Shdr = Elf32_Shdr;
    using Sym = Elf32_Sym;
    static unsigned char Type(unsigned char info) { return ELF32_ST_TYPE(info); }
};

struct Elf64 {
    using Ehdr = Elf64_Ehdr;
    using Shdr = Elf64_Shdr;
    using Sym = Elf64_Sym;
    static unsigned char Type(unsigned char info) { return ELF64_ST_TYPE(info); }
};

// The defined names of the dynamic symbol table of an ELF image of class E.
template <class E>
std::vector<std::string> DynamicSymbolNames(const std::string& image) {
    std::vector<std::string> names;
    const auto at = [&image](std::uint64_t offset, std::uint64_t size) {
        if (offset > image.size() || size > image.size() - offset) {
            throw std::runtime_error("ELF structure outside the file");
        }
        return image.data() + offset;
    };
    typename E::Ehdr header;
    std::memcpy(&header, at(0, sizeof header), sizeof header);
    std::vector<typename E::Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), at(header.e_shoff, sizeof(typename E::Shdr) * header.e_shnum),
                sizeof(typename E::Shdr) * header.e_shnum);
    for (const typename E::Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM) {
            continue;
        }
        const typename E::Shdr& strings = sections.at(section.sh_link);
        const char* table = at(strings.sh_offset, strings.sh_size);
        for (std::uint64_t i = 0; i < section.sh_size / sizeof(typename E::Sym); ++i) {
            typename E::Sym symbol;
            std::memcpy(&symbol, at(section.sh_offset + i * sizeof(typename E::Sym), sizeof symbol),
                        sizeof symbol);
            if (symbol.st_shndx == SHN_UNDEF || symbol.st_name == 0 ||
                E::Type(symbol.st_info) == STT_SECTION) {
                continue;
            }
            names.emplace_back(table + symbol.st_name);
        }
    }
    return names;
}

}  // namespace

std::vector<std::string> ExportedSymbols(const fs::path& path) {
    const std::string image = ReadFile(path);
    if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
        throw std::runtime_error(path.string() + " is not an ELF file");
    }
    // The class of the library as built: 64-bit objects on x86-64, 32-bit ones on i386.
    switch (image[EI_CLASS]) {
        case ELFCLASS32:
            return DynamicSymbolNames<Elf32>(image);
        case ELFCLASS64:
            return DynamicSymbolNames<Elf64>(image);
        default:
            throw std::runtime_error(path.string() + " has an unknown ELF class");
    }
}

}  // namespace satchel_test
