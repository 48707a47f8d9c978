#include "plugin/HostServices.h"

os::ThreadLock& GetClientCoreLock() {
    static os::ThreadLock& lock = *os::GetGlobalLock("IGameClientCoreLock");
    return lock;
}
