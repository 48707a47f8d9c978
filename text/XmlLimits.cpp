#include "text/XmlLimits.h"

#include <cstring>
#include <string>

namespace xml_limits {
namespace {

// TinyXML's view of bytes, which the walk must share exactly: a byte it takes for part of a
// name, a space or a multi-byte character decides where a tag or a text ends. Every byte from
// 127 up counts as a letter.
enum : unsigned char { kWhite = 1, kAlpha = 2, kNameChar = 4 };

struct ByteClasses {
    unsigned char of[256] = {};
    constexpr ByteClasses() {
        for (int c = 0; c < 256; ++c) {
            const bool alpha = c >= 127 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            const bool digit = c >= '0' && c <= '9';
            const bool white =
                c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
            of[c] = static_cast<unsigned char>(
                (white ? kWhite : 0) | (alpha ? kAlpha : 0) |
                (alpha || digit || c == '_' || c == '-' || c == '.' || c == ':' ? kNameChar : 0));
        }
    }
};
constexpr ByteClasses kClasses;

bool IsWhite(unsigned char c) {
    return (kClasses.of[c] & kWhite) != 0;
}
bool IsAlpha(unsigned char c) {
    return (kClasses.of[c] & kAlpha) != 0;
}
bool IsNameChar(unsigned char c) {
    return (kClasses.of[c] & kNameChar) != 0;
}
bool IsHexDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
unsigned char Lower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
// The length TinyXML gives a UTF-8 sequence by its lead byte (1 for anything invalid).
int Utf8Length(unsigned char lead) {
    if (lead < 0xC2) {
        return 1;
    }
    if (lead < 0xE0) {
        return 2;
    }
    if (lead < 0xF0) {
        return 3;
    }
    return lead < 0xF5 ? 4 : 1;
}

using Byte = const unsigned char*;

class Walker {
public:
    Walker(const char* text, TiXmlEncoding encoding)
        : start(reinterpret_cast<Byte>(text)),
          finish(start + std::strlen(text)),
          encoding(encoding) {}

    Check Run() {
        Byte p = start;
        if (encoding == TIXML_ENCODING_UNKNOWN && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            encoding = TIXML_ENCODING_UTF8;
        }
        // The document level: nodes one after another until the text ends or something that
        // is no tag comes; a declaration that fails ends the parse there without a fault.
        for (;;) {
            p = SkipWhite(p);
            if (p == nullptr || *p != '<') {
                check.complete = true;
                return check;
            }
            if (IsDeclaration(p)) {
                if (!Count(p)) {
                    return check;
                }
                char value[8];
                p = Declaration(p, value);
                if (p == nullptr) {
                    check.complete = true;
                    return check;
                }
                if (encoding == TIXML_ENCODING_UNKNOWN) {
                    const Byte text = reinterpret_cast<Byte>(value);
                    encoding = value[0] == 0 || Equal(text, "utf-8") || Equal(text, "utf8")
                                   ? TIXML_ENCODING_UTF8
                                   : TIXML_ENCODING_LEGACY;
                }
                continue;
            }
            p = Node(p);
            if (p == nullptr) {
                return check;
            }
        }
    }

private:
    // Counts one node or attribute at `at`; false once there are too many.
    bool Count(Byte at) {
        if (++check.items > kMaxItems) {
            Stop(Breach::kItems, at);
            return false;
        }
        return true;
    }
    // Keeps `count` in `most` when it is the largest so far; false, with the scan stopped at
    // `at`, once it passes `limit`.
    bool Within(std::size_t count, std::size_t& most, std::size_t limit, xml_limits::Breach what,
                Byte at) {
        if (count > most) {
            most = count;
            if (count > limit) {
                Stop(what, at);
                return false;
            }
        }
        return true;
    }

    void Stop(xml_limits::Breach what, Byte at) {
        check.breach = what;
        check.offset = at != nullptr ? static_cast<std::size_t>(at - start) : 0;
    }

    // TinyXML's SkipWhiteSpace: null at the end of the text. In UTF-8 the byte-order mark and
    // the two non-characters EF BF BE and EF BF BF are skipped as space.
    Byte SkipWhite(Byte p) const {
        if (p == nullptr || *p == 0) {
            return nullptr;
        }
        for (;;) {
            if (encoding == TIXML_ENCODING_UTF8 && p[0] == 0xEF &&
                ((p[1] == 0xBB && p[2] == 0xBF) ||
                 (p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)))) {
                p += 3;
            } else if (IsWhite(*p)) {
                ++p;
            } else {
                return p;
            }
        }
    }

    // TinyXML's StringEqual for a lower-case ASCII tag: `p` starts with it, letters in any case.
    static bool Equal(Byte p, const char* tag) {
        for (; *tag != 0; ++p, ++tag) {
            if (*p == 0 || Lower(*p) != static_cast<unsigned char>(*tag)) {
                return false;
            }
        }
        return true;
    }
    static bool Starts(Byte p, const char* tag) {
        for (; *tag != 0; ++p, ++tag) {
            if (*p != static_cast<unsigned char>(*tag)) {
                return false;
            }
        }
        return true;
    }
    static bool IsDeclaration(Byte p) { return p[1] == '?' && Equal(p, "<?xml"); }

    // TinyXML's ReadName: null unless a name starts at `p`.
    static Byte Name(Byte p) {
        if (!IsAlpha(*p) && *p != '_') {
            return nullptr;
        }
        while (*p != 0 && IsNameChar(*p)) {
            ++p;
        }
        return p;
    }

    // TinyXML's GetChar: one character of a text or attribute value, entities included. Null
    // where TinyXML gives up (a numeric entity without its ';' or with a wrong digit). A
    // numeric entity runs to the first ';' and is checked only back to the nearest '#' or
    // 'x', so it may swallow anything before that, tags included. `decoded` gets the byte a
    // one-byte character stands for (0 for longer ones).
    Byte Char(Byte p, unsigned char& decoded) const {
        decoded = 0;
        const int length = encoding == TIXML_ENCODING_UTF8 ? Utf8Length(*p) : 1;
        if (length > 1) {
            // Steps over the whole sequence even when a NUL comes inside it: the parse
            // buffer's padding keeps that in bounds.
            return p + length;
        }
        if (*p != '&') {
            decoded = *p;
            return p + 1;
        }
        if (p[1] == '#' && p[2] != 0) {
            const bool hex = p[2] == 'x';
            if (hex && p[3] == 0) {
                return nullptr;
            }
            Byte end = reinterpret_cast<Byte>(
                std::strchr(reinterpret_cast<const char*>(p + (hex ? 3 : 2)), ';'));
            if (end == nullptr) {
                return nullptr;
            }
            unsigned long value = 0;
            unsigned long scale = 1;
            for (Byte q = end - 1; *q != (hex ? 'x' : '#'); --q) {
                if (hex ? !IsHexDigit(*q) : !(*q >= '0' && *q <= '9')) {
                    return nullptr;
                }
                const unsigned digit = *q <= '9' ? *q - '0' : (Lower(*q) - 'a' + 10);
                value += scale * digit;
                scale *= hex ? 16 : 10;
            }
            decoded = static_cast<unsigned char>(value);
            return end + 1;
        }
        static const struct {
            const char* text;
            unsigned char byte;
        } kEntities[] = {
            {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        for (const auto& entity : kEntities) {
            if (Starts(p, entity.text)) {
                decoded = entity.byte;
                return p + std::strlen(entity.text);
            }
        }
        decoded = '&';
        return p + 1;
    }

    // TinyXML's ReadText up to and past `end`; null when the text ends first or right after
    // `end`. `trim` skips leading space (element texts). The first bytes of the value go to
    // `value` (up to its size - 1, NUL-terminated; a decoded NUL ends it), when given.
    Byte Text(Byte p, unsigned char end, bool trim, char* value = nullptr,
              std::size_t size = 0) const {
        std::size_t used = 0;
        bool open = value != nullptr;
        if (trim) {
            p = SkipWhite(p);
        }
        if (p != nullptr && value == nullptr && p < finish) {
            // Most texts end at the first `end`: when no entity comes before it and no
            // multi-byte character could reach over it from the last three bytes, the
            // character-by-character reading below would stop there too.
            const void* found = std::memchr(p, end, static_cast<std::size_t>(finish - p));
            if (found != nullptr) {
                const Byte stop = static_cast<Byte>(found);
                const auto span = static_cast<std::size_t>(stop - p);
                const bool plain =
                    std::memchr(p, '&', span) == nullptr &&
                    (encoding != TIXML_ENCODING_UTF8 ||
                     ((span < 1 || stop[-1] < 0xC2) && (span < 2 || stop[-2] < 0xC2) &&
                      (span < 3 || stop[-3] < 0xC2)));
                if (plain) {
                    p = stop;
                }
            }
        }
        while (p != nullptr && *p != 0 && *p != end) {
            if (trim && IsWhite(*p)) {
                ++p;
                continue;
            }
            unsigned char decoded = 0;
            p = Char(p, decoded);
            if (open) {
                if (decoded == 0 || used + 1 >= size) {
                    open = false;
                } else {
                    value[used++] = static_cast<char>(decoded);
                }
            }
        }
        if (value != nullptr) {
            value[used] = 0;
        }
        if (p == nullptr || *p == 0) {
            return nullptr;
        }
        ++p;
        return *p != 0 ? p : nullptr;
    }

    // TinyXML's TiXmlAttribute::Parse from `p`; null where it fails.
    Byte Attribute(Byte p, char* value = nullptr, std::size_t size = 0) const {
        p = SkipWhite(p);
        if (p == nullptr) {
            return nullptr;
        }
        p = Name(p);
        if (p == nullptr || *p == 0) {
            return nullptr;
        }
        p = SkipWhite(p);
        if (p == nullptr || *p != '=') {
            return nullptr;
        }
        p = SkipWhite(p + 1);
        if (p == nullptr) {
            return nullptr;
        }
        if (*p == '\'' || *p == '"') {
            return Text(p + 1, *p, false, value, size);
        }
        std::size_t used = 0;
        while (*p != 0 && !IsWhite(*p) && *p != '/' && *p != '>') {
            if (*p == '\'' || *p == '"') {
                return nullptr;
            }
            if (value != nullptr && used + 1 < size) {
                value[used++] = static_cast<char>(*p);
            }
            ++p;
        }
        if (value != nullptr) {
            value[used] = 0;
        }
        return p;
    }

    // TinyXML's TiXmlDeclaration::Parse from "<?xml"; `encodingValue` (8 bytes) gets the start
    // of the last encoding attribute's value.
    Byte Declaration(Byte p, char* encodingValue) const {
        encodingValue[0] = 0;
        p += 5;
        while (p != nullptr && *p != 0) {
            if (*p == '>') {
                return p + 1;
            }
            p = SkipWhite(p);
            if (p == nullptr) {
                return nullptr;
            }
            if (Equal(p, "version") || Equal(p, "standalone")) {
                p = Attribute(p);
            } else if (Equal(p, "encoding")) {
                p = Attribute(p, encodingValue, 8);
            } else {
                while (*p != 0 && *p != '>' && !IsWhite(*p)) {
                    ++p;
                }
            }
        }
        return nullptr;
    }

    // One node of an element's content or of the document, from its '<' (no end tag):
    // TinyXML's Identify and the node's Parse. Elements nest without recursion: `depth` counts
    // TinyXML's frames. Returns where the node ends (at the text's end for an unterminated
    // comment, CDATA section or unknown tag, as TinyXML leaves it), or null where TinyXML's
    // parse fails or a limit is passed.
    Byte Node(Byte p) {
        std::size_t depth = 0;
        for (;;) {
            if (!Count(p)) {
                return nullptr;
            }
            if (IsDeclaration(p)) {
                char ignored[8];
                p = Declaration(p, ignored);
            } else if (p[1] == '!' && Starts(p, "<!--")) {
                p = Past(p + 4, "-->");
            } else if (p[1] == '!' && Starts(p, "<![CDATA[")) {
                p = Past(p + 9, "]]>");
            } else if (!(IsAlpha(p[1]) || p[1] == '_')) {
                p = Past(p + 1, ">");  // an unknown tag runs to the next '>'
            } else {
                if (!Within(++depth, check.maxDepth, kMaxDepth, Breach::kDepth, p)) {
                    return nullptr;
                }
                ++check.elements;
                p = StartTag(p);
                if (p == nullptr) {
                    return nullptr;
                }
                if (*p == '/') {
                    --depth;
                    p += 2;
                } else {
                    ++p;  // past '>': the content follows
                }
            }
            // Inside the element of level `depth` (none at 0): its content goes on.
            if (p == nullptr || depth == 0) {
                return p;
            }
            if (!Content(p, depth)) {
                return p;
            }
        }
    }

    // Past the first `end` from `p`, or at the text's end when there is none.
    static Byte Past(Byte p, const char* end) {
        const char* found = std::strstr(reinterpret_cast<const char*>(p), end);
        return found != nullptr ? reinterpret_cast<Byte>(found) + std::strlen(end)
                                : p + std::strlen(reinterpret_cast<const char*>(p));
    }

    // From '<' of a start tag to its '>' or the '/' of "/>"; null where TinyXML fails or a
    // limit is passed.
    Byte StartTag(Byte p) {
        p = SkipWhite(p + 1);
        p = p != nullptr ? Name(p) : nullptr;
        if (p == nullptr || *p == 0) {
            return nullptr;
        }
        std::size_t attributes = 0;
        for (;;) {
            p = SkipWhite(p);
            if (p == nullptr) {
                return nullptr;
            }
            if (*p == '/') {
                return p[1] == '>' ? p : nullptr;
            }
            if (*p == '>') {
                return p;
            }
            if (!Count(p)) {
                return nullptr;
            }
            if (!Within(++attributes, check.maxAttributes, kMaxAttributes, Breach::kAttributes,
                        p)) {
                return nullptr;
            }
            p = Attribute(p);
            if (p == nullptr || *p == 0) {
                return nullptr;
            }
        }
    }

    // TinyXML's ReadValue from `p`, inside the element of level `depth`: texts and end tags
    // are taken here, and after an end tag the content of the element around it goes on.
    // True with `p` at the '<' of a child node; false once the outermost element closed
    // (`depth` 0, `p` past its end tag) or where TinyXML's parse fails (`p` null).
    bool Content(Byte& p, std::size_t& depth) {
        for (;;) {
            p = SkipWhite(p);
            if (p == nullptr) {
                return false;
            }
            if (*p != '<') {
                if (!Count(p)) {
                    p = nullptr;
                    return false;
                }
                p = Text(p, '<', true);
                if (p == nullptr) {
                    return false;
                }
                --p;  // TinyXML leaves the '<' to the next node
                continue;
            }
            if (p[1] != '/') {
                return true;
            }
            // An end tag: "</", the name, space, '>'.
            p += 2;
            while (*p != 0 && IsNameChar(*p)) {
                ++p;
            }
            p = SkipWhite(p);
            if (p == nullptr || *p != '>') {
                p = nullptr;
                return false;
            }
            ++p;
            --depth;
            if (depth == 0) {
                return false;
            }
        }
    }

    Byte start;
    Byte finish;  // the first NUL
    TiXmlEncoding encoding;
    Check check;
};

}  // namespace

Check CheckXmlLimits(const char* text, TiXmlEncoding encoding) {
    return Walker(text, encoding).Run();
}

std::string DescribeBreach(Breach breach) {
    switch (breach) {
        case Breach::kDepth:
            return "elements nested deeper than " + std::to_string(kMaxDepth) + " levels";
        case Breach::kAttributes:
            return "an element with more than " + std::to_string(kMaxAttributes) + " attributes";
        case Breach::kItems:
            return "more than " + std::to_string(kMaxItems) + " nodes and attributes";
        case Breach::kNone:
            break;
    }
    return {};
}

}  // namespace xml_limits
