// The message dispatchers: DispatcherBase (function/Dispatcher.h) over received messages.
//
// A handler is called with (sender, message), the sender being the game-server client's side
// of the connection. The game-server client selects a plug-in by message type
// (NetMsgTypeDispatcher), the plug-in's own dispatcher selects its handler by message
// identifier (NetMsgIdDispatcher). A call with a null sender or a null message is dropped
// (the key traits in net/NetMsg.h).
#pragma once

#include "function/Dispatcher.h"
#include "function/Function.h"
#include "net/ISender.h"
#include "net/NetMsg.h"

/// The handler of a received message. The sender is never null when the game-server client
/// calls it.
using NetMsgHandler = os::Function<void(ISender*, const NetMsg*)>;

/// A plug-in's dispatcher, by message identifier.
using NetMsgIdDispatcher = DispatcherBase<unsigned short, NetMsgHandler, NetMsgTrait_MsgID>;

/// The game-server client's dispatcher, by message type.
using NetMsgTypeDispatcher = DispatcherBase<unsigned short, NetMsgHandler, NetMsgTrait_MsgType>;
