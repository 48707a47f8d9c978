#include "plinth/Path.h"

#include <algorithm>

#include "detail/Platform.h"

namespace os {

std::string GetConfigDirectory() {
    const char* configured = detail::GetEnvironment("PLINTH_CONFIG_DIR");
    std::string directory =
        (configured != nullptr && *configured != '\0') ? configured : detail::ExecutableDirectory();
    while (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\')) {
        directory.pop_back();
    }
    return directory;
}

std::string ToNativeFileName(const std::string& path) {
    std::string native = path;
#if defined(_WIN32)
    std::replace(native.begin(), native.end(), '/', '\\');
#else
    std::replace(native.begin(), native.end(), '\\', '/');
#endif
    return native;
}

std::string GetFileExt(const std::string& path) {
    const auto separator = path.find_last_of("/\\");
    const auto nameStart = separator == std::string::npos ? 0 : separator + 1;
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) {
        return {};
    }
    return path.substr(dot + 1);
}

}  // namespace os
