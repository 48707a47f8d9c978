#include "server/SimMessages.h"

#include "net/NetMsg.h"

namespace sim {

namespace {

template <class T>
void Add(NetMsg& msg, const T& value, unsigned short chunkID) {
    static_cast<void>(msg.AddChunk(&value, static_cast<int>(sizeof value), chunkID));
}

void AddInt(NetMsg& msg, std::int32_t value, unsigned short chunkID) {
    Add(msg, net::HostToLittle(value), chunkID);
}

Bytes Image(const NetMsg& msg) {
    return Bytes(msg.GetBytes(), msg.GetBytes() + msg.GetLength());
}

}  // namespace

Bytes EncodeSync(const SyncItem& item) {
    NetMsg msg(proto::MiniMapMsgType, proto::MiniMapSyncMsgId);
    AddInt(msg, static_cast<std::int32_t>(item.op), 0);
    if (item.op == proto::MiniMapSyncOp::Set || item.op == proto::MiniMapSyncOp::Remove) {
        const unsigned char selector = item.player ? 1 : 0;
        Add(msg, selector, 1);
        if (item.op == proto::MiniMapSyncOp::Remove) {
            Add(msg, net::HostToLittle(item.id), 2);
        } else if (item.player) {
            Add(msg, item.playerRecord, 2);
        } else {
            Add(msg, item.npcRecord, 2);
        }
    }
    return Image(msg);
}

Bytes EncodeQueryResult(const _MiniMapNpcInfo& record) {
    NetMsg msg(proto::MiniMapMsgType, proto::MiniMapSyncMsgId);
    AddInt(msg, static_cast<std::int32_t>(proto::MiniMapSyncOp::QueryResult), 0);
    Add(msg, record, 1);
    return Image(msg);
}

Bytes EncodeQueryEnd() {
    NetMsg msg(proto::MiniMapMsgType, proto::MiniMapSyncMsgId);
    AddInt(msg, static_cast<std::int32_t>(proto::MiniMapSyncOp::QueryEnd), 0);
    return Image(msg);
}

Bytes EncodeHello() {
    NetMsg msg(proto::kSimulatorMsgType, static_cast<unsigned short>(proto::SimulatorMsgId::Hello));
    AddInt(msg, proto::kSimulatorExtensionVersion, 0);
    return Image(msg);
}

Bytes EncodeRoleReset() {
    NetMsg msg(proto::kSimulatorMsgType,
               static_cast<unsigned short>(proto::SimulatorMsgId::RoleReset));
    return Image(msg);
}

Bytes EncodeTick(std::uint32_t serial) {
    NetMsg msg(proto::kSimulatorMsgType, static_cast<unsigned short>(proto::SimulatorMsgId::Tick));
    AddInt(msg, static_cast<std::int32_t>(serial), 0);
    return Image(msg);
}

Bytes EncodePoll() {
    NetMsg msg(proto::MiniMapMsgType, proto::MiniMapRequestMsgId);
    AddInt(msg, static_cast<std::int32_t>(proto::MiniMapRequestOp::Poll), 0);
    return Image(msg);
}

Bytes EncodeQuery(std::int32_t queryArg) {
    NetMsg msg(proto::MiniMapMsgType, proto::MiniMapRequestMsgId);
    AddInt(msg, static_cast<std::int32_t>(proto::MiniMapRequestOp::Query), 0);
    AddInt(msg, queryArg, 1);
    return Image(msg);
}

Request DecodeRequest(const NetMsg& msg) {
    Request request;
    if (msg.GetMsgType() == proto::kSimulatorMsgType &&
        msg.GetMsgID() == static_cast<unsigned short>(proto::SimulatorMsgId::Tick)) {
        const int* serial = nullptr;
        if (msg.GetChunkCount() == 1 && VerifyChunk(&serial, msg.GetChunk(0))) {
            request.kind = Request::Kind::Tick;
            request.tickSerial = static_cast<std::uint32_t>(ReadChunkValue(serial));
        } else {
            request.kind = Request::Kind::Bad;
            request.error = "a tick carries one 4-byte serial";
        }
        return request;
    }
    if (msg.GetMsgType() != proto::MiniMapMsgType || msg.GetMsgID() != proto::MiniMapRequestMsgId) {
        return request;
    }
    request.kind = Request::Kind::Bad;
    const int* op = nullptr;
    if (!VerifyChunk(&op, msg.GetChunk(0))) {
        request.error = "chunk 0 of a request is not a 4-byte operation code";
        return request;
    }
    switch (ReadChunkValue(op)) {
        case static_cast<int>(proto::MiniMapRequestOp::Poll):
            request.kind = Request::Kind::Poll;
            break;
        case static_cast<int>(proto::MiniMapRequestOp::Query): {
            const int* arg = nullptr;
            if (!VerifyChunk(&arg, msg.GetChunk(1))) {
                request.error = "chunk 1 of a query is not a 4-byte argument";
                break;
            }
            request.kind = Request::Kind::Query;
            request.queryArg = ReadChunkValue(arg);
            break;
        }
        default:
            request.error = "unknown request code " + std::to_string(ReadChunkValue(op));
            break;
    }
    return request;
}

}  // namespace sim
