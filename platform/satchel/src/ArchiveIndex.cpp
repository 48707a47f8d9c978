#include "ArchiveIndex.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "ZipFormat.h"

// Offsets into a zip64 archive reach beyond 4 GiB; a 32-bit off_t would cut them and seek to
// another part of the file. The build asks for 64-bit offsets on 32-bit targets
// (_FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "the archive index needs 64-bit file offsets");

namespace satchel::detail {
namespace {

using namespace zip;  // the record signatures and sizes the reader and the packer share
constexpr std::uint32_t kZip64EndRecordSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kMaxCommentSize = 0xFFFF;
constexpr std::uint64_t kMaxDirectorySize = 256ULL << 20;
constexpr std::uint16_t kHostFat = 0;
constexpr std::uint16_t kFlagEncrypted = 1U << 0;

// A bounds-checked little-endian reader over bytes read from the archive. Every read past
// the end leaves `ok` false and yields 0, so a parse checks `ok` once per structure.
class Reader {
public:
    Reader(const unsigned char* data, std::size_t size) : data(data), size(size) {}

    // A little-endian value of 1 to 8 bytes.
    std::uint64_t Get(std::size_t bytes) {
        if (!ok || bytes > 8 || size - position < bytes) {
            ok = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(data[position + i]) << (8 * i);
        }
        position += bytes;
        return value;
    }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Get(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Get(4)); }
    std::uint64_t U64() { return Get(8); }
    std::string_view Bytes(std::size_t count) {
        if (!ok || size - position < count) {
            ok = false;
            return {};
        }
        std::string_view view(reinterpret_cast<const char*>(data + position), count);
        position += count;
        return view;
    }
    void Skip(std::size_t count) { Bytes(count); }
    bool Ok() const { return ok; }
    std::size_t Position() const { return position; }

private:
    const unsigned char* data;
    std::size_t size;
    std::size_t position = 0;
    bool ok = true;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool ReadAt(std::FILE* file, std::uint64_t offset, std::size_t count,
            std::vector<unsigned char>& out) {
    out.resize(count);
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return false;
    }
    return std::fread(out.data(), 1, count, file) == count;
}

bool AddOverflows(std::uint64_t a, std::uint64_t b, std::uint64_t& sum) {
    sum = a + b;
    return sum < a;
}

struct CentralDirectory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t count = 0;
};

// The fields the end record and the zip64 end record share, in the same order, the zip64 ones
// wider: this disk's number and the directory's (`diskBytes` each), the directory's entries on
// this disk and in all (`countBytes` each), its size and its offset (`placeBytes` each). False
// for an archive that spans several disks.
bool ReadDirectoryPlace(Reader& r, std::size_t diskBytes, std::size_t countBytes,
                        std::size_t placeBytes, CentralDirectory& directory, std::string& error) {
    const std::uint64_t disk = r.Get(diskBytes);
    const std::uint64_t directoryDisk = r.Get(diskBytes);
    const std::uint64_t countOnDisk = r.Get(countBytes);
    directory.count = r.Get(countBytes);
    directory.size = r.Get(placeBytes);
    directory.offset = r.Get(placeBytes);
    if (disk != 0 || directoryDisk != 0 || countOnDisk != directory.count) {
        error = "archive spans several disks, which is not supported";
        return false;
    }
    return true;
}

// Finds the end record (and the zip64 records when the archive has them) and returns where the
// central directory lies. The end record must close the file exactly: a truncated archive
// loses it, and trailing garbage means the file is not what it claims.
bool FindCentralDirectory(std::FILE* file, std::uint64_t fileSize, CentralDirectory& directory,
                          std::string& error) {
    if (fileSize < kEndRecordSize) {
        error = "file of " + std::to_string(fileSize) + " bytes is too short for a zip archive";
        return false;
    }
    const std::size_t tailSize = static_cast<std::size_t>(
        std::min<std::uint64_t>(fileSize, kEndRecordSize + kMaxCommentSize));
    const std::uint64_t tailOffset = fileSize - tailSize;
    std::vector<unsigned char> tail;
    if (!ReadAt(file, tailOffset, tailSize, tail)) {
        error = "cannot read the end of the file";
        return false;
    }
    std::size_t found = tailSize;
    for (std::size_t pos = tailSize - kEndRecordSize + 1; pos-- > 0;) {
        Reader r(tail.data() + pos, tailSize - pos);
        if (r.U32() != kEndRecordSignature) {
            continue;
        }
        r.Skip(16);
        if (r.U16() == tailSize - pos - kEndRecordSize) {
            found = pos;
            break;
        }
    }
    if (found == tailSize) {
        error =
            "no end of central directory record at the end of the file "
            "(not a zip archive, or truncated)";
        return false;
    }
    const std::uint64_t endOffset = tailOffset + found;
    Reader end(tail.data() + found + 4, kEndRecordSize - 4);
    if (!ReadDirectoryPlace(end, 2, 2, 4, directory, error)) {
        return false;
    }

    // The zip64 locator sits right before the end record when the archive has one.
    std::uint64_t directoryEnd = endOffset;
    std::vector<unsigned char> bytes;
    if (endOffset >= kZip64LocatorSize &&
        ReadAt(file, endOffset - kZip64LocatorSize, kZip64LocatorSize, bytes) &&
        Reader(bytes.data(), bytes.size()).U32() == kZip64LocatorSignature) {
        Reader locator(bytes.data() + 4, kZip64LocatorSize - 4);
        const std::uint32_t recordDisk = locator.U32();
        const std::uint64_t recordOffset = locator.U64();
        const std::uint32_t disks = locator.U32();
        if (recordDisk != 0 || disks > 1) {
            error = "archive spans several disks, which is not supported";
            return false;
        }
        std::uint64_t recordEnd = 0;
        if (AddOverflows(recordOffset, kZip64EndRecordSize, recordEnd) ||
            recordEnd > endOffset - kZip64LocatorSize ||
            !ReadAt(file, recordOffset, kZip64EndRecordSize, bytes)) {
            error = "zip64 locator points outside the file";
            return false;
        }
        Reader record(bytes.data(), bytes.size());
        if (record.U32() != kZip64EndRecordSignature) {
            error = "zip64 locator does not point at a zip64 end record";
            return false;
        }
        record.Skip(8 + 2 + 2);  // record size, versions
        if (!ReadDirectoryPlace(record, 4, 8, 8, directory, error)) {
            return false;
        }
        directoryEnd = recordOffset;
    } else if (directory.count == 0xFFFF || directory.size == 0xFFFFFFFF ||
               directory.offset == 0xFFFFFFFF) {
        error = "end record refers to zip64 records that are missing";
        return false;
    }

    std::uint64_t claimedEnd = 0;
    if (AddOverflows(directory.offset, directory.size, claimedEnd) || claimedEnd != directoryEnd) {
        error = "central directory (offset " + std::to_string(directory.offset) + ", " +
                std::to_string(directory.size) + " bytes) does not end where the end record " +
                "lies (" + std::to_string(directoryEnd) + "): damaged archive";
        return false;
    }
    // The directory is read into memory whole; a claim beyond any real resource archive is
    // refused rather than allocated.
    if (directory.size > kMaxDirectorySize) {
        error = "central directory of " + std::to_string(directory.size) +
                " bytes is larger than supported";
        return false;
    }
    // Each member takes at least one central header, so the count is bounded by the size.
    if (directory.count > directory.size / kCentralHeaderSize) {
        error = "end record claims " + std::to_string(directory.count) +
                " members, more than the central directory can hold";
        return false;
    }
    return true;
}

// Reads the zip64 extended information field of one central header, replacing the 32-bit
// values that are saturated, in the order the format stores them.
bool ApplyZip64Extra(std::string_view extra, std::uint64_t& size, std::uint64_t& compressedSize,
                     std::uint64_t& localOffset) {
    Reader r(reinterpret_cast<const unsigned char*>(extra.data()), extra.size());
    while (r.Ok() && r.Position() < extra.size()) {
        const std::uint16_t id = r.U16();
        const std::uint16_t length = r.U16();
        const std::string_view body = r.Bytes(length);
        if (!r.Ok() || id != kZip64ExtraId) {
            continue;
        }
        Reader field(reinterpret_cast<const unsigned char*>(body.data()), body.size());
        if (size == 0xFFFFFFFF) {
            size = field.U64();
        }
        if (compressedSize == 0xFFFFFFFF) {
            compressedSize = field.U64();
        }
        if (localOffset == 0xFFFFFFFF) {
            localOffset = field.U64();
        }
        return field.Ok();
    }
    return size != 0xFFFFFFFF && compressedSize != 0xFFFFFFFF && localOffset != 0xFFFFFFFF;
}

}  // namespace

bool ArchiveIndex::Read(const std::string& path, std::string& error) {
    entries.clear();
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    if (fseeko(file.get(), 0, SEEK_END) != 0) {
        error = std::string("cannot seek: ") + std::strerror(errno);
        return false;
    }
    const off_t length = ftello(file.get());
    if (length < 0) {
        error = std::string("cannot take the length: ") + std::strerror(errno);
        return false;
    }
    const auto fileSize = static_cast<std::uint64_t>(length);

    CentralDirectory directory;
    if (!FindCentralDirectory(file.get(), fileSize, directory, error)) {
        return false;
    }
    std::vector<unsigned char> central;
    if (!ReadAt(file.get(), directory.offset, static_cast<std::size_t>(directory.size), central)) {
        error = "cannot read the central directory";
        return false;
    }

    std::unordered_map<std::string, ArchiveEntry> found;
    Reader r(central.data(), central.size());
    std::vector<unsigned char> local;
    for (std::uint64_t i = 0; i < directory.count; ++i) {
        const std::string where = "central directory entry " + std::to_string(i);
        if (r.U32() != kCentralHeaderSignature || !r.Ok()) {
            error = where + ": bad signature (damaged central directory)";
            return false;
        }
        const std::uint16_t madeBy = r.U16();
        r.U16();  // version needed
        ArchiveEntry entry;
        entry.flags = r.U16();
        entry.method = r.U16();
        r.U32();  // time and date
        entry.crc = r.U32();
        entry.compressedSize = r.U32();
        entry.size = r.U32();
        const std::uint16_t nameLength = r.U16();
        const std::uint16_t extraLength = r.U16();
        const std::uint16_t commentLength = r.U16();
        r.Skip(2 + 2 + 4);  // disk, internal and external attributes
        std::uint64_t localOffset = r.U32();
        const std::string_view rawName = r.Bytes(nameLength);
        const std::string_view extra = r.Bytes(extraLength);
        r.Bytes(commentLength);
        if (!r.Ok()) {
            error = where + ": runs past the end of the central directory";
            return false;
        }
        if (!ApplyZip64Extra(extra, entry.size, entry.compressedSize, localOffset)) {
            error = where + ": zip64 sizes are missing or cut short";
            return false;
        }
        std::string name(rawName);
        if (name.empty()) {
            error = where + ": empty name";
            return false;
        }
        // Archives made on FAT hosts may use '\' as separator; PhysFS converts those names,
        // so the index does the same to find them under the name PhysFS answers to.
        if ((madeBy >> 8) == kHostFat) {
            std::replace(name.begin(), name.end(), '\\', '/');
        }
        const std::string member = "member \"" + name + "\"";

        // The local header must be where the directory says, name the same member, and its
        // data must end before the central directory begins.
        std::uint64_t headerEnd = 0;
        if (AddOverflows(localOffset, kLocalHeaderSize + nameLength, headerEnd) ||
            headerEnd > directory.offset ||
            !ReadAt(file.get(), localOffset, kLocalHeaderSize + nameLength, local)) {
            error = member + ": local header lies outside the archive's data";
            return false;
        }
        Reader header(local.data(), local.size());
        const std::uint32_t signature = header.U32();
        header.Skip(22);
        const std::uint16_t localNameLength = header.U16();
        const std::uint16_t localExtraLength = header.U16();
        if (signature != kLocalHeaderSignature || localNameLength != nameLength ||
            header.Bytes(nameLength) != rawName) {
            error = member + ": local header is damaged or names another member";
            return false;
        }
        std::uint64_t dataEnd = 0;
        if (AddOverflows(headerEnd + localExtraLength, entry.compressedSize, dataEnd) ||
            dataEnd > directory.offset) {
            error = member + ": data runs past the start of the central directory " +
                    "(truncated or damaged archive)";
            return false;
        }
        if (entry.method == 0 && (entry.flags & kFlagEncrypted) == 0 &&
            entry.compressedSize != entry.size) {
            error = member + ": stored member whose sizes disagree";
            return false;
        }
        if (name.back() == '/') {
            continue;  // a directory
        }
        if (!found.emplace(std::move(name), entry).second) {
            error = member + ": appears twice";
            return false;
        }
    }
    if (r.Position() != central.size()) {
        error = "central directory holds more bytes than its " + std::to_string(directory.count) +
                " entries";
        return false;
    }
    entries = std::move(found);
    return true;
}

const ArchiveEntry* ArchiveIndex::Find(std::string_view name) const {
    const auto it = entries.find(std::string(name));
    return it == entries.end() ? nullptr : &it->second;
}

}  // namespace satchel::detail
