#include "text/TableCheck.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>

#include "plinth/Path.h"
#include "plinth/SharedLibrary.h"
#include "satchel/WholeFile.h"
#include "text/PackedResourceLibrary.h"
#include "text/TableFile.h"
#include "text/XmlDocument.h"
#include "text/XmlLimits.h"

namespace text_check {
namespace {

constexpr std::size_t kShownBytes = 60;

/// A text as a finding shows it: quoted, control bytes as \xNN, long ones cut after about 60
/// bytes (never inside a UTF-8 sequence).
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    std::size_t end = text.size();
    if (end > kShownBytes) {
        end = kShownBytes;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
    }
    for (const char c : text.substr(0, end)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
    }
    return out + (end < text.size() ? "\"..." : "\"");
}

std::string WhatNode(const TiXmlNode& node) {
    if (const TiXmlText* text = node.ToText()) {
        return text->CDATA() ? "a CDATA section" : "text";
    }
    if (node.ToComment() != nullptr) {
        return "a comment";
    }
    if (node.ToElement() != nullptr) {
        return "the element <" + node.ValueStr() + ">";
    }
    if (node.ToDeclaration() != nullptr) {
        return "a declaration";
    }
    return "markup TinyXML does not know";
}

/// What the loader stores for each child element of the root, in document order: the text of
/// its first node when that is text, nothing otherwise.
std::vector<std::optional<std::string>> ElementTexts(const TiXmlElement& root) {
    std::vector<std::optional<std::string>> texts;
    for (const TiXmlElement* e = root.FirstChildElement(); e != nullptr;
         e = e->NextSiblingElement()) {
        const TiXmlNode* first = e->FirstChild();
        texts.push_back(first != nullptr && first->ToText() != nullptr
                            ? std::optional(first->ValueStr())
                            : std::nullopt);
    }
    return texts;
}

/// The table's root as TinyXML reads `text` with `encoding` and the white-space setting in
/// force, or null when the parse fails. The document is kept in `document`.
const TiXmlElement* Parse(XmlDocument& document, std::string_view text, TiXmlEncoding encoding) {
    if (!document.LoadFromMemory(text.data(), static_cast<int>(text.size()), encoding)) {
        return nullptr;
    }
    return document.RootElement();
}

class Checker {
public:
    explicit Checker(std::string_view bytes) : bytes(bytes) {}

    /// `whole` false: only whether the file is read at all, and why not (one parse, and the
    /// white-space setting untouched).
    TableReport Run(bool whole) {
        if (whole) {
            ScanBytes();
        }
        if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
            Add(0,
                "not read: larger than the loader reads (" + std::to_string(INT_MAX) + " bytes)");
            return Done(false);
        }
        XmlDocument client;
        const TiXmlElement* root = Parse(client, bytes, TIXML_ENCODING_UNKNOWN);
        if (client.Error()) {
            AddParseError(client);
            return Done(false);
        }
        if (root == nullptr) {
            Add(0, "not read: the file holds no element");
            return Done(false);
        }
        if (!whole) {
            return Done(true);
        }
        CheckEntries(*root);
        for (const TiXmlElement* e = root->NextSiblingElement(); e != nullptr;
             e = e->NextSiblingElement()) {
            Add(e->Row(), "the element <" + e->ValueStr() + "> after the root element <" +
                              root->ValueStr() + "> is not read");
        }
        CompareWithUtf8(*root);
        CompareWithWhiteSpaceKept(*root);
        return Done(true);
    }

private:
    void Add(int line, std::string text) { report.findings.push_back({line, std::move(text)}); }

    TableReport Done(bool readable) {
        report.readable = readable;
        std::stable_sort(report.findings.begin(), report.findings.end(),
                         [](const Finding& a, const Finding& b) { return a.line < b.line; });
        return std::move(report);
    }

    void AddParseError(const XmlDocument& document) {
        if (document.ErrorId() == TiXmlBase::TIXML_ERROR) {
            Add(0,
                "not read: nested deeper, or with more attributes on one element or more "
                "nodes in all, than the loader takes (64 levels, 64 attributes, 4,194,304 "
                "nodes)");
            return;
        }
        std::string text = std::string("not read: TinyXML: ") + document.ErrorDesc();
        if (document.ErrorRow() > 0) {
            text += " (column " + std::to_string(document.ErrorCol()) + ")";
        }
        Add(document.ErrorRow(), std::move(text));
    }

    /// Entries that are not what their element holds, and keys given twice.
    void CheckEntries(const TiXmlElement& root) {
        std::map<std::string, int, std::less<>> lineOfKey;
        for (const TiXmlElement* e = root.FirstChildElement(); e != nullptr;
             e = e->NextSiblingElement()) {
            const std::string& key = e->ValueStr();
            const TiXmlNode* first = e->FirstChild();
            if (first == nullptr) {
                Add(e->Row(), key +
                                  ": no text, so no entry (white space alone is none): the key "
                                  "reads as missing");
                continue;
            }
            if (first->ToText() == nullptr) {
                Add(e->Row(),
                    key + ": no entry: its first node is " + WhatNode(*first) + ", not text");
                continue;
            }
            if (const TiXmlNode* next = first->NextSibling()) {
                Add(e->Row(), key + ": only " + Quoted(first->ValueStr()) +
                                  " is read: " + WhatNode(*next) + " on line " +
                                  std::to_string(next->Row()) + " ends the text");
            }
            const auto [at, inserted] = lineOfKey.try_emplace(key, e->Row());
            if (!inserted) {
                Add(e->Row(), key + ": replaces the text on line " + std::to_string(at->second) +
                                  " (the later element wins)");
                at->second = e->Row();
            }
        }
    }

    /// Without a byte-order mark or a declared UTF-8 encoding, TinyXML reads the bytes as they
    /// are and writes a character reference as one byte: right for a Latin-1 file, wrong for a
    /// UTF-8 one. Said for each text that UTF-8 would read otherwise.
    void CompareWithUtf8(const TiXmlElement& root) {
        XmlDocument utf8;
        const TiXmlElement* other = Parse(utf8, bytes, TIXML_ENCODING_UTF8);
        if (other == nullptr) {
            return;
        }
        CompareTexts(root, ElementTexts(*other), [](const std::string& key, const auto&) {
            return key +
                   ": its character references are read as single bytes, not as UTF-8 (the "
                   "file has no byte-order mark and does not declare encoding=\"UTF-8\"): "
                   "declare it, or write the characters themselves";
        });
    }

    /// TinyXML condenses white space in texts: leading and trailing white space goes, and a
    /// run of it (line ends too) becomes one space.
    void CompareWithWhiteSpaceKept(const TiXmlElement& root) {
        const bool condensed = TiXmlBase::IsWhiteSpaceCondensed();
        TiXmlBase::SetCondenseWhiteSpace(false);
        XmlDocument kept;
        const TiXmlElement* other = nullptr;
        try {
            other = Parse(kept, bytes, TIXML_ENCODING_UNKNOWN);
        } catch (...) {
            TiXmlBase::SetCondenseWhiteSpace(condensed);
            throw;
        }
        TiXmlBase::SetCondenseWhiteSpace(condensed);
        if (other == nullptr) {
            return;
        }
        CompareTexts(root, ElementTexts(*other),
                     [](const std::string& key, const std::optional<std::string>& read) {
                         return key +
                                (read ? ": its white space is condensed: it reads " + Quoted(*read)
                                      : ": white space only, which gives no entry") +
                                " (write &#32; or &#10; where a space or a line end must stay)";
                     });
    }

    /// One finding per element whose text `other` reads otherwise than the client does.
    template <class Describe>
    void CompareTexts(const TiXmlElement& root,
                      const std::vector<std::optional<std::string>>& otherTexts,
                      Describe describe) {
        const std::vector<std::optional<std::string>> texts = ElementTexts(root);
        if (texts.size() != otherTexts.size()) {
            return;  // read as another structure: the texts cannot be paired
        }
        std::size_t i = 0;
        for (const TiXmlElement* e = root.FirstChildElement(); e != nullptr;
             e = e->NextSiblingElement(), ++i) {
            if (otherTexts[i] && texts[i] != otherTexts[i]) {
                Add(e->Row(), describe(e->ValueStr(), texts[i]));
            }
        }
    }

    /// What only the bytes show: a NUL byte, and "&" that starts no entity TinyXML knows or a
    /// character reference to no character. Markup that holds "&" as it is (comments, CDATA
    /// sections, processing instructions) is skipped. Lines are counted as the loader counts
    /// them (CR LF and a lone CR end one line).
    void ScanBytes() {
        int line = 1;
        std::size_t i = 0;
        const auto skipPast = [&](std::string_view end) {
            const std::size_t at = bytes.find(end, i);
            const std::size_t stop = at == std::string_view::npos ? bytes.size() : at + end.size();
            for (; i < stop; ++i) {
                line += IsLineEnd(i) ? 1 : 0;
            }
        };
        while (i < bytes.size()) {
            const char c = bytes[i];
            if (c == '\0') {
                Add(line, "a NUL byte: the loader reads nothing after it");
                return;
            }
            if (c == '<' && bytes.substr(i, 4) == "<!--") {
                skipPast("-->");
            } else if (c == '<' && bytes.substr(i, 9) == "<![CDATA[") {
                skipPast("]]>");
            } else if (c == '<' && bytes.substr(i, 2) == "<?") {
                skipPast("?>");
            } else {
                if (c == '&') {
                    CheckReference(line, i);
                }
                line += IsLineEnd(i) ? 1 : 0;
                ++i;
            }
        }
    }

    bool IsLineEnd(std::size_t i) const {
        return bytes[i] == '\n' ||
               (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n'));
    }

    void CheckReference(int line, std::size_t at) {
        const std::string_view rest = bytes.substr(at);
        for (const std::string_view known : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
            if (rest.starts_with(known)) {
                return;
            }
        }
        if (rest.starts_with("&#")) {
            CheckCharacterReference(line, rest);
            return;
        }
        const std::size_t shown = std::min(rest.find_first_of(" \t\r\n<;"), std::size_t{12});
        const std::string_view word =
            rest.substr(0, shown < rest.size() && rest[shown] == ';' ? shown + 1 : shown);
        Add(line, Quoted(word) +
                      " starts no entity TinyXML knows: the \"&\" is dropped (write &amp; for "
                      "\"&\"; it knows &amp; &lt; &gt; &quot; &apos; and &#...; only)");
    }

    /// A malformed reference ("&#12" without ";") fails the parse, which says so; one to no
    /// character gives bytes no text should hold.
    void CheckCharacterReference(int line, std::string_view rest) {
        const bool hex = rest.size() > 2 && rest[2] == 'x';
        const std::size_t digitsAt = hex ? 3 : 2;
        const std::size_t end = rest.find(';', digitsAt);
        if (end == std::string_view::npos || end > 16) {
            return;
        }
        std::uint64_t value = 0;
        for (const char d : rest.substr(digitsAt, end - digitsAt)) {
            const int digit = d >= '0' && d <= '9'          ? d - '0'
                              : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                              : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                            : -1;
            if (digit < 0) {
                return;
            }
            value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
        }
        if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
            Add(line, Quoted(rest.substr(0, end + 1)) +
                          " names no character a text may hold (NUL, a surrogate or beyond "
                          "U+10FFFF): the text gets bytes that are not UTF-8 or ends early "
                          "where it is shown");
        }
    }

    std::string_view bytes;
    TableReport report;
};

}  // namespace

TableReport CheckTableText(std::string_view bytes) {
    return Checker(bytes).Run(true);
}

std::string TableSource(const std::string& table) {
    const std::string file = StringTableFileName(table);
    return PackedResourceLibrary::Instance().IsLoadFromArchive() ? "archive member " + file : file;
}

bool ReadTableFile(const std::string& table, std::string& bytes, std::string& error) {
    const std::string file = os::ToNativeFileName(StringTableFileName(table));
    const PackedResourceLibrary& packed = PackedResourceLibrary::Instance();
    if (!packed.IsLoadFromArchive()) {
        return satchel::ReadWholeFile(file, bytes, error, xml_limits::kMaxFileLength);
    }
    std::uint32_t size = 0;
    const ArchiveBuffer buffer{
        packed, packed.LoadFileData(file.c_str(), &size, PackedResourceLibrary::kLoadWholeFile)};
    if (buffer.data == nullptr) {
        error = TableSource(table) + ": cannot be read from the archive";
        return false;
    }
    bytes.assign(static_cast<const char*>(buffer.data), size);
    return true;
}

std::string WhyUnread(const std::string& table) {
    std::string bytes;
    std::string error;
    if (!ReadTableFile(table, bytes, error)) {
        return error;
    }
    const TableReport report = Checker(bytes).Run(false);
    if (report.readable) {
        return {};
    }
    // Unread, the file has one finding: why.
    const Finding& last = report.findings.back();
    return TableSource(table) + (last.line > 0 ? ":" + std::to_string(last.line) : "") + ": " +
           last.text;
}

std::string ArchiveNotRead() {
    const char* archive = std::getenv("SATCHEL_ARCHIVE");
    if (archive == nullptr || *archive == '\0' || PackedResourceLibrary::Instance().IsLoaded()) {
        return {};
    }
    return "SATCHEL_ARCHIVE names " + std::string(archive) + ", but the packed resource library " +
           os::SharedLibraryFileName("Satchel") +
           " was not loaded (it is looked for beside the program and in its prefix's library "
           "folder): the string tables are read from loose files";
}

}  // namespace text_check
