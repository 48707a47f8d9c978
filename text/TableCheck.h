// TableCheck: what the client reads differently from what a string table file says.
//
// The loader stores what TinyXML delivers (see StringTable.h), and TinyXML's defaults surprise
// authors: without a byte-order mark or a declared UTF-8 encoding, a character reference above
// U+00FF is cut to one byte; white space in a text is condensed; an "&" that starts no entity
// is dropped; only the first node of an element is its text; a later element with the same
// name replaces the earlier one. The check reads the file as the client does and says, line by
// line, where the result will differ from what the author wrote, so that a table can be
// checked before it ships (`pyr-strtable check`).
//
// The check parses the text three times (as the client does, as UTF-8, with white space kept)
// and switches TinyXML's process-wide white-space setting for the third: CheckTableText must
// not run while another thread parses XML.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace text_check {

struct Finding {
    /// The line (from 1) the finding is about; 0 for the file as a whole.
    int line = 0;
    std::string text;

    bool operator==(const Finding&) const = default;
};

struct TableReport {
    /// Whether the client reads any entry from the file at all.
    bool readable = false;
    /// In line order; empty when the client reads every text as written.
    std::vector<Finding> findings;
};

/// Checks the bytes of a table file (as read from disk or from the archive).
TableReport CheckTableText(std::string_view bytes);

/// Where the client reads the table `table` from, for messages: "archive member
/// config/StringTable/TABLE.xml" when the packed resource library says the archive is the
/// source, else the file's path under the configuration directory.
std::string TableSource(const std::string& table);

/// The bytes of the table's file, read from where the client reads it (a regular file only).
/// False, with the reason and the source in `error`, when it cannot be read.
bool ReadTableFile(const std::string& table, std::string& bytes, std::string& error);

/// What a host says of a table the client reads nothing from, or an empty text when it reads
/// some of it: "cannot open PATH: reason", "PATH:LINE: not read: TinyXML: ...". One parse, as
/// the client's, and TinyXML's settings untouched: safe beside other threads that parse.
std::string WhyUnread(const std::string& table);

/// What a host or tool says when SATCHEL_ARCHIVE names an archive but the packed resource
/// library is not loaded (it is looked for beside the program and in its prefix's library
/// folder: a package split that moved the link libSatchel.so into a development package
/// removes it): the tables then come from loose files, and nothing else says so. Empty
/// otherwise.
std::string ArchiveNotRead();

}  // namespace text_check
