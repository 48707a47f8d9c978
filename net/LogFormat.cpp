#include "net/LogFormat.h"

#include <cstring>

void LogText(int level, const char* text) {
    if (text == nullptr || !os::Log::GetInstance().IsLevelEnable(level)) {
        return;
    }
    try {
        os::WriteLog(level, 0, text, static_cast<int>(std::strlen(text)));
    } catch (const std::exception& e) {
        os::DebugLog(e.what());
    }
}

void LogCaught(const char* where, const char* what) {
    LogFormatted(3, "%s() error : %s", where, what != nullptr ? what : "unknown exception");
}
