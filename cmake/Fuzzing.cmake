# The fuzz build: a clang configuration (the `fuzz` preset) in which every target is compiled
# with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage instrumentation,
# and the fuzz targets in fuzz/ are linked against libFuzzer. The g++ presets build the same
# targets as plain replay programs instead (fuzz/CMakeLists.txt).
#
# The sanitizer runtime is the shared one (-shared-libsan): shared libraries linked with
# --no-undefined (the module, the packed resource library) then find its symbols at link time,
# and every library of the process shares one runtime. Built programs find it through their
# build rpath.
option(PYR_FUZZ "Build the libFuzzer targets (clang only; see the fuzz preset)" OFF)

if(PYR_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "PYR_FUZZ needs clang (libFuzzer); configure with the fuzz preset")
    endif()
    if(NOT PYR_SANITIZE MATCHES "address")
        message(FATAL_ERROR "PYR_FUZZ expects PYR_SANITIZE=address,undefined")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link -gline-tables-only)
    add_link_options(-shared-libsan)
    execute_process(
        COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-x86_64.so
        OUTPUT_VARIABLE pyr_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS "${pyr_asan_runtime}")
        message(FATAL_ERROR "no shared AddressSanitizer runtime (install libclang-rt-14-dev)")
    endif()
    get_filename_component(pyr_sanitizer_runtime_dir ${pyr_asan_runtime} DIRECTORY)
    list(APPEND CMAKE_BUILD_RPATH ${pyr_sanitizer_runtime_dir})
endif()

# Building with clang (the fuzz preset does):
# - clang 14 leaves sized deallocation off by default, and our code calls the sized operator
#   delete as g++ declares it;
# - clang never emits STB_GNU_UNIQUE symbols, so the targets pass -fno-gnu-unique to g++ only;
# - libbacktrace, which Boost.Stacktrace uses to symbolise call stacks, ships its header inside
#   g++'s private include folder, where clang does not look. Only that header is made visible
#   (g++'s other private headers would clash with clang's own); the library itself is in g++'s
#   library folder, which clang searches.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_compile_options(-fsized-deallocation)
    execute_process(COMMAND gcc -print-file-name=include
                    OUTPUT_VARIABLE pyr_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(EXISTS "${pyr_gcc_include}/backtrace.h")
        file(COPY ${pyr_gcc_include}/backtrace.h ${pyr_gcc_include}/backtrace-supported.h
             DESTINATION ${CMAKE_BINARY_DIR}/libbacktrace-include)
        include_directories(SYSTEM ${CMAKE_BINARY_DIR}/libbacktrace-include)
    endif()
endif()
