#include "net/SafeFormat.h"

#include <exception>
#include <locale>
#include <utility>

#include <boost/format.hpp>

#include "plinth/Log.h"

struct SafeFormat::Impl {
    // Constructed without a format string: parsing is a guarded step of its own, so a
    // malformed string cannot keep the object from existing.
    boost::format format{static_cast<const char*>(nullptr), std::locale::classic()};
};

namespace {

/// Runs one step of a SafeFormat. A std::exception becomes a level-less log line and a call
/// stack, and the step counts as not done.
template <class Step>
void SafeCall(Step&& step) {
    try {
        std::forward<Step>(step)();
    } catch (const std::exception& e) {
        const char* text = e.what();
        os::WriteLog(text != nullptr ? text : "os.format.SafeCall() throw exception");
        os::ShowCallStack();
    }
}

}  // namespace

SafeFormat::SafeFormat(const char* fmt) : impl(std::make_unique<Impl>()) {
    if (fmt != nullptr) {
        SafeCall([&] { impl->format.parse(fmt); });
    }
}

SafeFormat::~SafeFormat() = default;

SafeFormat& SafeFormat::operator%(const char* value) {
    if (value != nullptr) {
        SafeCall([&] { impl->format % value; });
    }
    return *this;
}

SafeFormat& SafeFormat::operator%(const std::string& value) {
    SafeCall([&] { impl->format % value; });
    return *this;
}

SafeFormat& SafeFormat::operator%(const unsigned short& value) {
    SafeCall([&] { impl->format % value; });
    return *this;
}

SafeFormat& SafeFormat::operator%(int value) {
    SafeCall([&] { impl->format % value; });
    return *this;
}

SafeFormat& SafeFormat::operator%(unsigned value) {
    SafeCall([&] { impl->format % value; });
    return *this;
}

SafeFormat& SafeFormat::operator%(long long value) {
    SafeCall([&] { impl->format % value; });
    return *this;
}

SafeFormat& SafeFormat::operator%(unsigned long long value) {
    SafeCall([&] { impl->format % value; });
    return *this;
}

std::string SafeFormat::str() const {
    std::string text;
    SafeCall([&] { text = impl->format.str(); });
    return text;
}
