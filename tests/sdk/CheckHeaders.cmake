# Compiles every header of an installed SDK on its own, with only the SDK's include directory
# (<prefix>/include/PyrMiniMap)
# and the standard library, and fails when one does not compile (warnings are errors) or when
# one reaches any file outside the SDK and the standard library (a third-party or private
# header that happens to be on the system).
#
#   cmake -DPREFIX=<sdk prefix> -DWORK=<scratch dir> -DCXX=<compiler> "-DCXX_FLAGS=<list>"
#         -P CheckHeaders.cmake
#
# "The standard library" is what a translation unit that includes every C++20 standard header
# reaches, measured with the same compiler and flags.
foreach(var PREFIX WORK CXX)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "CheckHeaders.cmake needs -D${var}=...")
    endif()
endforeach()

set(include_dir ${PREFIX}/include/PyrMiniMap)
file(REAL_PATH ${include_dir} include_dir)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# Dependencies of a compiled file, as absolute real paths.
function(read_dependencies depfile out)
    file(READ ${depfile} text)
    string(REPLACE "\\\n" " " text "${text}")
    # A space inside a path is written "\ "; it is kept through the split on whitespace.
    string(REPLACE "\\ " "<space>" text "${text}")
    string(REGEX REPLACE "^[^:]*:" "" text "${text}")
    string(REGEX REPLACE "[ \t\r\n]+" ";" text "${text}")
    set(paths)
    foreach(path IN LISTS text)
        if(path STREQUAL "")
            continue()
        endif()
        string(REPLACE "<space>" " " path "${path}")
        file(REAL_PATH "${path}" real BASE_DIRECTORY "${WORK}")
        list(APPEND paths ${real})
    endforeach()
    set(${out} ${paths} PARENT_SCOPE)
endfunction()

function(compile source depfile)
    execute_process(
        COMMAND ${CXX} ${CXX_FLAGS} -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
                -I${include_dir} -MD -MF ${depfile} ${source}
        WORKING_DIRECTORY ${WORK}
        RESULT_VARIABLE status
        OUTPUT_VARIABLE output ERROR_VARIABLE output)
    set(compile_status ${status} PARENT_SCOPE)
    set(compile_output "${output}" PARENT_SCOPE)
endfunction()

set(standard_headers
    algorithm any array atomic barrier bit bitset cassert cctype cerrno cfloat charconv chrono
    cinttypes climits clocale cmath codecvt compare complex concepts condition_variable coroutine
    csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cwchar cwctype deque
    exception execution filesystem format forward_list fstream functional future
    initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale map
    memory memory_resource mutex new numbers numeric optional ostream queue random ranges ratio
    regex scoped_allocator semaphore set shared_mutex source_location span sstream stack
    stdexcept stop_token streambuf string string_view syncstream system_error thread tuple
    type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector
    version)
set(standard_source ${WORK}/standard.cpp)
set(text "")
foreach(header IN LISTS standard_headers)
    string(APPEND text "#if __has_include(<${header}>)\n#include <${header}>\n#endif\n")
endforeach()
file(WRITE ${standard_source} "${text}")
compile(${standard_source} ${WORK}/standard.d)
if(NOT compile_status EQUAL 0)
    message(FATAL_ERROR "the standard headers alone do not compile:\n${compile_output}")
endif()
read_dependencies(${WORK}/standard.d standard_files)

file(GLOB_RECURSE headers RELATIVE ${include_dir} ${include_dir}/*.h)
list(SORT headers)
if(NOT headers)
    message(FATAL_ERROR "no headers under ${include_dir}")
endif()

set(failures "")
set(index 0)
foreach(header IN LISTS headers)
    math(EXPR index "${index} + 1")
    set(source ${WORK}/header${index}.cpp)
    file(WRITE ${source} "#include \"${header}\"\n")
    compile(${source} ${WORK}/header${index}.d)
    if(NOT compile_status EQUAL 0)
        string(APPEND failures "${header} does not compile alone:\n${compile_output}\n")
        continue()
    endif()
    read_dependencies(${WORK}/header${index}.d files)
    set(outside)
    foreach(file IN LISTS files)
        if(file STREQUAL source)
            continue()
        endif()
        string(FIND "${file}" "${include_dir}/" at)
        if(at EQUAL 0)
            continue()
        endif()
        list(FIND standard_files ${file} known)
        if(known EQUAL -1)
            list(APPEND outside ${file})
        endif()
    endforeach()
    if(outside)
        list(GET outside 0 first)
        list(LENGTH outside more)
        math(EXPR more "${more} - 1")
        string(APPEND failures "${header} reaches ${first} (and ${more} more files), "
                               "outside the SDK and the standard library\n")
    endif()
endforeach()

list(LENGTH headers count)
if(failures)
    message(FATAL_ERROR "${failures}")
endif()
message(STATUS "${count} installed headers compile alone with the SDK and the standard library")
