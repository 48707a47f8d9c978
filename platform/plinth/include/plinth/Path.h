// Paths of the client: the configuration directory and file-name helpers.
#pragma once

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

}  // namespace os
