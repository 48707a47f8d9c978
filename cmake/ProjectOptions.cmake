# Warnings of our own code: third-party headers come in as SYSTEM includes. They are errors
# through CMake's own setting, so that a packager whose newer compiler warns of something new
# can build anyway (-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF, or --compile-no-warning-as-error).
add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(NOT DEFINED CMAKE_COMPILE_WARNING_AS_ERROR)
    set(CMAKE_COMPILE_WARNING_AS_ERROR ON)
endif()
# g++ 12 at -O3 (the Release configuration) reports overlapping copies, out-of-bounds reads and
# mismatched deletes inside the inlined code of libstdc++'s strings and vectors and of
# GoogleTest's factories, where nothing is wrong (fixed in g++ 13): warnings there, not errors.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(project_warnings INTERFACE
        $<$<CONFIG:Release>:-Wno-error=restrict -Wno-error=array-bounds
                            -Wno-error=mismatched-new-delete>)
endif()

# Sanitizers are switched on by the presets through PYR_SANITIZE ("address,undefined" or
# "thread"); they apply to every target, tests included, so the whole process is instrumented.
set(PYR_SANITIZE "" CACHE STRING "Comma-separated -fsanitize= list (empty: none)")
if(PYR_SANITIZE)
    add_compile_options(-fsanitize=${PYR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${PYR_SANITIZE})
endif()

# Shared libraries keep everything hidden unless it is marked as part of their interface.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

# Helper: a GoogleTest executable per subsystem with a ctest timeout on each test.
#
# Labels: every discovered test gets LABELS, suites whose names end in "Threads" (they run
# several threads) also get `concurrency`, which the tsan preset selects, and suites whose names
# begin with "Hostile" (hostile servers, files and paths) get `hostile`, which `ctest -L
# hostile` runs; a parameterised suite's instance prefix ("Prefix/") does not count. The test
# names are known only when ctest reads the discovered list, so the labels are set by a script
# that ctest includes after it (a list of labels does not survive gtest_discover_tests'
# PROPERTIES).
function(pyr_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} project_warnings GTest::gtest GTest::gmock
                                          GTest::gtest_main Threads::Threads)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT})

    set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${label_script} "
foreach(test IN LISTS ${name}_TESTS)
    set(labels ${ARG_LABELS})
    if(test MATCHES \"^([A-Za-z]+/)?[A-Za-z]+Threads\\\\.\")
        list(APPEND labels concurrency)
    endif()
    if(test MATCHES \"^([A-Za-z]+/)?Hostile\")
        list(APPEND labels hostile)
    endif()
    if(labels)
        set_tests_properties(\"\${test}\" PROPERTIES LABELS \"\${labels}\")
    endif()
endforeach()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
endfunction()

# __FILE__ relative to the source root: timer diagnostics and logs name files as the source
# tree does ("SceneSystem/Pyr_MiniMap/Pyr_MiniMap.cpp"), not by the build machine's path.
add_compile_options(-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)

# 64-bit file offsets on every target: off_t is only 32 bits on 32-bit x86 unless asked for,
# and the archive index seeks to zip64 offsets beyond 4 GiB through it (a 32-bit off_t would
# silently read another part of the file). A no-op where off_t is 64 bits already.
add_compile_definitions(_FILE_OFFSET_BITS=64)
