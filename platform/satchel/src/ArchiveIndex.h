// The zip archive's central directory as the packed resource library checks it before handing
// the archive to PhysFS.
//
// PhysFS reads stored members without ever comparing them with their CRC-32, and it is lenient
// about archives whose directory is inconsistent. This index is read once when the archive is
// mounted: it refuses an archive whose end record, zip64 records, central directory or local
// headers do not agree with each other and with the file's length, and keeps each member's
// CRC-32 and size so that every read can be verified.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace satchel::detail {

struct ArchiveEntry {
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;  ///< uncompressed
    std::uint16_t method = 0;
    std::uint16_t flags = 0;
};

class ArchiveIndex {
public:
    /// Reads and checks the directory of the zip archive at `path`, replacing what the index
    /// held. Returns false with `error` describing the first problem found (the index is then
    /// empty).
    bool Read(const std::string& path, std::string& error);

    /// The member named `name` ('/'-separated, as PhysFS names it), or null. Directories are
    /// not members.
    const ArchiveEntry* Find(std::string_view name) const;

    std::size_t Size() const { return entries.size(); }
    void Clear() { entries.clear(); }

private:
    std::unordered_map<std::string, ArchiveEntry> entries;
};

}  // namespace satchel::detail
