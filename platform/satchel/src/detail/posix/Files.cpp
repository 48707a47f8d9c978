#include "detail/Files.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

namespace satchel::detail {
namespace {

std::string SystemReason(int number) {
    return std::strerror(number);
}

const char* KindName(mode_t mode) {
    static constexpr struct {
        mode_t type;
        const char* name;
    } kKinds[] = {
        {S_IFDIR, "a directory"},    {S_IFIFO, "a FIFO"},    {S_IFCHR, "a character device"},
        {S_IFBLK, "a block device"}, {S_IFSOCK, "a socket"}, {S_IFLNK, "a symbolic link"},
    };
    for (const auto& kind : kKinds) {
        if ((mode & S_IFMT) == kind.type) {
            return kind.name;
        }
    }
    return "of an unknown kind";
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { CloseFile(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

// Reads after the measured size in blocks of at least this many bytes: a file may have grown
// since it was measured, and some regular files (those of /proc) report a size of 0.
constexpr std::size_t kMinimumGrowth = 64 * 1024;

}  // namespace

PathKind KindOfPath(const std::string& path, bool follow, std::string& description) {
    struct stat status {};
    if ((follow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) {
        if (follow || errno == ENOENT) {
            return PathKind::Absent;
        }
        description = "a path that cannot be examined (" + SystemReason(errno) + ")";
        return PathKind::Other;
    }
    if (S_ISREG(status.st_mode)) {
        return PathKind::RegularFile;
    }
    if (S_ISLNK(status.st_mode)) {
        return PathKind::SymbolicLink;
    }
    description = KindName(status.st_mode);
    return PathKind::Other;
}

bool LeadsToAnOpenFileLink(const std::string& path, std::string& hop) {
    // The system's own limit of links followed in one path lookup.
    constexpr int kMaxHops = 40;
    std::string link = path;
    for (int hops = 0; hops < kMaxHops; ++hops) {
        struct stat status {};
        if (::lstat(link.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return false;
        }
        const std::string::size_type slash = link.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : link.substr(0, slash);
        struct statfs system {};
        if (::statfs(folder.c_str(), &system) == 0 && system.f_type == PROC_SUPER_MAGIC) {
            hop = link;
            return true;
        }
        char target[4096];
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
            return false;
        }
        const std::string next(target, static_cast<std::size_t>(length));
        link = next.front() == '/' ? next : folder + "/" + next;
    }
    return false;
}

bool ReadRegularFile(const std::string& path, std::string& data, std::uint64_t maxBytes,
                     std::string& error) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer. It changes
    // nothing for a regular file, the only kind read further.
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.Get() < 0) {
        error = "cannot open " + path + ": " + SystemReason(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        error = "cannot examine " + path + ": " + SystemReason(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error =
            "cannot read " + path + ": it is " + KindName(status.st_mode) + ", not a regular file";
        return false;
    }
    const auto tooLarge = [&] {
        error = "cannot read " + path + ": larger than the limit of " + std::to_string(maxBytes) +
                " bytes";
        return false;
    };
    const auto measured = static_cast<std::uint64_t>(status.st_size);
    if (measured > maxBytes) {
        return tooLarge();
    }
    const auto noMemory = [&] {
        error = "cannot read " + path + ": not enough memory for " + std::to_string(measured) +
                " bytes";
        return false;
    };
    if (measured > data.max_size()) {  // a 32-bit process and a file of 4 GiB or more
        return noMemory();
    }
    std::size_t used = 0;
    try {
        data.resize(static_cast<std::size_t>(measured));
        while (true) {
            if (used == data.size()) {
                data.resize(used + std::max(kMinimumGrowth, used / 2));
            }
            const ssize_t n = ::read(file.Get(), data.data() + used, data.size() - used);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error = "cannot read " + path + ": " + SystemReason(errno);
                return false;
            }
            if (n == 0) {
                break;
            }
            used += static_cast<std::size_t>(n);
            if (used > maxBytes) {
                return tooLarge();
            }
        }
    } catch (const std::bad_alloc&) {
        return noMemory();
    } catch (const std::length_error&) {
        return noMemory();
    }
    data.resize(used);
    return true;
}

int CreateNewFile(const std::string& path, bool& exists, std::string& error) {
    // O_EXCL with O_CREAT fails on any existing entry, a symbolic link included, so nothing
    // planted at the path is ever written through; O_NOFOLLOW says the same once more.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    exists = fd < 0 && errno == EEXIST;
    if (fd < 0) {
        error = "cannot create " + path + ": " + SystemReason(errno);
    }
    return fd;
}

bool WriteAll(int fd, const void* data, std::size_t size, const std::string& path,
              std::string& error) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, next, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot write " + path + ": " + SystemReason(errno);
            return false;
        }
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SyncAndClose(int fd, const std::string& path, std::string& error) {
    const bool synced = ::fsync(fd) == 0;
    const int syncError = errno;
    // No retry of close on EINTR: on Linux the descriptor is released whatever it returns.
    const bool closed = ::close(fd) == 0;
    if (!synced || !closed) {
        error = "cannot write " + path + ": " + SystemReason(synced ? errno : syncError);
        return false;
    }
    return true;
}

void CloseFile(int fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
    }
}

bool RenameOver(const std::string& from, const std::string& to, std::string& error) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        error = "cannot rename " + from + " to " + to + ": " + SystemReason(errno);
        return false;
    }
    return true;
}

void RemoveEntry(const std::string& path) noexcept {
    ::unlink(path.c_str());
}

}  // namespace satchel::detail
