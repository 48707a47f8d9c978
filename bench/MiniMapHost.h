// The minimap module as the client runs it, for the benchmarks: libPyr_MiniMap.so loaded with
// dlopen, its minimap created under a host through the entry points and started with a
// game-server client and a role system beside it, so that a received message takes the real
// road (type dispatcher, the minimap's copied id dispatcher, OnMiniMapMsg, the signals).
//
// The host side (host container, role system) is the minimap tests' fake siblings; the
// game-server client here is a plain one whose dispatcher is the described DispatcherBase,
// with no lock of its own around the lookup, and whose receive step parses the received bytes
// in place into one reused parse object, as a connection's receive loop may.
#pragma once

#include <cstddef>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "minimap/FakeSiblings.h"
#include "net/NetMsg.h"
#include "support/NoCopy.h"

namespace benchhost {

/// The game-server client: receives bytes, dispatches by message type, counts sends.
class GameServerClient : public minimaptest::GameServerClientBase<GameServerClient> {
public:
    GameServerClient() : GameServerClientBase(&dispatcher) {}

    bool SendNetMsg(NetMsg* msg) override {
        sentBytes += msg->GetLength();
        return true;
    }

    /// Parses `size` bytes in place as one received message and dispatches it by its type.
    void Receive(const unsigned char* bytes, std::size_t size) {
        if (!ParseNetMsgInPlace(bytes, size, received)) {
            return;
        }
        dispatcher(&sender, received.Get());
    }

    pyr::MsgTypeDispatcherType dispatcher;
    std::size_t sentBytes = 0;

private:
    minimaptest::FakeSender sender;
    ReceivedNetMsg received;
};

/// A host with the game-server client and the role system, and the module's minimap started
/// under it. Loads the module on first use (after putting the process timer on the manual
/// clock, so the poll timer never fires) and keeps it loaded for the process.
class MiniMapHost : test::NoCopy {
public:
    MiniMapHost();
    ~MiniMapHost();

    /// The started minimap; never null (construction aborts the process otherwise).
    pyr::IPyr_MiniMap& MiniMap() { return *minimap; }

    minimaptest::HostContainer host;
    GameServerClient client;
    minimaptest::FakeRoleSystem roles;
    minimaptest::FakeRole role;
    minimaptest::FakeBattleInfo battle;

private:
    pyr::IPyr_MiniMap* minimap = nullptr;
};

}  // namespace benchhost
