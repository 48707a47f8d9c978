// What an exception caught by a host says, for its log. A host calls plug-in code (lifecycle
// hooks, message handlers) that may throw anything: besides std::exception, the container
// framework's typed queries throw an os::String for a container that must exist and does not.
#pragma once

#include <exception>
#include <string>

#include "plinth/String.h"

namespace pyr {

/// The text of the exception being handled: call only inside a catch block.
inline std::string CaughtText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (const os::String& text) {
        return text;
    } catch (...) {
        return "an exception of unknown type";
    }
}

}  // namespace pyr
