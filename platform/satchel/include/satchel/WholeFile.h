// Whole files in and out, for the packer and the content-author tool.
//
// Reading takes regular files only, symbolic links to them followed: a directory, a FIFO or a
// device is refused with its kind named, a FIFO without ever waiting for a writer.
//
// A file is replaced by writing its new bytes to a temporary file beside it, flushing them to
// the device and renaming the temporary file over the target, so a failure never leaves a
// half-written file under the final name. The temporary file is always a new file with a
// unique name, "<target>.partial.<six characters>", created without following symbolic links:
// whatever lies at such a name (a link planted there, a file left by a killed run) is neither
// written through nor in the way. A target that is a symbolic link to a regular file, or to
// nothing, is replaced by the new file (the link goes, the file it pointed to stays as it
// was). A target that is, or links to, anything else (a directory, a FIFO, a device, as
// /dev/stdout does) is refused and left alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

namespace satchel {

/// Reads the regular file at `path` into `data`. Returns false with `error` naming the file
/// when it cannot be opened or read, is not a regular file, or is longer than `maxBytes`.
bool ReadWholeFile(const std::filesystem::path& path, std::string& data, std::string& error,
                   std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max());

/// The new contents of one file, written beside it and put in its place by Commit.
class ReplacementFile {
public:
    ReplacementFile() = default;
    /// Removes the temporary file unless Commit put it in place.
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    /// Creates the temporary file that will replace `target`. Returns false with `error` set
    /// when the target is refused (see above) or no file can be created beside it.
    bool Open(const std::filesystem::path& target, std::string& error);

    /// Appends `size` bytes. The first failure is kept for Commit; later writes do nothing.
    void Write(const void* data, std::size_t size);

    /// Flushes and closes the temporary file and renames it over the target. On any failure
    /// (of this step or of a Write) the temporary file is removed, the target is left as it
    /// was and `error` says what failed.
    bool Commit(std::string& error);

    /// Whether `candidate` is named like a temporary file of `target`, both canonical paths
    /// (the packer leaves such files out of an archive written into the tree it packs).
    static bool IsTemporaryName(const std::filesystem::path& candidate,
                                const std::filesystem::path& target);

private:
    void Discard() noexcept;

    std::filesystem::path target;
    std::string temporary;  ///< empty when no temporary file is open
    int fd = -1;
    std::string failure;  ///< the first failed Write, empty while none failed
};

/// Replaces the file at `path` with `data`, through a temporary file (see above).
bool WriteWholeFile(const std::filesystem::path& path, const std::string& data, std::string& error);

}  // namespace satchel
