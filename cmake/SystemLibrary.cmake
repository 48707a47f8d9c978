# pyr_system_library(<target> <prefix> <header> <name> [<definition>...]): the imported target
# <target> of a library installed on the system, found by one of its headers (cached as
# <prefix>_INCLUDE_DIR) and its name (cached as <prefix>_LIBRARY); the definitions are
# required of everything that includes its headers. GLOBAL, so that the tests can link it too.
# Nothing is done when the target exists already.
function(pyr_system_library target prefix header name)
    find_path(${prefix}_INCLUDE_DIR ${header} REQUIRED)
    find_library(${prefix}_LIBRARY NAMES ${name} REQUIRED)
    if(TARGET ${target})
        return()
    endif()
    add_library(${target} UNKNOWN IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES
        IMPORTED_LOCATION ${${prefix}_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${${prefix}_INCLUDE_DIR})
    if(ARGN)
        set_target_properties(${target} PROPERTIES INTERFACE_COMPILE_DEFINITIONS "${ARGN}")
    endif()
endfunction()
