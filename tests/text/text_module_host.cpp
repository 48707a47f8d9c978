// A stand-in for the client core that loads text test modules and reports what it sees, one
// fact per line on standard output, so each scenario runs in a fresh process of its own.
//
// Commands, in argument order:
//   hold PATH               dlopen PATH and keep it open (a library the test wants to watch)
//   release PATH            dlclose what `hold` opened
//   serve LIB NAME FILE     the recording packed library at LIB serves FILE's bytes as NAME
//   load MODULE             dlopen a test module, then report it as `report` does
//   report MODULE           "table M PTR", "bridge M loaded=L archive=A" and for every display
//                           text "text M ARRAY INDEX PTR TEXT" (M is the module's file name)
//   close MODULE            dlclose the module; "closed M mapped=0|1"
//   mapped PATH             "mapped NAME 0|1" (NAME is the file name of PATH)
//   counter LIB SYMBOL      "counter SYMBOL N" from an int() export of the mapped LIB
//   loads LIB               the recording library's calls: "initialized N", "freed N",
//                           "outstanding N", "loads N" and "load I NAME MODE" per read
// Exit status 0, or 2 with an "error ..." line when a command cannot be carried out.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "satchel/SatchelRecording.h"

namespace {

std::map<std::string, void*> opened;

[[noreturn]] void Fail(const std::string& what) {
    std::printf("error %s\n", what.c_str());
    std::fflush(stdout);
    std::exit(2);
}

std::string FileName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsMapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

template <class Fn>
Fn Export(const std::string& path, const char* name) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        Fail("not mapped: " + path);
    }
    void* symbol = dlsym(handle, name);
    dlclose(handle);  // the library stays mapped: someone else holds it
    if (symbol == nullptr) {
        Fail(std::string("no export ") + name + " in " + path);
    }
    return reinterpret_cast<Fn>(symbol);
}

void Open(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        Fail("dlopen " + path + ": " + (error != nullptr ? error : "?"));
    }
    opened[path] = handle;
}

void Close(const std::string& path) {
    const auto it = opened.find(path);
    if (it == opened.end()) {
        Fail("not opened by this host: " + path);
    }
    dlclose(it->second);
    opened.erase(it);
}

void Report(const std::string& module) {
    const std::string name = FileName(module);
    using ArrayCountFn = int (*)();
    using ArrayFn = const char* const* (*)(int, const char**, int*);
    using BridgeFn = int (*)();
    using TableFn = const void* (*)();
    std::printf("table %s %p\n", name.c_str(), Export<TableFn>(module, "TextProbeStringTable")());
    const int bridge = Export<BridgeFn>(module, "TextProbeBridge")();
    std::printf("bridge %s loaded=%d archive=%d\n", name.c_str(), bridge & 1, (bridge >> 1) & 1);
    const auto count = Export<ArrayCountFn>(module, "TextProbeArrayCount")();
    const auto array = Export<ArrayFn>(module, "TextProbeArray");
    for (int a = 0; a < count; ++a) {
        const char* arrayName = nullptr;
        int length = 0;
        const char* const* entries = array(a, &arrayName, &length);
        for (int i = 0; i < length; ++i) {
            std::printf("text %s %s %d %p %s\n", name.c_str(), arrayName, i,
                        static_cast<const void*>(entries[i]),
                        entries[i] != nullptr ? entries[i] : "(null)");
        }
    }
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        // The command's next argument.
        const auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                Fail("missing argument of " + command);
            }
            return argv[++i];
        };
        if (command == "hold") {
            Open(next());
        } else if (command == "release") {
            Close(next());
        } else if (command == "serve") {
            const std::string lib = next();
            const std::string name = next();
            const std::string data = ReadWholeFile(next());
            Export<satchel_test::SetFileFn>(lib, "SatchelRecordingSetFile")(
                name.c_str(), data.data(), static_cast<std::uint32_t>(data.size()));
        } else if (command == "load") {
            const std::string lib = next();
            Open(lib);
            std::printf("loaded %s\n", FileName(lib).c_str());
            Report(lib);
        } else if (command == "report") {
            Report(next());
        } else if (command == "close") {
            const std::string lib = next();
            Close(lib);
            std::printf("closed %s mapped=%d\n", FileName(lib).c_str(), IsMapped(lib));
        } else if (command == "mapped") {
            const std::string lib = next();
            std::printf("mapped %s %d\n", FileName(lib).c_str(), IsMapped(lib));
        } else if (command == "counter") {
            const std::string lib = next();
            const std::string counter = next();
            std::printf("counter %s %d\n", counter.c_str(),
                        Export<satchel_test::CountFn>(lib, counter.c_str())());
        } else if (command == "loads") {
            const std::string lib = next();
            std::printf("initialized %d\n",
                        Export<satchel_test::CountFn>(lib, "SatchelRecordingInitializeCount")());
            std::printf("freed %d\n",
                        Export<satchel_test::CountFn>(lib, "SatchelRecordingFreeCount")());
            std::printf("outstanding %d\n",
                        Export<satchel_test::CountFn>(lib, "SatchelRecordingOutstandingBuffers")());
            const int loads = Export<satchel_test::CountFn>(lib, "SatchelRecordingLoadCount")();
            std::printf("loads %d\n", loads);
            const auto call = Export<satchel_test::LoadCallFn>(lib, "SatchelRecordingLoadCall");
            for (int n = 0; n < loads; ++n) {
                const char* name = nullptr;
                int mode = 0;
                call(n, &name, &mode);
                std::printf("load %d %s %d\n", n, name, mode);
            }
        } else {
            Fail("unknown command " + command);
        }
    }
    std::fflush(stdout);
    return 0;
}
