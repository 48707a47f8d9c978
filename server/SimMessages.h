// The byte images of the messages the simulator sends, and the reading of what clients send.
//
// Every message is built with the project's message builder (NetMsg + AddChunk), so the
// simulator writes exactly what the module's own builder would; integers go on the wire
// little-endian whatever the host's byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/MiniMapProtocol.h"
#include "server/World.h"

class NetMsg;

namespace sim {

using Bytes = std::vector<char>;

/// A sync message (type 32, id 254) for one poll-answer item.
Bytes EncodeSync(const SyncItem& item);
/// QueryResult carrying `record`.
Bytes EncodeQueryResult(const _MiniMapNpcInfo& record);
Bytes EncodeQueryEnd();
/// Simulator extensions (type 33).
Bytes EncodeHello();
Bytes EncodeRoleReset();
Bytes EncodeTick(std::uint32_t serial);
/// The client's requests, as the module builds them (for tests and tools).
Bytes EncodePoll();
Bytes EncodeQuery(std::int32_t queryArg);

/// What a message received by the simulator asks for.
struct Request {
    enum class Kind : std::uint8_t {
        Poll,
        Query,
        Tick,
        /// Any other message type or identifier: not for the simulator, ignored.
        Other,
        /// Type 32, id 255 whose chunks are not a poll or a query: `error` says why.
        Bad,
    };
    Kind kind = Kind::Other;
    std::int32_t queryArg = 0;
    std::uint32_t tickSerial = 0;
    std::string error;
};

/// Reads a parsed message. Chunks are read with the verified typed reads (a wrong size is
/// logged by them with the call stack).
Request DecodeRequest(const NetMsg& msg);

}  // namespace sim
