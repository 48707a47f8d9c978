#include "satchel/WholeFile.h"

#include <random>
#include <string_view>

#include "detail/Files.h"

namespace satchel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporaryInfix = ".partial";
// A name taken by someone else is tried again with new characters; this many collisions in a
// row mean the folder is being filled on purpose.
constexpr int kNameAttempts = 100;

std::string RandomCharacters() {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string characters(6, ' ');
    for (char& c : characters) {
        c = kAlphabet[pick(generator)];
    }
    return characters;
}

}  // namespace

bool ReadWholeFile(const fs::path& path, std::string& data, std::string& error,
                   std::uint64_t maxBytes) {
    return detail::ReadRegularFile(path.string(), data, maxBytes, error);
}

ReplacementFile::~ReplacementFile() {
    Discard();
}

void ReplacementFile::Discard() noexcept {
    if (!temporary.empty()) {
        detail::CloseFile(fd);
        detail::RemoveEntry(temporary);
    }
    fd = -1;
    temporary.clear();
}

bool ReplacementFile::Open(const fs::path& newTarget, std::string& error) {
    Discard();
    failure.clear();
    target = newTarget;
    if (!target.has_filename()) {
        error = "cannot write \"" + target.string() + "\": it names no file";
        return false;
    }
    std::string kind;
    switch (detail::KindOfPath(target.string(), false, kind)) {
        case detail::PathKind::Other:
            error = "cannot replace " + target.string() + ": it is " + kind +
                    ", not a regular file or a symbolic link";
            return false;
        case detail::PathKind::SymbolicLink:
            // A link to a device or a pipe (/dev/stdout) is a way of writing there, not a
            // file to put a file in place of.
            if (detail::KindOfPath(target.string(), true, kind) == detail::PathKind::Other) {
                error = "cannot replace " + target.string() + ": it is a symbolic link to " + kind +
                        ", not to a regular file";
                return false;
            }
            // The same for a standard output sent to a file: replacing the link would put the
            // bytes beside the output, and take /dev/stdout away from every later program.
            if (std::string hop; detail::LeadsToAnOpenFileLink(target.string(), hop)) {
                error = "cannot replace " + target.string() + ": it is a symbolic link to " + hop +
                        ", an open file of a process, not to a file";
                return false;
            }
            break;
        case detail::PathKind::Absent:
        case detail::PathKind::RegularFile:
            break;
    }
    const std::string prefix = target.string() + std::string(kTemporaryInfix) + ".";
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = prefix + RandomCharacters();
        bool exists = false;
        fd = detail::CreateNewFile(name, exists, error);
        if (fd >= 0) {
            temporary = std::move(name);
            return true;
        }
        if (!exists) {
            return false;
        }
    }
    error = "cannot create a temporary file beside " + target.string() + ": " +
            std::to_string(kNameAttempts) + " names in a row were taken";
    return false;
}

void ReplacementFile::Write(const void* data, std::size_t size) {
    if (temporary.empty() && failure.empty()) {
        failure = "nothing to write to: no temporary file is open";
    }
    if (failure.empty()) {
        detail::WriteAll(fd, data, size, temporary, failure);
    }
}

bool ReplacementFile::Commit(std::string& error) {
    if (temporary.empty()) {
        error = failure.empty() ? "nothing to commit: no temporary file is open" : failure;
        return false;
    }
    if (!failure.empty()) {
        error = failure;
        Discard();
        return false;
    }
    const int file = fd;
    fd = -1;  // closed by the next call whatever it returns
    if (!detail::SyncAndClose(file, temporary, error) ||
        !detail::RenameOver(temporary, target.string(), error)) {
        Discard();
        return false;
    }
    temporary.clear();
    return true;
}

bool ReplacementFile::IsTemporaryName(const fs::path& candidate, const fs::path& target) {
    const std::string prefix = target.filename().string() + std::string(kTemporaryInfix);
    return candidate.parent_path() == target.parent_path() &&
           candidate.filename().string().starts_with(prefix);
}

bool WriteWholeFile(const fs::path& path, const std::string& data, std::string& error) {
    ReplacementFile file;
    if (!file.Open(path, error)) {
        return false;
    }
    file.Write(data.data(), data.size());
    return file.Commit(error);
}

}  // namespace satchel
