// One zip archive mounted through PhysFS, read whole file at a time.
//
// PhysFS keeps process-wide state. A library starts PhysFS only when it has an archive to
// mount, and then only if nobody in the process started it before; it deinitialises PhysFS
// only if it started it, when it is destroyed. The archive is mounted under a private mount
// point, so reads never pick up another component's mounts. Every call takes one mutex:
// PhysFS handles never outlive a call, and the destruction can never race a read.
#include "Library.h"

#include <physfs.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "satchel/ZipPack.h"

namespace satchel::detail {

// The one place errors leave the library: a whole line on standard error, written with one
// call so that lines from several threads do not interleave.
void Log(const std::string& text) {
    const std::string line = "Satchel: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

namespace {

namespace fs = std::filesystem;

constexpr const char* kArchiveVariable = "SATCHEL_ARCHIVE";
constexpr const char* kModeVariable = "SATCHEL_MODE";
constexpr const char* kMaxMemberVariable = "SATCHEL_MAX_MEMBER_SIZE";
constexpr const char* kDefaultArchiveName = "resources.zip";
constexpr const char* kMountPoint = "satchel";

std::string PhysfsError() {
    const char* text = PHYSFS_getErrorByCode(PHYSFS_getLastErrorCode());
    return text != nullptr ? text : "unknown PhysFS error";
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The member size limit named by the environment, or the default with a warning when the
// value is not a whole number of bytes from 1 to UINT32_MAX (the largest size the interface
// can report).
std::uint64_t MaxMemberSizeFromEnvironment() {
    const char* text = std::getenv(kMaxMemberVariable);
    if (text == nullptr || *text == '\0') {
        return satchel::kDefaultMaxMemberSize;
    }
    std::uint64_t value = 0;
    bool valid = true;
    for (const char* c = text; *c != '\0' && valid; ++c) {
        valid = *c >= '0' && *c <= '9' && value <= UINT32_MAX;
        value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    }
    if (!valid || value < 1 || value > UINT32_MAX) {
        Log(std::string(kMaxMemberVariable) + " \"" + text +
            "\" is not a number of bytes from 1 to " + std::to_string(UINT32_MAX) + "; using " +
            std::to_string(satchel::kDefaultMaxMemberSize));
        return satchel::kDefaultMaxMemberSize;
    }
    return value;
}

fs::path ExecutableDirectory() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
}

struct PhysfsFileCloser {
    void operator()(PHYSFS_File* file) const {
        if (PHYSFS_close(file) == 0) {
            Log("cannot close an archive member: " + PhysfsError());
        }
    }
};
using PhysfsFile = std::unique_ptr<PHYSFS_File, PhysfsFileCloser>;

struct FreeDeleter {
    void operator()(void* data) const { std::free(data); }
};

}  // namespace

// Runs when the library is unloaded or the process exits.
Library::~Library() {
    const std::lock_guard lock(mutex);
    if (mounted && PHYSFS_unmount(archive.c_str()) == 0) {
        Log("cannot unmount " + archive + ": " + PhysfsError());
    }
    mounted = false;
    if (ownsPhysfs && PHYSFS_deinit() == 0) {
        Log("cannot shut PhysFS down: " + PhysfsError());
    }
}

void Library::Initialize() {
    const std::lock_guard lock(mutex);
    // The configuration is read once; later calls (from other modules of the process
    // sharing this library) find it in place.
    if (initializeCalls++ > 0) {
        return;
    }
    const char* mode = std::getenv(kModeVariable);
    filesMode = mode != nullptr && std::strcmp(mode, "files") == 0;
    if (mode != nullptr && *mode != '\0' && !filesMode && std::strcmp(mode, "archive") != 0) {
        Log(std::string("unknown ") + kModeVariable + " \"" + mode +
            "\" (known: archive, files); using the archive");
    }

    maxMemberSize = MaxMemberSizeFromEnvironment();

    const char* configured = std::getenv(kArchiveVariable);
    const bool fromVariable = configured != nullptr && *configured != '\0';
    fs::path path;
    if (fromVariable) {
        path = configured;
    } else if (const fs::path directory = ExecutableDirectory(); !directory.empty()) {
        path = directory / kDefaultArchiveName;
    } else {
        Log(std::string("cannot find the executable's directory and ") + kArchiveVariable +
            " is not set; resources come from loose files");
        return;
    }
    // Absolute, so that the archive named in messages is unambiguous and a later change of
    // the working directory cannot matter.
    std::error_code ec;
    if (fs::path full = fs::absolute(path, ec); !ec) {
        path = std::move(full);
    }
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        // No archive beside the executable is the ordinary loose-file setup; a named one
        // that is missing is a configuration error.
        if (fromVariable) {
            Log(std::string(kArchiveVariable) + " names " + path.string() +
                ", which does not exist; resources come from loose files");
        }
        return;
    }
    if (!fs::is_regular_file(status)) {
        Log(path.string() + " is not a regular file; resources come from loose files");
        return;
    }
    std::string error;
    if (!index.Read(path.string(), error)) {
        Log("cannot use archive " + path.string() + ": " + error +
            "; resources come from loose files");
        return;
    }
    if (!StartPhysfs()) {
        index.Clear();
        return;
    }
    // Prepended, so this archive answers first under the private mount point.
    if (PHYSFS_mount(path.c_str(), kMountPoint, 0) == 0) {
        Log("PhysFS cannot mount " + path.string() + ": " + PhysfsError() +
            "; resources come from loose files");
        index.Clear();
        if (ownsPhysfs && PHYSFS_deinit() != 0) {
            ownsPhysfs = false;
        }
        return;
    }
    archive = path.string();
    mounted = true;
}

bool Library::IsLoadFromArchive() {
    const std::lock_guard lock(mutex);
    return mounted && !filesMode;
}

void* Library::Load(const char* nativeName, std::uint32_t* size, int mode) {
    if (size != nullptr) {
        *size = 0;
    }
    if (nativeName == nullptr) {
        Log("LoadFileData: null file name");
        return nullptr;
    }
    const std::string call = std::string("LoadFileData(") + nativeName + ")";
    if (size == nullptr) {
        Log(call + ": null size pointer");
        return nullptr;
    }
    if (mode != satchel::kLoadWholeFile) {
        Log(call + ": unknown mode " + std::to_string(mode) +
            " (only 2, read the whole file, is understood)");
        return nullptr;
    }
    std::string name(nativeName);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (const std::string why = satchel::CheckMemberName(name); !why.empty()) {
        Log(call + ": refused: " + why + " (names are relative to the archive)");
        return nullptr;
    }

    const std::lock_guard lock(mutex);
    if (!mounted) {
        Log(call + ": no archive is mounted");
        return nullptr;
    }
    // A member larger than the limit is refused by the size the archive's directory
    // declares, before PhysFS starts to inflate it: a small deflated member can stand for
    // gigabytes.
    const satchel::detail::ArchiveEntry* entry = index.Find(name);
    if (entry != nullptr && entry->size > UINT32_MAX) {
        Log(call + ": member of " + std::to_string(entry->size) +
            " bytes is larger than a 32-bit size can count; refused");
        return nullptr;
    }
    if (entry != nullptr && entry->size > maxMemberSize) {
        Log(call + ": member of " + std::to_string(entry->size) +
            " bytes is larger than the limit of " + std::to_string(maxMemberSize) + " bytes (" +
            kMaxMemberVariable + "); refused");
        return nullptr;
    }
    const PhysfsFile file(PHYSFS_openRead((std::string(kMountPoint) + "/" + name).c_str()));
    if (!file) {
        Log(call + ": " + PhysfsError() + " in " + archive);
        return nullptr;
    }
    if (entry == nullptr) {
        Log(call + ": PhysFS opened a member the archive's directory does not list");
        return nullptr;
    }
    if ((entry->flags & 1U) != 0) {
        Log(call + ": encrypted members are not supported");
        return nullptr;
    }
    if (entry->method != 0 && entry->method != 8) {
        Log(call + ": compression method " + std::to_string(entry->method) +
            " is not supported (only stored and deflated)");
        return nullptr;
    }
    const PHYSFS_sint64 length = PHYSFS_fileLength(file.get());
    if (length < 0) {
        Log(call + ": cannot take the length: " + PhysfsError());
        return nullptr;
    }
    if (static_cast<std::uint64_t>(length) != entry->size) {
        Log(call + ": PhysFS reports " + std::to_string(length) +
            " bytes where the archive's directory says " + std::to_string(entry->size));
        return nullptr;
    }
    if (length == 0) {
        return nullptr;  // empty member: nothing to hand out, nothing to free
    }
    const auto wanted = static_cast<std::size_t>(length);
    std::unique_ptr<void, FreeDeleter> data(std::malloc(wanted));
    if (!data) {
        Log(call + ": out of memory for " + std::to_string(wanted) + " bytes");
        return nullptr;
    }
    std::size_t got = 0;
    while (got < wanted) {
        const PHYSFS_sint64 read =
            PHYSFS_readBytes(file.get(), static_cast<char*>(data.get()) + got, wanted - got);
        if (read <= 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    if (got != wanted) {
        Log(call + ": read " + std::to_string(got) + " of " + std::to_string(wanted) +
            " bytes: " + PhysfsError());
        return nullptr;
    }
    // Data that goes on past the declared size is a damaged or forged member, never a
    // reason to read on: one byte more tells.
    char beyond = 0;
    if (PHYSFS_readBytes(file.get(), &beyond, 1) > 0) {
        Log(call + ": data goes on past the " + std::to_string(wanted) +
            " bytes the archive's directory declares: damaged archive");
        return nullptr;
    }
    // PhysFS hands out stored members without checking them; damaged bytes stop here.
    const std::uint32_t crc = satchel::Crc32(data.get(), wanted);
    if (crc != entry->crc) {
        Log(call + ": checksum mismatch (archive says " + Hex(entry->crc) + ", data gives " +
            Hex(crc) + "): damaged archive");
        return nullptr;
    }
    buffers.insert(data.get());
    *size = static_cast<std::uint32_t>(wanted);
    return data.release();
}

void Library::Free(void* data) {
    if (data == nullptr) {
        return;
    }
    const std::lock_guard lock(mutex);
    if (buffers.erase(data) == 0) {
        Log("FreeFileData: refusing a pointer that LoadFileData did not return or that was "
            "already freed");
        return;
    }
    std::free(data);
}

// Starts PhysFS unless the process already has; when it is ours, only the zip archiver
// stays registered, so no other format's parser ever sees the archive file.
bool Library::StartPhysfs() {
    if (PHYSFS_isInit() != 0) {
        return true;  // another component's PhysFS: used as it is, and left running
    }
    if (PHYSFS_init(nullptr) == 0) {
        Log("cannot start PhysFS: " + PhysfsError() + "; resources come from loose files");
        return false;
    }
    ownsPhysfs = true;
    PHYSFS_permitSymbolicLinks(0);
    std::vector<std::string> others;
    for (const PHYSFS_ArchiveInfo** type = PHYSFS_supportedArchiveTypes();
         type != nullptr && *type != nullptr; ++type) {
        if (strcasecmp((*type)->extension, "ZIP") != 0) {
            others.emplace_back((*type)->extension);
        }
    }
    for (const std::string& extension : others) {
        if (PHYSFS_deregisterArchiver(extension.c_str()) == 0) {
            Log("cannot deregister the PhysFS archiver for " + extension + ": " + PhysfsError());
        }
    }
    return true;
}

}  // namespace satchel::detail
