// Paths of the client: the configuration directory, file-name helpers and whole-file reads.
#pragma once

#include <cstddef>
#include <string>

#include "plinth/Export.h"

namespace os {

/// The client's configuration directory (the folder that holds config/), without a trailing
/// separator. PLINTH_CONFIG_DIR, when set and not empty, is the answer. Otherwise: the
/// directory that holds the running executable when it has a config/ folder; else the data
/// folder of the prefix the executable is installed in (<bin>/../share/PyrMiniMap) when that
/// has one; else the executable's directory. Looked up at each call.
PLINTH_API std::string GetConfigDirectory();
/// `path` in the platform's form: on POSIX every '\\' becomes '/', on Windows every '/'
/// becomes '\\'. Nothing else changes.
PLINTH_API std::string ToNativeFileName(const std::string& path);
/// The extension of the last path component, without its dot; empty when there is none.
PLINTH_API std::string GetFileExt(const std::string& path);

/// What ReadWholeFile found.
enum class ReadFileResult {
    Read,        ///< the whole file is in `bytes`
    Unreadable,  ///< it could not be opened or read (a directory, say), or not held in memory;
                 ///< errno says why
    TooLarge,    ///< it holds more than the limit
    NoWriter,    ///< a FIFO or pipe that ended before its first byte: nobody writes to it
};

/// Reads the whole file at `path` into `bytes`, if it holds at most `maxBytes`. A regular file
/// beyond the limit is refused by its size, unread; anything else that reads as a stream (a
/// pipe, a device such as /dev/zero) is read until it ends or gives more than the limit, so
/// neither time nor memory grows past it. A FIFO that no program writes to is not waited on:
/// it ends at once, and a FIFO or pipe that ends before its first byte is NoWriter (an empty
/// regular file is Read). `bytes` is empty unless the result is Read.
PLINTH_API ReadFileResult ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                        std::string& bytes);

/// The same, with the reason in words: false, with `error` set to "cannot read " + `what` + ": "
/// and the reason: "it is larger than N bytes", "a FIFO that nobody writes to", or the
/// system's ("No such file or directory", "Is a directory", "Permission denied"...).
PLINTH_API bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes,
                              const std::string& what, std::string& error);

}  // namespace os
