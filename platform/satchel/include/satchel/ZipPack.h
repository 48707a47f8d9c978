// Writing zip archives that the packed resource library reads: the content-author tool and the
// tests build archives with these functions.
//
// The archives are plain zip files that any unzip accepts: every member is stored without
// compression, with its CRC-32, a local header, one central directory and the end record.
// Output is reproducible: members are written in the order given (PackDirectory sorts them by
// name) and every timestamp is the zip epoch, 1980-01-01 00:00, so the same input gives the
// same bytes. No zip64: an archive whose members or offsets would not fit 32 bits, or with
// more than 65535 members, is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace satchel {

/// CRC-32 as zip uses it (polynomial 0xEDB88320, reflected, initial and final XOR ~0).
/// `crc` continues a previous result, so data can be fed in pieces.
std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

/// One archive member: its path inside the archive, '/'-separated and relative, and its bytes.
struct ZipMember {
    std::string name;
    std::string data;
};

/// Why a member name cannot go into an archive, or empty when it can: it must be non-empty,
/// relative, use '/' only, have no empty, "." or ".." components and fit 65535 bytes.
std::string CheckMemberName(std::string_view name);

/// Writes `members` as a zip archive to `archive`, replacing the file through a temporary file
/// beside it (satchel/WholeFile.h: a failure never leaves a partial archive under that name,
/// nothing at the temporary name is written through, a symbolic link to a file at `archive`
/// is replaced, a directory, FIFO or device there or linked from there is refused). Returns
/// false with `error` set when a
/// name is invalid or given twice, the archive would need zip64, or the file cannot be written.
bool WriteZipArchive(const std::filesystem::path& archive, const std::vector<ZipMember>& members,
                     std::string& error);

/// Packs every regular file under `directory` (followed symbolic links to files included)
/// into `archive`, named by its path relative to `directory` with '/' separators, sorted by
/// name. Empty directories are not recorded. The archive itself and its temporary files
/// ("<archive>.partial...") are skipped when they lie inside `directory`. Fails on anything
/// that is neither a file nor a directory (a FIFO, a device, also one swapped in for a file
/// while the tree is read), on a symbolic link to a directory (not followed, to avoid loops),
/// on unreadable files and on everything WriteZipArchive refuses.
bool PackDirectory(const std::filesystem::path& directory, const std::filesystem::path& archive,
                   std::string& error);

}  // namespace satchel
