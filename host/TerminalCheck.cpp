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
    if (setupterm(nullptr, STDOUT_FILENO, &status) == OK) {
        del_curterm(cur_term);
        return true;
    }
    const char* type = std::getenv("TERM");
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
