#include "text/XmlDocument.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include "net/LogFormat.h"
#include "plinth/Path.h"
#include "plinth/String.h"
#include "text/PackedResourceLibrary.h"
#include "text/Scramble.h"
#include "text/TableFile.h"
#include "text/XmlLimits.h"

namespace {

// The parse buffer ends in this many NUL bytes: in a UTF-8 document (declared so, or with a
// byte-order mark) TinyXML 2.6.2 steps over a whole multi-byte character at a time, and so
// reads past a single terminating NUL when the input ends inside one ("<a>x" followed by the
// lead byte 0xD5). A character has at most four bytes.
constexpr std::size_t kParseBufferPadding = 4;

// Lengths travel as int: a larger input would wrap to a negative or short length.
constexpr long kMaxInputLength = INT_MAX;

bool IsScrambledName(const std::string& nativeName) {
    os::String extension(os::GetFileExt(nativeName));
    return extension.ToUpper() == "XMLX";
}

// Scrambles the whole file in place; false when it cannot be reopened, read or written back.
bool ScrambleFileInPlace(const char* fileName) {
    FILE* file = std::fopen(fileName, "rb+");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    const long length = ok ? std::ftell(file) : -1;
    ok = length >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    if (ok && length > 0) {
        const auto size = static_cast<std::size_t>(length);
        std::unique_ptr<char[]> bytes(new (std::nothrow) char[size]);
        ok = bytes != nullptr && std::fread(bytes.get(), 1, size, file) == size;
        if (ok) {
            ScrambleBytes(bytes.get(), size);
            ok = std::fseek(file, 0, SEEK_SET) == 0 &&
                 std::fwrite(bytes.get(), 1, size, file) == size;
        }
    }
    // A write that fails only when the buffer is flushed shows up here.
    if (std::fclose(file) != 0) {
        ok = false;
    }
    return ok;
}

// Line ends become LF, as TinyXML's own file loading does it: CR LF is one LF, a lone CR is an
// LF. The input ends at `length` bytes or at its first NUL, whichever comes first. Writes the
// result to `out`, which may be `in` itself (the result is never longer than the input, so
// the writes never overtake the reads), and returns its length. Runs of bytes without a CR
// are moved in one block: a table has a line end every few dozen bytes.
std::size_t NormaliseLineEnds(const char* in, std::size_t length, char* out) {
    if (const void* nul = std::memchr(in, '\0', length)) {
        length = static_cast<std::size_t>(static_cast<const char*>(nul) - in);
    }
    const char* const end = in + length;
    char* const start = out;
    for (;;) {
        const auto* cr =
            static_cast<const char*>(std::memchr(in, '\r', static_cast<std::size_t>(end - in)));
        const std::size_t run = static_cast<std::size_t>((cr != nullptr ? cr : end) - in);
        if (out != in) {
            std::memmove(out, in, run);
        }
        out += run;
        in += run;
        if (cr == nullptr) {
            return static_cast<std::size_t>(out - start);
        }
        *out++ = '\n';
        ++in;
        if (in < end && *in == '\n') {
            ++in;
        }
    }
}

// Ends the `used` bytes of a parse buffer with the padding NULs; returns the buffer.
const char* PadParseBuffer(char* buffer, std::size_t used) {
    std::memset(buffer + used, 0, kParseBufferPadding);
    return buffer;
}

}  // namespace

bool XmlDocument::LoadFile(const char* fileName, TiXmlEncoding encoding, bool noArchive) {
    if (fileName == nullptr) {
        return false;
    }
    const std::string native = os::ToNativeFileName(fileName);

    const PackedResourceLibrary& packed = PackedResourceLibrary::Instance();
    if (packed.IsLoaded() && !noArchive && packed.IsLoadFromMpq()) {
        std::uint32_t size = 0;
        // Every buffer goes back to the library, also an empty or oversized one.
        ArchiveBuffer buffer{packed, packed.LoadFileData(native.c_str(), &size,
                                                         PackedResourceLibrary::kLoadWholeFile)};
        if (buffer.data != nullptr && size != 0 && size <= kMaxInputLength) {
            // The parser gets one copy: the library's buffer goes back before the parse, so a
            // large member is not held twice while TinyXML builds the document beside it.
            std::unique_ptr<char[]> text(new char[size + kParseBufferPadding]);
            const std::size_t used =
                NormaliseLineEnds(static_cast<const char*>(buffer.data), size, text.get());
            buffer.Release();
            return ParseNormalised(text.get(), used, encoding, native.c_str());
        }
        RecordError(TIXML_ERROR_OPENING_FILE);
        LogFormatted(3, "%s() error : load %s fail", "TiXmlDocument::LoadFile", native.c_str());
        return false;
    }

    SetValue(native);
    // Only a regular file is opened: opening a FIFO put in a table's place would wait for a
    // writer for ever (and hang the module's load), and a folder or a device is no document.
    std::error_code notRegular;
    if (!std::filesystem::is_regular_file(native, notRegular)) {
        RecordError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    FILE* file = std::fopen(native.c_str(), "rb");
    if (file == nullptr) {
        RecordError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    const bool result = LoadOpenFile(file, encoding, IsScrambledName(native), native.c_str());
    std::fclose(file);
    return result;
}

bool XmlDocument::LoadFile(const std::string& fileName, TiXmlEncoding encoding) {
    return LoadFile(fileName.c_str(), encoding, false);
}

bool XmlDocument::LoadFile(TiXmlEncoding encoding) {
    // A copy: loading from the file system replaces the value.
    const std::string fileName = ValueStr();
    return LoadFile(fileName.c_str(), encoding, false);
}

bool XmlDocument::LoadFile(FILE* file, TiXmlEncoding encoding) {
    return LoadOpenFile(file, encoding, false, nullptr);
}

bool XmlDocument::LoadScrambledFile(FILE* file, TiXmlEncoding encoding) {
    return LoadOpenFile(file, encoding, true, nullptr);
}

bool XmlDocument::LoadOpenFile(FILE* file, TiXmlEncoding encoding, bool scrambled,
                               const char* source) {
    if (file == nullptr) {
        RecordError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    // A file that cannot be measured (a pipe, say) cannot be read in one block either: that is
    // a failed read, not an empty document.
    if (std::fseek(file, 0, SEEK_END) != 0) {
        RecordError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    const long length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        RecordError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    if (length == 0) {
        RecordError(TIXML_ERROR_DOCUMENT_EMPTY);
        return false;
    }
    if (length > xml_limits::kMaxFileLength) {
        RecordError(TIXML_ERROR_OPENING_FILE);
        if (source != nullptr) {
            LogFormatted(3, "%s() error : load %s refused: file of %lld bytes is larger than %lld",
                         "TiXmlDocument::LoadFile", source, static_cast<long long>(length),
                         static_cast<long long>(xml_limits::kMaxFileLength));
        }
        return false;
    }
    // The measured length is only what the file system says: a directory opens as a file on
    // Linux and measures 0x7FFFFFFF on ext4 in a 32-bit process. A length that cannot be
    // allocated is a failed read, not an exception out of the loader. The read buffer is also
    // the parse buffer: line ends are normalised in it, and it has room for the padding.
    const auto size = static_cast<std::size_t>(length);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[size + kParseBufferPadding]);
    if (bytes == nullptr || std::fread(bytes.get(), 1, size, file) != size) {
        RecordError(TIXML_ERROR_OPENING_FILE);
        return false;
    }
    if (scrambled) {
        ScrambleBytes(bytes.get(), size);
    }
    return ParseNormalised(bytes.get(), NormaliseLineEnds(bytes.get(), size, bytes.get()), encoding,
                           source);
}

bool XmlDocument::LoadFromMemory(const char* data, int length, TiXmlEncoding encoding) {
    if (data == nullptr || length < 1) {
        RecordError(TIXML_ERROR_DOCUMENT_EMPTY);
        return false;
    }
    const auto size = static_cast<std::size_t>(length);
    std::unique_ptr<char[]> buffer(new char[size + kParseBufferPadding]);
    return ParseNormalised(buffer.get(), NormaliseLineEnds(data, size, buffer.get()), encoding,
                           nullptr);
}

bool XmlDocument::ParseNormalised(char* buffer, std::size_t used, TiXmlEncoding encoding,
                                  const char* source) {
    Clear();
    location.Clear();  // row -1, column -1
    parsedElements = 0;
    const char* const text = PadParseBuffer(buffer, used);
    // TinyXML would recurse once per level of nesting and grow quadratically with the
    // attributes of one element: a document beyond the limits is refused before it sees it.
    const xml_limits::Check check = xml_limits::CheckXmlLimits(text, encoding);
    if (check.breach != xml_limits::Breach::kNone) {
        ClearError();
        RecordError(TIXML_ERROR);
        const auto line = static_cast<long long>(1 + std::count(text, text + check.offset, '\n'));
        if (source != nullptr) {
            LogFormatted(3, "%s() error : load %s refused: %s (line %lld)",
                         "TiXmlDocument::LoadFile", source,
                         xml_limits::DescribeBreach(check.breach).c_str(), line);
        } else {
            LogFormatted(3, "%s() error : document refused: %s (line %lld)", "TiXmlDocument::Parse",
                         xml_limits::DescribeBreach(check.breach).c_str(), line);
        }
        return false;
    }
    Parse(text, nullptr, encoding);
    if (Error()) {
        return false;
    }
    parsedElements = check.elements;
    return true;
}

bool XmlDocument::SaveFile(const char* fileName) const {
    if (fileName == nullptr) {
        return false;
    }
    FILE* file = std::fopen(fileName, "w");
    if (file == nullptr) {
        return false;
    }
    // TinyXML writes the byte-order mark when the loaded text had one, prints the document and
    // reports the stream's error flag.
    bool ok = TiXmlDocument::SaveFile(file);
    if (std::fclose(file) != 0) {
        ok = false;
    }
    if (!ok) {
        return false;
    }
    if (IsScrambledName(fileName)) {
        return ScrambleFileInPlace(fileName);
    }
    return true;
}

bool XmlDocument::SaveFile(const std::string& fileName) const {
    return SaveFile(fileName.c_str());
}

bool XmlDocument::SaveFile() const {
    const std::string fileName = ValueStr();
    return SaveFile(fileName.c_str());
}

void XmlDocument::RecordError(int errorId) {
    // TinyXML keeps the first error since the last parse and resets its location.
    SetError(errorId, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
}
