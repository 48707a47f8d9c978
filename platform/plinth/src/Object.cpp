#include "plinth/Object.h"

#include <algorithm>
#include <cctype>

#include "plinth/String.h"

namespace os {

Object::Object() = default;
Object::~Object() = default;

String::String() = default;
String::String(const String& other) = default;
String::String(const std::string& text) : std::string(text) {}
String::String(const char* text) : std::string(text != nullptr ? text : "") {}
String::~String() = default;

String& String::operator=(const String& other) = default;

String& String::operator=(const std::string& text) {
    std::string::operator=(text);
    return *this;
}

String& String::ToUpper() {
    std::transform(begin(), end(), begin(), [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return *this;
}

const String& GetEmptyString() {
    // Never destroyed: other modules keep references to it until the process ends.
    static const String* empty = new String;
    return *empty;
}

}  // namespace os
