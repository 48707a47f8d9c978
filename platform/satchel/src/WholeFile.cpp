#include "satchel/WholeFile.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace satchel {

namespace fs = std::filesystem;

bool ReadWholeFile(const fs::path& path, std::string& data, std::string& error,
                   std::uint64_t maxBytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    const std::streamoff length = in.tellg();
    if (length < 0 || static_cast<std::uint64_t>(length) > maxBytes) {
        error = "cannot take the size of " + path.string() + " or it is too large";
        return false;
    }
    data.resize(static_cast<std::size_t>(length));
    in.seekg(0);
    in.read(data.data(), length);
    if (in.gcount() != length) {
        error = "cannot read " + path.string();
        return false;
    }
    return true;
}

fs::path PartialPathFor(const fs::path& target) {
    return target.string() + ".partial";
}

bool CommitPartialFile(std::ofstream& out, const fs::path& target, std::string& error) {
    const fs::path partial = PartialPathFor(target);
    out.close();
    std::error_code ec;
    if (!out) {
        error = "cannot write " + partial.string();
        fs::remove(partial, ec);
        return false;
    }
    fs::rename(partial, target, ec);
    if (ec) {
        error =
            "cannot rename " + partial.string() + " to " + target.string() + ": " + ec.message();
        fs::remove(partial, ec);
        return false;
    }
    return true;
}

bool WriteWholeFile(const fs::path& path, const std::string& data, std::string& error) {
    const fs::path partial = PartialPathFor(path);
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + partial.string() + ": " + std::strerror(errno);
        return false;
    }
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return CommitPartialFile(out, path, error);
}

}  // namespace satchel
