// The thin file layer of the packer and the content-author tool: the few file-system calls
// that whole-file reading and replacing need. One implementation file per platform
// (detail/posix/Files.cpp); nothing else in the packer calls the operating system. Every
// failure comes back as false with `error` naming the path and the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace satchel::detail {

/// What lies at a path.
enum class PathKind { Absent, RegularFile, SymbolicLink, Other };

/// What lies at `path`, a symbolic link as the last component followed only when `follow`
/// says so; `Other` with `description` naming it ("a directory", "a FIFO", ...). A path that
/// cannot be examined for another reason than its absence is `Other` with the system's reason,
/// except when following, where a link that leads nowhere (dangling, a loop) is `Absent`.
PathKind KindOfPath(const std::string& path, bool follow, std::string& description);

/// Whether the symbolic link at `path` is, or leads through further links to, one of the links
/// by which /proc names a process's open files (/dev/stdout leads to /proc/self/fd/1); `hop`
/// is then that link. Writing to such a path writes to whatever the process has open, which
/// may be a regular file (a standard output sent to one): a way of writing, not a file to put
/// a file in place of.
bool LeadsToAnOpenFileLink(const std::string& path, std::string& hop);

/// Reads the file at `path` (links followed) into `data`, refusing anything that is not a
/// regular file once opened: opening does not wait for a FIFO's writer, and the kind is taken
/// from the opened file, so nothing can be swapped in between a check and the read. Refuses
/// a file longer than `maxBytes`, also one that grows while it is read.
bool ReadRegularFile(const std::string& path, std::string& data, std::uint64_t maxBytes,
                     std::string& error);

/// Creates `path` as a new, empty file for writing (permissions 0666 less the umask), only
/// when nothing lies there: a symbolic link, even a dangling one, is never followed. Returns
/// the descriptor, or -1 with `exists` telling whether something lay there already.
int CreateNewFile(const std::string& path, bool& exists, std::string& error);

/// Writes all of `data` to `fd`, resuming short and interrupted writes.
bool WriteAll(int fd, const void* data, std::size_t size, const std::string& path,
              std::string& error);

/// Flushes `fd` to the storage device and closes it (closed also when the flush fails).
bool SyncAndClose(int fd, const std::string& path, std::string& error);

/// Closes `fd`, for a file given up.
void CloseFile(int fd) noexcept;

/// Renames `from` to `to` in one step, replacing what `to` names (a symbolic link itself, not
/// its target).
bool RenameOver(const std::string& from, const std::string& to, std::string& error);

/// Removes the directory entry `path` (a link itself, not its target); absence is no error.
void RemoveEntry(const std::string& path) noexcept;

}  // namespace satchel::detail
