# Toolchain: 32-bit x86 (i686) with the host's g++ and -m32, against Debian's i386 multiarch
# libraries (scripts/setup-i386.sh installs them). The client process the module runs in is a
# 32-bit x86 process: pointers are 4 bytes and 64-bit integers only 4-byte aligned inside
# structures, and this build proves that the shared layouts hold there too.
#
# Not a cross build: an x86-64 Linux machine runs i686 programs natively, so tests and the
# programs that generate sources or data during the build run as they are. Saying so keeps
# CMake from treating the build as cross-compiled (which would stop it from running build-time
# programs without an emulator).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CROSSCOMPILING FALSE)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and package configurations from /usr/lib/i386-linux-gnu (the find commands search
# <prefix>/lib/<architecture> for it), never the x86-64 ones; headers from /usr/include, which
# Debian shares between the architectures. CMAKE_PREFIX_PATH stays the caller's.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
                      /usr/lib/x86_64-linux-gnu/cmake)
set_property(GLOBAL PROPERTY FIND_LIBRARY_USE_LIB64_PATHS FALSE)
set_property(GLOBAL PROPERTY FIND_LIBRARY_USE_LIB32_PATHS TRUE)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# Debian's PhysFS development package is amd64-only here (it does not co-install with its i386
# twin): link the i386 runtime directly; physfs.h is the same for both.
if(EXISTS /usr/lib/i386-linux-gnu/libphysfs.so.1)
    set(PHYSFS_LIBRARY /usr/lib/i386-linux-gnu/libphysfs.so.1 CACHE FILEPATH "PhysFS (i386)")
endif()
