#include "plugin/HostServices.h"

#include "plugin/PluginContainer.h"

os::ThreadLock& GetClientCoreLock() {
    static os::ThreadLock& lock = *os::GetGlobalLock("IGameClientCoreLock");
    return lock;
}

bool IsClientCoreHost(const IPluginContainer* container) {
    return container != nullptr && container->GetContainerTypeId() == HostContainerTypeId;
}
