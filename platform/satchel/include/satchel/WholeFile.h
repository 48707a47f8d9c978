// Whole files in and out, for the packer and the content-author tool. A file is replaced by
// writing its new bytes beside it first and renaming them into place, so a failure never
// leaves a half-written file under the final name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace satchel {

/// Reads the file at `path` into `data`. Returns false with `error` naming the file when it
/// cannot be opened or read, or is longer than `maxBytes`.
bool ReadWholeFile(const std::filesystem::path& path, std::string& data, std::string& error,
                   std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max());

/// Where the new bytes of `target` are written before they replace it.
std::filesystem::path PartialPathFor(const std::filesystem::path& target);

/// Closes `out`, which wrote `PartialPathFor(target)`, and renames that file to `target`. On
/// any failure the partial file is removed and `error` says what failed.
bool CommitPartialFile(std::ofstream& out, const std::filesystem::path& target, std::string& error);

/// Replaces the file at `path` with `data`, through a partial file.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& data, std::string& error);

}  // namespace satchel
