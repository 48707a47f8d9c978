// Stored-only zip writer. Layout of every structure, little-endian:
//   local header (30 bytes + name) and the member's bytes, for each member in order;
//   central directory header (46 bytes + name), for each member in the same order;
//   end of central directory record (22 bytes, no comment).
#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>
#include <system_error>

#include "ZipFormat.h"
#include "satchel/WholeFile.h"
#include "satchel/ZipPack.h"

namespace satchel {
namespace {

namespace fs = std::filesystem;

using namespace zip;  // the record signatures and sizes the reader and the packer share
// Made by "Unix, zip 3.0", so readers take the file mode from the external attributes.
constexpr std::uint16_t kVersionMadeBy = (3U << 8) | 30U;
constexpr std::uint16_t kVersionNeeded = 10;  // 1.0: stored members only
constexpr std::uint16_t kFlagUtf8Name = 1U << 11;
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kDosDate = (0U << 9) | (1U << 5) | 1U;  // 1980-01-01
constexpr std::uint32_t kRegularFileMode = 0100644;
// 0xFFFF and 0xFFFFFFFF mean "look in the zip64 record"; real values must stay below them.
constexpr std::uint64_t kMax32 = 0xFFFFFFFEULL;
constexpr std::size_t kMaxMembers = 0xFFFE;

void Put16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFFU));
    out.push_back(static_cast<char>(value >> 8));
}

void Put32(std::string& out, std::uint32_t value) {
    Put16(out, static_cast<std::uint16_t>(value & 0xFFFFU));
    Put16(out, static_cast<std::uint16_t>(value >> 16));
}

std::uint16_t NameFlags(const std::string& name) {
    const bool ascii = std::all_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? 0 : kFlagUtf8Name;
}

// The parts of a member's header that the local and the central header share, from "version
// needed" to "extra field length".
void PutCommonHeader(std::string& out, const ZipMember& member, std::uint32_t crc) {
    const auto size = static_cast<std::uint32_t>(member.data.size());
    Put16(out, kVersionNeeded);
    Put16(out, NameFlags(member.name));
    Put16(out, 0);  // stored
    Put16(out, kDosTime);
    Put16(out, kDosDate);
    Put32(out, crc);
    Put32(out, size);  // compressed
    Put32(out, size);  // uncompressed
    Put16(out, static_cast<std::uint16_t>(member.name.size()));
    Put16(out, 0);  // extra field length
}

// `path`'s own name (not followed when it is a link) in the canonical form of its folder.
fs::path NameInCanonicalFolder(const fs::path& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return fs::weakly_canonical(absolute.parent_path(), ec) / absolute.filename();
}

}  // namespace

std::string CheckMemberName(std::string_view name) {
    if (name.empty()) {
        return "empty name";
    }
    if (name.size() > 0xFFFF) {
        return "name longer than 65535 bytes";
    }
    if (name.front() == '/') {
        return "name is absolute";
    }
    if (name.find('\\') != std::string_view::npos) {
        return "name contains '\\' (use '/')";
    }
    if (name.find(':') != std::string_view::npos) {
        return "name contains ':'";
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view part = name.substr(start, end - start);
        if (part.empty()) {
            return "name has an empty component";
        }
        if (part == ".") {
            return "name has a '.' component";
        }
        if (part == "..") {
            return "name has a '..' component";
        }
        start = end + 1;
    }
    return {};
}

bool WriteZipArchive(const fs::path& archive, const std::vector<ZipMember>& members,
                     std::string& error) {
    if (members.size() > kMaxMembers) {
        error = "too many members for a zip archive without zip64 (" +
                std::to_string(members.size()) + ", at most " + std::to_string(kMaxMembers) + ")";
        return false;
    }
    std::set<std::string_view> seen;
    std::uint64_t total = kEndRecordSize;
    for (const ZipMember& member : members) {
        if (std::string why = CheckMemberName(member.name); !why.empty()) {
            error = why + ": \"" + member.name + "\"";
            return false;
        }
        if (!seen.insert(member.name).second) {
            error = "member given twice: \"" + member.name + "\"";
            return false;
        }
        total +=
            kLocalHeaderSize + kCentralHeaderSize + 2 * member.name.size() + member.data.size();
    }
    if (total > kMax32) {
        error = "archive would be " + std::to_string(total) +
                " bytes, more than a zip archive without zip64 can hold";
        return false;
    }

    ReplacementFile out;
    if (!out.Open(archive, error)) {
        return false;
    }

    std::string central;
    std::uint32_t offset = 0;
    std::string header;
    for (const ZipMember& member : members) {
        const std::uint32_t crc = Crc32(member.data.data(), member.data.size());
        header.clear();
        Put32(header, kLocalHeaderSignature);
        PutCommonHeader(header, member, crc);
        header += member.name;
        out.Write(header.data(), header.size());
        out.Write(member.data.data(), member.data.size());

        Put32(central, kCentralHeaderSignature);
        Put16(central, kVersionMadeBy);
        PutCommonHeader(central, member, crc);
        Put16(central, 0);  // comment length
        Put16(central, 0);  // disk number start
        Put16(central, 0);  // internal attributes
        Put32(central, kRegularFileMode << 16);
        Put32(central, offset);
        central += member.name;
        offset += static_cast<std::uint32_t>(header.size() + member.data.size());
    }
    std::string end;
    Put32(end, kEndRecordSignature);
    Put16(end, 0);  // this disk
    Put16(end, 0);  // disk with the central directory
    Put16(end, static_cast<std::uint16_t>(members.size()));
    Put16(end, static_cast<std::uint16_t>(members.size()));
    Put32(end, static_cast<std::uint32_t>(central.size()));
    Put32(end, offset);
    Put16(end, 0);  // comment length
    out.Write(central.data(), central.size());
    out.Write(end.data(), end.size());
    return out.Commit(error);
}

bool PackDirectory(const fs::path& directory, const fs::path& archive, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(directory, ec)) {
        error = directory.string() + " is not a directory";
        return false;
    }
    // The archive (and its temporary files, a killed run's among them) may lie inside the
    // tree being packed; it must not pack itself. The temporary files lie beside the name
    // given, which may be a link to the archive.
    const fs::path self = fs::weakly_canonical(archive, ec);
    const fs::path selfName = NameInCanonicalFolder(archive);

    // "cfg/" and "cfg" must give the same member names.
    fs::path root = directory.lexically_normal();
    if (!root.has_filename() && root.has_relative_path()) {
        root = root.parent_path();
    }

    std::vector<ZipMember> members;
    fs::recursive_directory_iterator it(root, ec);
    if (ec) {
        error = "cannot list " + directory.string() + ": " + ec.message();
        return false;
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            break;
        }
        const fs::directory_entry& entry = *it;
        const fs::path& path = entry.path();
        const bool isLink = entry.is_symlink(ec);
        if (entry.is_directory(ec)) {
            if (isLink) {
                error = "refusing to follow the symbolic link to a directory " + path.string();
                return false;
            }
            continue;
        }
        if (fs::weakly_canonical(path, ec) == self ||
            ReplacementFile::IsTemporaryName(NameInCanonicalFolder(path), selfName)) {
            continue;
        }
        if (!entry.is_regular_file(ec)) {
            error = path.string() + " is neither a regular file nor a directory";
            return false;
        }
        ZipMember member;
        member.name = path.lexically_relative(root).generic_string();
        if (!ReadWholeFile(path, member.data, error, kMax32)) {
            return false;
        }
        members.push_back(std::move(member));
    }
    if (ec) {
        error = "cannot list " + directory.string() + ": " + ec.message();
        return false;
    }
    std::sort(members.begin(), members.end(),
              [](const ZipMember& a, const ZipMember& b) { return a.name < b.name; });
    return WriteZipArchive(archive, members, error);
}

}  // namespace satchel
