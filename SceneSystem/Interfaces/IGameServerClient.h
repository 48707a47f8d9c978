// pyr::IGameServerClient: the game-server client plug-in, as the other plug-ins of its host
// see it.
//
// It owns the connection to the game server. Received messages are routed to plug-ins by their
// message type through MsgTypeDispatcher; plug-ins send their requests with SendNetMsg. It is
// registered as a child of the host container under GameServerClientTypeId.
//
// Threads: the client delivers received messages on a thread of its own choosing and may call
// a registered handler on any thread. Handlers take whatever lock they need themselves.
#pragma once

#include "function/Function.h"
#include "net/ISender.h"
#include "net/NetMsg.h"
#include "net/NetMsgDispatcher.h"
#include "plugin/Export.h"
#include "plugin/PluginContainer.h"

/// The game-server client's type identifier (pyr::IGameServerClient), a child of the host.
inline constexpr GUID GameServerClientTypeId =
    MakeGuid(0xDBA482BF, 0xAD45, 0x4333, 0x8A8D, 0x9992A7A27D18);

namespace pyr {

/// The game-server client's dispatcher of received messages, keyed by the header's msgType.
using MsgTypeDispatcherType =
    DispatcherBase<unsigned short, os::Function<void(ISender*, const NetMsg*)>,
                   NetMsgTrait_MsgType>;

class PYR_INTERFACE IGameServerClient : public IPluginContainer {
public:
    /// Routes each received message to the handler registered under its msgType, calling it
    /// with a non-null sender. Owned by the client, never null while the client is registered
    /// with its host. Register and Unregister are serialised by the client against its
    /// dispatch; the call of a handler runs outside that serialisation.
    MsgTypeDispatcherType* MsgTypeDispatcher = nullptr;

    /// Sends a built message: the client reads GetLength() bytes from the message's start and
    /// keeps nothing, so the caller releases the message right after the call. Returns whether
    /// the message was sent. Callable from any thread; takes no container lock and not the
    /// client core lock, and delivers no message from inside the call: an answer ready at once
    /// is queued and delivered from the client's own thread (docs/threads.md).
    virtual bool SendNetMsg(NetMsg* msg) = 0;
};

}  // namespace pyr
