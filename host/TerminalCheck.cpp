// Whether the map can be drawn on the terminal, asked of the terminal database directly. Kept
// apart from the view: <term.h> defines a macro for every capability name (lines, columns,
// bell, ...).
#include <curses.h>
#include <term.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/CursesView.h"

namespace host {

bool CanDrawMap(std::string& why) {
    int status = 0;
    const char* type = std::getenv("TERM");
    if (setupterm(nullptr, STDOUT_FILENO, &status) == OK) {
        // A type the database knows may still be one that writes line after line ("dumb",
        // a printing terminal): the map needs to put the cursor anywhere.
        const char* move = cursor_address;
        const bool addressable = move != nullptr && move != reinterpret_cast<char*>(-1);
        del_curterm(cur_term);
        if (!addressable) {
            why = "the terminal type \"" + std::string(type != nullptr ? type : "") +
                  "\" cannot move the cursor";
        }
        return addressable;
    }
    if (type == nullptr || *type == '\0') {
        why = "TERM is not set";
    } else if (status == -1) {
        why = "the terminal database cannot be found";
    } else {
        why = "the terminal type \"" + std::string(type) + "\" is unknown";
    }
    return false;
}

}  // namespace host
