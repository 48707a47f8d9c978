// os::String: the core library's string, a std::string behind its own virtual-table pointer.
// It is thrown by value by the typed container queries.
#pragma once

#include <string>

#include "plinth/Export.h"

namespace os {

class PLINTH_API String : public std::string {
public:
    String();
    String(const String& other);
    String(const std::string& text);  // NOLINT(google-explicit-constructor)
    String(const char* text);         // NOLINT(google-explicit-constructor): null gives ""
    virtual ~String();

    String& operator=(const String& other);
    String& operator=(const std::string& text);

    /// Upper-cases the ASCII letters in place; other bytes (GBK, UTF-8) are left as they are.
    String& ToUpper();
};

/// One shared empty string for the life of the process. Never destroyed.
PLINTH_API const String& GetEmptyString();

}  // namespace os
