// Built by example_test.sh with nothing but `pkg-config --cflags --libs pyr-minimap`: a
// program that uses the container framework, a signal with a bound slot, and a message built,
// parsed and read back, so that every library the .pc files name is needed and found.
#include <cstdio>

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "function/Bind.h"
#include "function/Signal.h"
#include "net/NetMsg.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"

namespace {

class Root final : public pyr::Container<Root, HostContainerTypeId> {};

class Child final : public pyr::Container<Child, MiniMapContainerTypeId> {
public:
    bool OnParentStart() override {
        ++starts;
        return true;
    }
    void Count() { ++emissions; }

    int starts = 0;
    int emissions = 0;
};

}  // namespace

int main() {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    Root root;
    Child child;
    bool ok = root.RegisterChildContainer(&child) && root.StartContainer() && child.starts == 1;

    os::Signal<void(), os::LastValue<void>> changed;
    changed.Add(os::bind(&Child::Count, &child));
    changed.Emit();
    ok = ok && child.emissions == 1;

    NetMsg built(32, 255);
    const int op = 5;
    ok = ok && built.AddChunk(&op, sizeof op, 0);
    ReceivedNetMsg received;
    ok = ok && ParseNetMsg(built.GetBytes(), built.GetLength(), received);
    const int* read = nullptr;
    ok = ok && received.Get() != nullptr && VerifyChunk(&read, received.Get()->GetChunk(0)) &&
         ReadChunkValue(read) == op;

    ok = root.ShutdownContainer() && root.UnregisterChildContainer(&child) && ok;
    std::printf("pkg-config probe: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
