// XmlDocument: a TinyXML document with the client's own file loading in front of the parser.
//
// Loading decides between the packed archive (through PackedResourceLibrary) and the file
// system, turns file names into the platform's form, understands scrambled ".xmlx" files
// (every byte XORed with one mask byte) and normalises line ends. Parsing, error state and
// navigation are TinyXML's; errors are recorded the way TinyXML records them: only the first
// error since the last parse counts, and its location is row -1, column -1 (ErrorRow() and
// ErrorCol() then say 0).
//
// Private to the text library: it derives from TinyXML's document, so this header brings
// TinyXML with it. Nothing outside text/ (and its tests) includes it.
//
// Every operation reports failure through its result and the document's error state; only an
// allocation failure propagates (as std::bad_alloc). One document must not be used by two
// threads at once.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include <tinyxml.h>

class XmlDocument : public TiXmlDocument {
public:
    XmlDocument() = default;

    /// Loads `fileName` (converted with os::ToNativeFileName). From the packed archive when the
    /// packed resource library is loaded, `noArchive` is false and the library says the archive
    /// is the source (asked on every call); otherwise from the file system, where the
    /// document's value becomes the native name and a name whose extension, upper-cased, is
    /// "XMLX" is read scrambled. A failed archive read is logged at level 3. True when no error
    /// is recorded. A null `fileName` returns false and leaves the error state as it was.
    bool LoadFile(const char* fileName, TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING,
                  bool noArchive = false);
    /// LoadFile(fileName.c_str(), encoding, false).
    bool LoadFile(const std::string& fileName, TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);
    /// Loads the file named by the document's value.
    bool LoadFile(TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);
    /// Reads an open plain file from its start to its end. The file stays open. Error 2 for a
    /// null file, one that cannot be measured or read, or one too large to hold in memory;
    /// error 12 for an empty file.
    bool LoadFile(FILE* file, TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);
    /// The same for an open scrambled file: the bytes are unscrambled before parsing.
    bool LoadScrambledFile(FILE* file, TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);
    /// Replaces the document by the parse of `length` bytes at `data`. Reading stops at the
    /// first NUL byte; CR LF and lone CR become LF. Error 12 for null `data` or `length` below
    /// 1. True when no error is recorded.
    ///
    /// Every load parses through here: a text nested deeper, with more attributes on one
    /// element, or with more nodes than text/XmlLimits.h allows is refused before TinyXML sees
    /// it, with error 1 ("Error") and a level-3 log line, and the document stays empty.
    bool LoadFromMemory(const char* data, int length,
                        TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);

    /// Writes the document (with a UTF-8 byte-order mark when the loaded text had one) to
    /// `fileName`, scrambled when its extension, upper-cased, is "XMLX". False for a null name
    /// and when opening, writing, closing or the scrambling pass fails; a failed scrambling
    /// pass may leave the file plain or partly scrambled.
    bool SaveFile(const char* fileName) const;
    bool SaveFile(const std::string& fileName) const;
    /// Writes to the file named by the document's value.
    bool SaveFile() const;

    /// The elements of the text the last load parsed, the root included, as counted before the
    /// parse: what a reader of every element can reserve room for without walking the
    /// document. 0 before a load and after a failed one.
    std::size_t ParsedElementCount() const noexcept { return parsedElements; }

private:
    /// `source` names the file in the log line of a refused document (null: none).
    bool LoadOpenFile(FILE* file, TiXmlEncoding encoding, bool scrambled, const char* source);
    /// Replaces the document by the parse of the `used` normalised bytes at `buffer`, which has
    /// room for the parse padding after them, unless the text goes beyond the limits of
    /// text/XmlLimits.h: then error 1 is recorded and one level-3 line names `source` (when
    /// given), what was exceeded and the line where.
    bool ParseNormalised(char* buffer, std::size_t used, TiXmlEncoding encoding,
                         const char* source);
    void RecordError(int errorId);

    std::size_t parsedElements = 0;
};
