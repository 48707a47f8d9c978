// XmlLimits: the bounds a document must keep before TinyXML may parse it.
//
// TinyXML 2.6.2 parses an element inside another by calling itself, one level of the
// machine stack per level of nesting, so a document nested some ten thousand levels deep runs
// any thread out of stack; every element it parses also walks up to the document (a cost that
// grows with the depth), and it compares each new attribute with every earlier one of the same
// element (a cost that grows with the square of their number). CheckXmlLimits walks the text
// the way TinyXML reads it, without recursion and without building anything, and says whether
// the parse would go beyond these bounds. String tables are two levels deep and carry no
// attributes, so the bounds are far beyond any real table.
//
// Private to the text library, like XmlDocument.h.
#pragma once

#include <cstddef>
#include <string>

#include <tinyxml.h>

namespace xml_limits {

/// Bytes of a table file read from disk. A file is read whole and TinyXML's document takes
/// about eight times its text: a file beyond this is refused unread, as an archive member
/// beyond the packed resource library's default limit is (a 1 GiB sparse file once took 1 GB
/// and seconds, to fail anyway).
inline constexpr long kMaxFileLength = 64L << 20;

/// Elements nested in one another, the root counting as level 1 (a string table has 2).
/// TinyXML needs about 0.2 KiB of stack per level, so 64 levels (about 14 KiB) fit a 64 KiB
/// thread stack.
inline constexpr std::size_t kMaxDepth = 64;
/// Attributes of one element.
inline constexpr std::size_t kMaxAttributes = 64;
/// Nodes (elements, texts, comments, CDATA sections, declarations, unknown tags) and
/// attributes of the whole document together: each costs TinyXML an allocation of about
/// 100 to 200 bytes, so this bounds the parsed document to well under a gigabyte.
inline constexpr std::size_t kMaxItems = std::size_t{1} << 22;  // 4,194,304

enum class Breach {
    kNone,
    kDepth,       ///< an element deeper than kMaxDepth
    kAttributes,  ///< an element with more than kMaxAttributes attributes
    kItems,       ///< more than kMaxItems nodes and attributes
};

/// What the walk found. The counts cover the text up to the breach, or up to the point where
/// TinyXML's parse would stop (the end, or the first fault in the text).
struct Check {
    Breach breach = Breach::kNone;
    std::size_t offset = 0;         ///< where the breach is, in bytes from the start
    std::size_t maxDepth = 0;       ///< deepest element nesting seen
    std::size_t maxAttributes = 0;  ///< most attributes on one element
    std::size_t items = 0;          ///< nodes and attributes seen
    std::size_t elements = 0;       ///< elements seen, the root included
    bool complete = false;          ///< walked to the end without finding a fault
};

/// Walks `text`, which ends in at least four NUL bytes (the parse buffer's padding), as
/// TinyXML's Parse(text, nullptr, encoding) reads it: the same encoding detection (byte-order
/// mark, the first declaration), the same multi-byte steps in UTF-8, the same tokens. Stops at
/// the first breach. A text TinyXML would refuse anyway may be walked only up to its fault.
/// Never allocates; its cost is one pass over the text.
Check CheckXmlLimits(const char* text, TiXmlEncoding encoding);

/// The breach in words: "elements nested deeper than 64 levels", say. Empty for kNone.
std::string DescribeBreach(Breach breach);

}  // namespace xml_limits
