// Fuzz target: the packed resource library as a client meets it. An archive from anywhere
// (a tampered download, a damaged disk) is checked, mounted and its members are read, through
// the state that stands behind the library's four entry points.
//
// Input: the whole archive file. Each input gets a library state of its own (initialised,
// read, destroyed with its PhysFS), since it reads its configuration once. The member size
// limit is set to 1 MiB, so the seeds' oversized members, deflated runs that declare or
// inflate to more, are small files. Every member the directory names is asked for, with a
// few names the archive does not hold. A member handed out must be no larger than the limit,
// non-empty, and match a CRC-32 and size the archive's directory gives under its name; the
// library must say it reads from the archive; a second FreeFileData of the buffer and a read
// in an unknown mode must be refused. In the fuzz preset, libFuzzer's -malloc_limit_mb
// (run_fuzzers.sh) catches a member inflated before its size is checked.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/FuzzTarget.h"
#include "net/ByteOrder.h"
#include "platform/satchel/src/Library.h"
#include "satchel/Satchel.h"
#include "satchel/ZipPack.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kMemberLimit = 1U << 20;
constexpr std::size_t kMostNames = 64;

fs::path archivePath;

/// A member as a central directory header anywhere in the input names it: the real directory
/// is among them, so every member the library hands out is.
struct ListedMember {
    std::string name;  ///< with '\\' read as '/', as the library looks members up
    std::uint32_t crc = 0;
    std::uint32_t size = 0;
};

std::vector<ListedMember> ListMembers(const std::uint8_t* data, std::size_t size) {
    const auto u16 = [&](std::size_t at) { return net::LoadLE16(data + at); };
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t{u16(at)} | std::uint32_t{u16(at + 2)} << 16;
    };
    std::vector<ListedMember> members;
    for (std::size_t at = 0; at + 46 <= size && members.size() < kMostNames; ++at) {
        if (data[at] != 'P' || data[at + 1] != 'K' || data[at + 2] != 1 || data[at + 3] != 2) {
            continue;
        }
        const std::size_t length = u16(at + 28);
        if (at + 46 + length > size) {
            continue;
        }
        ListedMember member;
        member.name.assign(reinterpret_cast<const char*>(data) + at + 46, length);
        std::replace(member.name.begin(), member.name.end(), '\\', '/');
        member.crc = u32(at + 16);
        member.size = u32(at + 24);
        members.push_back(std::move(member));
    }
    return members;
}

void ReadMember(satchel::detail::Library& library, const std::string& name,
                const std::vector<ListedMember>& listed) {
    std::uint32_t size = 12345;
    FUZZ_CHECK(library.Load(name.c_str(), &size, satchel::kLoadWholeFile + 1) == nullptr);
    FUZZ_CHECK(size == 0);

    void* data = library.Load(name.c_str(), &size, satchel::kLoadWholeFile);
    if (data == nullptr) {
        FUZZ_CHECK(size == 0);
        return;
    }
    FUZZ_CHECK(library.IsLoadFromArchive());
    FUZZ_CHECK(size > 0 && size <= kMemberLimit);
    const std::uint32_t crc = satchel::Crc32(data, size);
    FUZZ_CHECK(std::any_of(listed.begin(), listed.end(), [&](const ListedMember& member) {
        return member.name == name && member.crc == crc && member.size == size;
    }));
    library.Free(data);
    library.Free(data);  // refused with a line, never a second free
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path dir =
        fs::temp_directory_path() / ("pyr-fuzz-archive-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    archivePath = dir / "resources.zip";
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(archivePath.parent_path(), ignored);
    });
    ::setenv("SATCHEL_ARCHIVE", archivePath.c_str(), 1);
    ::setenv("SATCHEL_MAX_MEMBER_SIZE", std::to_string(kMemberLimit).c_str(), 1);
    ::unsetenv("SATCHEL_MODE");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(archivePath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    const std::vector<ListedMember> listed = ListMembers(data, size);
    satchel::detail::Library library;
    FUZZ_CHECK(!library.IsLoadFromArchive());
    library.Initialize();
    for (const ListedMember& member : listed) {
        ReadMember(library, member.name, listed);
    }
    for (const char* absent : {"config/StringTable/common.xml", "absent.xml", "config"}) {
        ReadMember(library, absent, listed);
    }
    return 0;
}
