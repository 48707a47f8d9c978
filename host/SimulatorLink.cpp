#include "host/SimulatorLink.h"

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "function/Bind.h"
#include "host/ChunkData.h"
#include "net/ByteOrder.h"
#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "protocol/MiniMapProtocol.h"

namespace host {

SimulatorLink::~SimulatorLink() {
    StopTicks();
    Uninstall();
}

void SimulatorLink::Install() {
    client.MsgTypeDispatcher->Register(proto::kSimulatorMsgType,
                                       os::bind(&SimulatorLink::OnMessage, this));
}

void SimulatorLink::Uninstall() {
    if (client.MsgTypeDispatcher != nullptr) {
        client.MsgTypeDispatcher->Unregister(proto::kSimulatorMsgType);
    }
}

void SimulatorLink::OnConnection(bool up) {
    if (!up) {
        helloSeen = false;
        ignoredResetLogged = false;
    }
}

bool SimulatorLink::IsHelloSpoken(const NetMsg& msg) {
    // Quiet about the chunk: the line says what is wrong with the greeting as a whole.
    const unsigned char* data = ChunkData(msg, 0, sizeof(std::int32_t));
    if (data == nullptr) {
        LogText(3,
                "simulator link: Hello without its extension version (chunk 0, a 4-byte int) "
                "ignored");
        return false;
    }
    const std::int32_t version = ReadChunkValue(reinterpret_cast<const std::int32_t*>(data));
    if (version != proto::kSimulatorExtensionVersion) {
        // The extensions of another version may mean other things: none is used.
        LogFormatted(3,
                     "simulator link: Hello of extension version %d ignored: this client speaks "
                     "version %d",
                     version, proto::kSimulatorExtensionVersion);
        return false;
    }
    return true;
}

void SimulatorLink::OnMessage(ISender*, const NetMsg* msg) {
    switch (static_cast<proto::SimulatorMsgId>(msg->GetMsgID())) {
        case proto::SimulatorMsgId::Hello:
            helloSeen = IsHelloSpoken(*msg);
            break;
        case proto::SimulatorMsgId::RoleReset:
            if (!helloSeen) {
                ++ignoredRoleResets;
                if (!ignoredResetLogged.exchange(true)) {
                    LogText(3,
                            "simulator link: RoleReset before Hello ignored (further ones on "
                            "this connection are ignored without a line)");
                }
                break;
            }
            ++roleResets;
            roles.ResetRole();
            break;
        default:
            break;
    }
}

void SimulatorLink::StartTicks() {
    std::lock_guard<std::mutex> guard(tickMutex);
    if (ticking) {
        return;
    }
    ticking = true;
    tickId = PLINTH_REGISTER_TIMER(os::GetTimer(), os::bind(&SimulatorLink::OnTick, this),
                                   pyr::MiniMapPollInterval, nullptr);
}

void SimulatorLink::StopTicks() {
    os::TimerID pending;
    {
        std::lock_guard<std::mutex> guard(tickMutex);
        ticking = false;
        pending = tickId;
    }
    // Outside the lock: Cancel waits for a tick that runs right now, and that tick takes the
    // lock; it then sees `ticking` false and registers nothing more.
    pending.Cancel();
}

void SimulatorLink::OnTick(os::Timer*, os::TimerID, void*) {
    std::lock_guard<std::mutex> guard(tickMutex);
    if (!ticking) {
        return;
    }
    if (helloSeen) {
        NetMsg tick(proto::kSimulatorMsgType,
                    static_cast<unsigned short>(proto::SimulatorMsgId::Tick));
        const std::int32_t serial = net::HostToLittle(static_cast<std::int32_t>(nextSerial));
        tick.AddChunk(&serial, sizeof serial, 0);
        if (client.SendNetMsg(&tick)) {
            ++nextSerial;
            ++ticksSent;
        }
    }
    tickId = PLINTH_REGISTER_TIMER(os::GetTimer(), os::bind(&SimulatorLink::OnTick, this),
                                   pyr::MiniMapPollInterval, nullptr);
}

}  // namespace host
