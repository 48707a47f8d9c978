#include "plinth/GlobalObject.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "plinth/Log.h"

namespace os {
namespace {

struct Entry {
    std::mutex mutex;  // held while the creator runs, so concurrent first callers wait
    void* object = nullptr;
};

}  // namespace

void* GetGlobalObject(const std::string& name, Function<void*()> creator) {
    static std::mutex* mutex = new std::mutex;
    static auto* entries = new std::unordered_map<std::string, std::unique_ptr<Entry>>;

    Entry* entry = nullptr;
    {
        std::lock_guard<std::mutex> guard(*mutex);
        auto& slot = (*entries)[name];
        if (!slot) {
            slot = std::make_unique<Entry>();
        }
        entry = slot.get();
    }
    // The map lock is not held while the creator runs: a creator may ask for other objects.
    std::lock_guard<std::mutex> guard(entry->mutex);
    if (entry->object == nullptr) {
        entry->object = creator();
        if (entry->object == nullptr) {
            // Callers rely on a non-null object; there is nothing sensible to return.
            const std::string text =
                "os::GetGlobalObject() error : creator of " + name + " returned NULL";
            WriteLog(text);
            ShowCallStack();
            std::abort();
        }
    }
    return entry->object;
}

}  // namespace os
