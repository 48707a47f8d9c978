#include "detail/Platform.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace os::detail {
namespace {

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

/// The loader's words, with the source name of a C++ symbol it found nowhere:
/// "undefined symbol: _Z18NotDefinedAnywherev (NotDefinedAnywhere())".
std::string DlError() {
    const char* text = dlerror();
    std::string error = text != nullptr ? text : "unknown loader error";
    static constexpr std::string_view kUndefined = "undefined symbol: ";
    const std::size_t at = error.find(kUndefined);
    if (at == std::string::npos) {
        return error;
    }
    const std::size_t begin = at + kUndefined.size();
    std::size_t end = error.find(',', begin);  // ", version V" may follow
    end = end == std::string::npos ? error.size() : end;
    int status = -1;
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(error.substr(begin, end - begin).c_str(), nullptr, nullptr, &status),
        &std::free);
    if (status == 0 && name != nullptr) {
        error.insert(end, " (" + std::string(name.get()) + ")");
    }
    return error;
}

/// Opens `path` with `flags` without waiting in the open for a FIFO's other end: a FIFO with
/// no reader is refused for writing (ENXIO), one with no writer opens for reading at once, and
/// no stop signal would end either wait. The descriptor then reads and writes blocking, as
/// usual. -1 with errno set when it cannot.
int OpenWithoutWaiting(const char* path, int flags, mode_t mode) noexcept {
    const int fd = open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
    if (fd < 0) {
        return -1;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

/// Closes a descriptor when the read is done, whichever way it ends.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

ReadFileResult ReadDescriptor(int fd, std::size_t maxBytes, std::string& bytes) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return ReadFileResult::Unreadable;
    }
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return ReadFileResult::Unreadable;
    }
    if (S_ISREG(status.st_mode)) {
        if (static_cast<unsigned long long>(status.st_size) > maxBytes) {
            return ReadFileResult::TooLarge;
        }
        // One more byte than the size: the read that finds the end needs room to try.
        bytes.reserve(static_cast<std::size_t>(status.st_size) + 1);
    }
    // Read in place, a block at a time, and never more than one byte past the limit.
    constexpr std::size_t kBlock = 1 << 16;
    for (;;) {
        const std::size_t have = bytes.size();
        const std::size_t left = maxBytes - have;  // have <= maxBytes here
        std::size_t want = left >= kBlock ? kBlock : left + 1;
        // Within the room already reserved while there is some: a regular file is then read
        // into the one block its size asked for, never moved to a larger one.
        if (const std::size_t room = bytes.capacity() - have; room > 0 && room < want) {
            want = room;
        }
        bytes.resize(have + want);
        const ssize_t n = read(fd, bytes.data() + have, want);
        if (n < 0 && errno == EINTR) {
            bytes.resize(have);
            continue;
        }
        if (n < 0) {
            return ReadFileResult::Unreadable;
        }
        bytes.resize(have + static_cast<std::size_t>(n));
        if (n == 0) {
            return bytes.empty() && S_ISFIFO(status.st_mode) ? ReadFileResult::NoWriter
                                                             : ReadFileResult::Read;
        }
        if (bytes.size() > maxBytes) {
            return ReadFileResult::TooLarge;
        }
    }
}

/// Reads `size` bytes at `offset` of `fd`; false when the file ends before them.
bool ReadAt(int fd, void* out, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, static_cast<char*>(out) + done, size - done,
                                static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

/// The libraries an ELF file of this class names as needed (DT_NEEDED), read from its program
/// headers the way the loader reads them. Empty for a file it cannot make sense of.
template <class Ehdr, class Phdr, class Dyn>
std::vector<std::string> NeededOfClass(int fd) {
    // Far beyond any real library; a damaged count must not make us read gigabytes.
    constexpr std::uint64_t kMostBytes = 1u << 20;
    Ehdr header;
    if (!ReadAt(fd, &header, sizeof header, 0) || header.e_phentsize != sizeof(Phdr)) {
        return {};
    }
    std::vector<Phdr> segments(header.e_phnum);
    if (!ReadAt(fd, segments.data(), segments.size() * sizeof(Phdr), header.e_phoff)) {
        return {};
    }
    const auto dynamic = std::find_if(segments.begin(), segments.end(),
                                      [](const Phdr& s) { return s.p_type == PT_DYNAMIC; });
    if (dynamic == segments.end() || dynamic->p_filesz > kMostBytes) {
        return {};
    }
    std::vector<Dyn> entries(dynamic->p_filesz / sizeof(Dyn));
    if (!ReadAt(fd, entries.data(), entries.size() * sizeof(Dyn), dynamic->p_offset)) {
        return {};
    }
    std::uint64_t table = 0;
    std::uint64_t tableSize = 0;
    std::vector<std::uint64_t> needed;
    for (const Dyn& entry : entries) {
        if (entry.d_tag == DT_NULL) {
            break;
        }
        if (entry.d_tag == DT_NEEDED) {
            needed.push_back(entry.d_un.d_val);
        } else if (entry.d_tag == DT_STRTAB) {
            table = entry.d_un.d_ptr;
        } else if (entry.d_tag == DT_STRSZ) {
            tableSize = entry.d_un.d_val;
        }
    }
    // The string table is given by its address: found in the file through the loadable
    // segment that holds it.
    for (const Phdr& segment : segments) {
        if (segment.p_type != PT_LOAD || table < segment.p_vaddr ||
            table - segment.p_vaddr >= segment.p_filesz) {
            continue;
        }
        const std::uint64_t inSegment = table - segment.p_vaddr;
        tableSize = std::min({tableSize, segment.p_filesz - inSegment, kMostBytes});
        std::string strings(static_cast<std::size_t>(tableSize), '\0');
        if (!ReadAt(fd, strings.data(), strings.size(), segment.p_offset + inSegment)) {
            return {};
        }
        std::vector<std::string> names;
        for (const std::uint64_t at : needed) {
            if (at < strings.size()) {
                names.emplace_back(strings.c_str() + at);
            }
        }
        return names;
    }
    return {};
}

/// The libraries the ELF file at `path` needs, for this machine's byte order; empty for
/// anything else (the loader then says what is wrong with it).
std::vector<std::string> NeededLibraries(const std::string& path) {
    const FileDescriptor file{OpenWithoutWaiting(path.c_str(), O_RDONLY, 0)};
    unsigned char ident[EI_NIDENT];
    if (file.fd < 0 || !ReadAt(file.fd, ident, sizeof ident, 0) ||
        std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
        return {};
    }
    const unsigned char nativeOrder =
        std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != nativeOrder) {
        return {};
    }
    if (ident[EI_CLASS] == ELFCLASS64) {
        return NeededOfClass<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn>(file.fd);
    }
    if (ident[EI_CLASS] == ELFCLASS32) {
        return NeededOfClass<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn>(file.fd);
    }
    return {};
}

/// A sanitizer's run-time library that must be the first one a program loads, g++'s or clang's
/// ("libclang_rt.asan-x86_64.so"). Loaded later, AddressSanitizer's ends the whole process at
/// its start ("ASan runtime does not come first"); the others fail to load with a message
/// about static TLS that names no cause.
bool IsFirstOnlyRuntime(const std::string& name) {
    for (const char* runtime : {"libasan.so", "libhwasan.so", "libtsan.so", "liblsan.so",
                                "libclang_rt.asan", "libclang_rt.hwasan", "libclang_rt.tsan"}) {
        if (name.rfind(runtime, 0) == 0) {
            return true;
        }
    }
    return false;
}

/// Whether one of `needed` starts with `prefix`.
bool NeedsLibrary(const std::vector<std::string>& needed, std::string_view prefix) {
    return std::any_of(needed.begin(), needed.end(),
                       [&](const std::string& name) { return name.rfind(prefix, 0) == 0; });
}

/// Why a module with these dependencies cannot be loaded beside this program, or an empty text.
std::string WhyNotLoadable(const std::string& path, const std::vector<std::string>& needed) {
    for (const std::string& name : needed) {
        if (IsFirstOnlyRuntime(name) && !IsLibraryLoaded(name)) {
            return path + ": built with a sanitizer whose run-time library " + name +
                   " this program did not start with; start it with LD_PRELOAD=" + name +
                   ", or build the module without the sanitizer";
        }
    }
    // A module built on the core library with the C++ run-time library and the unwinder linked
    // in (-static-libstdc++ -static-libgcc) needs neither shared one: an exception it throws is
    // unwound by its own unwinder into the program's frames, whose personality routine hands
    // it to the shared unwinder, which aborts the process without a word.
    if (NeedsLibrary(needed, "libPlinth.so") && !NeedsLibrary(needed, "libstdc++.so") &&
        !NeedsLibrary(needed, "libgcc_s.so")) {
        return path +
               ": built with its own copy of the C++ run-time library and unwinder "
               "(-static-libstdc++ -static-libgcc): an exception leaving it would abort this "
               "program; build it without -static-libgcc";
    }
    return {};
}

}  // namespace

std::uint64_t CurrentThreadNumber() noexcept {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
    return number;
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return ".";
    }
    return DirectoryOf(std::string(path, static_cast<std::size_t>(n)));
}

std::string ModuleDirectory(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::string file = info.dli_fname;
    if (file.find('/') == std::string::npos) {
        // The main program is reported by its bare name.
        return ExecutableDirectory();
    }
    char resolved[PATH_MAX];
    if (realpath(file.c_str(), resolved) != nullptr) {
        file = resolved;
    }
    return DirectoryOf(file);
}

const char* GetEnvironment(const char* name) noexcept {
    return std::getenv(name);
}

std::FILE* OpenLogFile(const char* path) noexcept {
    // Opening a FIFO for writing would wait until a reader comes, in the log's first use,
    // which may be anywhere; a FIFO with a reader is written to as usual.
    const int fd = OpenWithoutWaiting(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "a");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

bool PathNamesOpenFile(const char* path, std::FILE* file) noexcept {
    struct stat named {};
    struct stat open {};
    return stat(path, &named) == 0 && fstat(fileno(file), &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

ReadFileResult ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    // A FIFO with no writer must not hold the caller for ever: it ends at once.
    const FileDescriptor file{OpenWithoutWaiting(path.c_str(), O_RDONLY, 0)};
    if (file.fd < 0) {
        return ReadFileResult::Unreadable;
    }
    ReadFileResult result = ReadFileResult::Unreadable;
    int reason = 0;
    try {
        result = ReadDescriptor(file.fd, maxBytes, bytes);
        reason = errno;
    } catch (const std::bad_alloc&) {
        // A limit the process cannot hold in memory (a 32-bit one, say): a failed read.
        reason = ENOMEM;
    }
    if (result != ReadFileResult::Read) {
        std::string().swap(bytes);
    }
    errno = reason;  // the reason of a failed read, past the descriptor's close
    return result;
}

void* LoadLibraryFile(const std::string& path, std::string& error) {
    // dlopen("") is the main program: an empty path would load "successfully" and hand out
    // the program's symbols.
    if (path.empty()) {
        error = "empty library path";
        return nullptr;
    }
    // The loader opens what it is given and waits: on a FIFO for a writer, for ever, with no
    // stop signal able to end the wait. A path (not a bare name the loader searches for) that
    // names something other than a regular file is refused first; a missing one is left to
    // the loader, whose message says so.
    struct stat status {};
    if (path.find('/') != std::string::npos && stat(path.c_str(), &status) == 0 &&
        !S_ISREG(status.st_mode)) {
        error = path + ": not a regular file";
        return nullptr;
    }
    // A module that would end the process, at its load (a sanitizer's run-time library the
    // program did not start with) or at its first exception, is refused with the way out.
    // (A bare name is the loader's to find: not read here.)
    if (path.find('/') != std::string::npos) {
        error = WhyNotLoadable(path, NeededLibraries(path));
        if (!error.empty()) {
            return nullptr;
        }
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        error = DlError();
    }
    return handle;
}

void* FindSymbol(void* library, const char* name, std::string& error) {
    if (library == nullptr || name == nullptr) {
        error = "no library or no symbol name";
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        error = DlError();
    }
    return symbol;
}

bool FreeLibraryHandle(void* library, std::string& error) {
    if (library == nullptr) {
        return false;
    }
    if (dlclose(library) != 0) {
        error = DlError();
        return false;
    }
    return true;
}

bool IsLibraryLoaded(const std::string& path) {
    if (path.empty()) {
        return false;  // dlopen("") would name the main program
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

bool PinModule(const void* address, std::string& error) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        error = "no loaded module contains the address";
        return false;
    }
    // RTLD_NOLOAD finds the module already mapped; RTLD_NODELETE sticks to it for good, so
    // the reference taken here can be given back at once.
    void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    if (handle == nullptr) {
        error = DlError();
        return false;
    }
    dlclose(handle);
    return true;
}

bool LibraryContains(void* library, const void* address) noexcept {
    // Both sides as the loader's own record of a loaded object: the handle's, and the one
    // that holds the address.
    link_map* own = nullptr;
    if (library == nullptr || address == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &own) != 0) {
        return false;
    }
    Dl_info info{};
    link_map* holder = nullptr;
    return dladdr1(address, &info, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP) != 0 &&
           holder == own;
}

std::string LibraryFileName(const std::string& baseName) {
    return "lib" + baseName + ".so";
}

unsigned long long LibraryUnloadCount() noexcept {
    unsigned long long unloads = 0;
    // The loader keeps the count in every entry it reports (dlpi_subs, when its record is that
    // long); the first entry is enough.
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t size, void* data) -> int {
            if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
                *static_cast<unsigned long long*>(data) = info->dlpi_subs;
            }
            return 1;
        },
        &unloads);
    return unloads;
}

}  // namespace os::detail
