#include "plinth/Path.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "detail/Platform.h"

namespace os {
namespace {

// The executable's folder when it holds config/: a build tree, or a client laid out with its
// configuration beside it. Otherwise the data folder of the prefix the program is installed
// in, when that holds config/: the SDK puts programs in bin/ and the sample tables in
// share/PyrMiniMap/config/. Otherwise the executable's folder still, which is then what a
// failed read names.
std::string DefaultConfigDirectory() {
    const std::string executable = detail::ExecutableDirectory();
    std::error_code ignored;
    if (std::filesystem::is_directory(executable + "/config", ignored)) {
        return executable;
    }
    const std::filesystem::path installed =
        (std::filesystem::path(executable) / PLINTH_BINDIR_TO_DATADIR).lexically_normal();
    if (std::filesystem::is_directory(installed / "config", ignored)) {
        return installed.string();
    }
    return executable;
}

}  // namespace

std::string GetConfigDirectory() {
    const char* configured = detail::GetEnvironment("PLINTH_CONFIG_DIR");
    std::string directory =
        (configured != nullptr && *configured != '\0') ? configured : DefaultConfigDirectory();
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

ReadFileResult ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
    return detail::ReadWholeFile(path, maxBytes, bytes);
}

bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes,
                   const std::string& what, std::string& error) {
    switch (ReadWholeFile(path, maxBytes, bytes)) {
        case ReadFileResult::Read:
            return true;
        case ReadFileResult::TooLarge:
            error = "cannot read " + what + ": it is larger than " + std::to_string(maxBytes) +
                    " bytes";
            return false;
        case ReadFileResult::NoWriter:
            error = "cannot read " + what + ": a FIFO that nobody writes to";
            return false;
        case ReadFileResult::Unreadable:
            break;
    }
    const int reason = errno;
    error = "cannot read " + what +
            (reason != 0 ? ": " + std::error_code(reason, std::generic_category()).message()
                         : std::string());
    return false;
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
