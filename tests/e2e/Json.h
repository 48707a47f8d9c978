// A small strict JSON reader for the client's event lines: enough to check that a line is
// valid JSON and to read its values. Numbers keep their text, so 64-bit ids read back exactly.
#pragma once

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace test::json {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    std::string text;  ///< the number's text, or the string's value
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    /// The member `name` of an object, or a null value.
    const Value& operator[](const std::string& name) const {
        static const Value none;
        for (const auto& [key, value] : members) {
            if (key == name) {
                return value;
            }
        }
        return none;
    }
    std::uint64_t AsUint64() const { return std::stoull(text); }
    std::int64_t AsInt64() const { return std::stoll(text); }
    double AsDouble() const { return std::stod(text); }
};

class Reader {
public:
    explicit Reader(const std::string& text) : s(text) {}

    /// The one value of the text, which must hold nothing else. False on any error.
    bool ReadDocument(Value& out) {
        SkipSpace();
        if (!ReadValue(out, 0)) {
            return false;
        }
        SkipSpace();
        return pos == s.size();
    }

private:
    void SkipSpace() {
        while (pos < s.size() &&
               (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r')) {
            ++pos;
        }
    }
    bool Literal(const char* word) {
        const std::string w = word;
        if (s.compare(pos, w.size(), w) != 0) {
            return false;
        }
        pos += w.size();
        return true;
    }
    bool ReadValue(Value& out, int depth) {
        if (depth > 64 || pos >= s.size()) {
            return false;
        }
        const char c = s[pos];
        if (c == '{') {
            return ReadObject(out, depth);
        }
        if (c == '[') {
            return ReadArray(out, depth);
        }
        if (c == '"') {
            out.type = Value::Type::String;
            return ReadString(out.text);
        }
        if (c == 't' || c == 'f') {
            out.type = Value::Type::Bool;
            out.boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            out.type = Value::Type::Null;
            return Literal("null");
        }
        return ReadNumber(out);
    }
    bool ReadNumber(Value& out) {
        const std::size_t start = pos;
        Take('-');
        // A leading zero stands alone.
        if (!Take('0') && !TakeDigits()) {
            return false;
        }
        if (Take('.') && !TakeDigits()) {
            return false;
        }
        if (Take('e') || Take('E')) {
            if (!Take('+')) {
                Take('-');
            }
            if (!TakeDigits()) {
                return false;
            }
        }
        out.type = Value::Type::Number;
        out.text = s.substr(start, pos - start);
        return true;
    }
    /// Steps over one digit or more; false when none is next.
    bool TakeDigits() {
        const std::size_t start = pos;
        while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
            ++pos;
        }
        return pos > start;
    }
    bool ReadString(std::string& out) {
        ++pos;
        while (pos < s.size()) {
            const auto c = static_cast<unsigned char>(s[pos++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos >= s.size()) {
                return false;
            }
            const char e = s[pos++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    if (pos + 4 > s.size()) {
                        return false;
                    }
                    const unsigned cp =
                        static_cast<unsigned>(std::stoul(s.substr(pos, 4), nullptr, 16));
                    pos += 4;
                    // Code points below 0x100 come back as the byte they stand for.
                    if (cp >= 0x100) {
                        return false;
                    }
                    out += static_cast<char>(cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }
    /// Steps over `c` when it is the next character.
    bool Take(char c) {
        if (pos < s.size() && s[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    /// Reads the items of an array or an object, from its opening bracket to `close`, with
    /// `readItem` for each; commas between them, white space anywhere.
    template <class ReadItem>
    bool ReadItems(char close, ReadItem readItem) {
        ++pos;
        SkipSpace();
        if (Take(close)) {
            return true;
        }
        while (true) {
            SkipSpace();
            if (!readItem()) {
                return false;
            }
            SkipSpace();
            if (!Take(',')) {
                return Take(close);
            }
        }
    }
    bool ReadArray(Value& out, int depth) {
        out.type = Value::Type::Array;
        return ReadItems(']', [&] {
            Value item;
            if (!ReadValue(item, depth + 1)) {
                return false;
            }
            out.items.push_back(std::move(item));
            return true;
        });
    }
    bool ReadObject(Value& out, int depth) {
        out.type = Value::Type::Object;
        return ReadItems('}', [&] {
            std::string key;
            if (pos >= s.size() || s[pos] != '"' || !ReadString(key)) {
                return false;
            }
            SkipSpace();
            if (!Take(':')) {
                return false;
            }
            SkipSpace();
            Value value;
            if (!ReadValue(value, depth + 1)) {
                return false;
            }
            out.members.emplace_back(std::move(key), std::move(value));
            return true;
        });
    }

    const std::string& s;
    std::size_t pos = 0;
};

/// Parses `text`; false when it is not exactly one JSON value.
inline bool Parse(const std::string& text, Value& out) {
    return Reader(text).ReadDocument(out);
}

}  // namespace test::json
