// A minimal client of the packed resource library, run as its own process so that the
// library finds its default archive beside this executable:
//   satchel_probe LIBRARY MEMBER
// prints "archive=<IsLoadFromMpq> size=<size> data=<bytes>" (or "null") and exits 0; exits 3
// when the library cannot be loaded.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

#include "satchel/Satchel.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: satchel_probe LIBRARY MEMBER\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 3;
    }
    const auto isLoadFromMpq =
        reinterpret_cast<satchel::IsLoadFromMpqFn>(dlsym(library, satchel::kIsLoadFromMpqName));
    const auto initialize = reinterpret_cast<satchel::GameResourcesInitializeFn>(
        dlsym(library, satchel::kGameResourcesInitializeName));
    const auto load =
        reinterpret_cast<satchel::LoadFileDataFn>(dlsym(library, satchel::kLoadFileDataName));
    const auto release =
        reinterpret_cast<satchel::FreeFileDataFn>(dlsym(library, satchel::kFreeFileDataName));
    if (isLoadFromMpq == nullptr || initialize == nullptr || load == nullptr ||
        release == nullptr) {
        std::fprintf(stderr, "entry point missing\n");
        return 3;
    }
    initialize();
    std::printf("archive=%d ", isLoadFromMpq() ? 1 : 0);
    std::fflush(stdout);
    std::uint32_t size = 0;
    void* data = load(argv[2], &size, satchel::kLoadWholeFile);
    std::printf("size=%u ", static_cast<unsigned>(size));
    if (data != nullptr) {
        std::printf("data=%.*s\n", static_cast<int>(size), static_cast<const char*>(data));
    } else {
        std::printf("null\n");
    }
    release(data);
    dlclose(library);
    return 0;
}
