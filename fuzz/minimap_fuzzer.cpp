// Fuzz target: the minimap's message path, end to end through the real module.
//
// The built module is loaded with dlopen and plugged into a host with a fake game-server
// client and role system (tests/minimap/FakeSiblings.h), and its tree is started, so its
// dispatcher is registered under message type 32. Every message then goes the way a received
// one goes: parsed from wire bytes, dispatched by type through the game-server client's
// dispatcher, by identifier through the minimap's, into its handler.
//
// After every step the three stores must equal a model that applies the same operations as
// the wire format describes them: every key is the identifier inside its record; a message
// malformed for its operation (a missing chunk, a chunk of the wrong size) changes nothing;
// the signals, the failed-chunk log lines and their call stacks are exactly those the
// operations call for.
//
// Input: a sequence of steps, each a kind byte, a 16-bit little-endian length (taken modulo
// 1024) and that many bytes of payload (fewer when the input ends):
//   0  the payload is a message's wire bytes, delivered as received;
//   1  the payload is a chunk list (a size byte, then that many data bytes, repeated), sent
//      as a message of type 32, identifier 254;
//   2  the same with type and identifier from the first four payload bytes;
//   3  the role system resets (every store emptied, no signal);
//   4  the user interface asks a query with the first four payload bytes as argument, the
//      send answering per the fifth byte (bit 0);
//   5  one poll interval passes; the first payload byte sets polling (bit 0), the battle flag
//      (bit 1), whether a role is current (bit 2) and whether its entity of kind 28 is battle
//      information (bit 3).
// Every input starts from empty stores.
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "function/Bind.h"
#include "fuzz/CallStackCounter.h"
#include "fuzz/FuzzTarget.h"
#include "minimap/FakeSiblings.h"
#include "net/NetMsg.h"
#include "plinth/Log.h"
#include "plinth/Timer.h"
#include "support/SharedLibrary.h"

namespace {

using minimaptest::Bytes;
using Store = std::map<std::uint64_t, Bytes>;

constexpr std::size_t kPlayerSize = sizeof(_MiniMapPlayerInfo);
constexpr std::size_t kNpcSize = sizeof(_MiniMapNpcInfo);

// Counts the chunk reads that failed, from their log lines; discards everything else.
class ReadFailureCounter : public os::ILogSink {
public:
    void Write(const os::LogRecord& record) override {
        if (record.kind == os::LogKind::Line && record.level == 3 &&
            record.text.rfind("VerifyChunk() error : ", 0) == 0) {
            ++failedReads;
        }
    }
    int failedReads = 0;
};

struct SignalCounter {
    void OnMarkersChanged() { ++markersChanged; }
    void OnQueryFinished() { ++queryFinished; }
    int markersChanged = 0;
    int queryFinished = 0;
};

// The stores as the wire format describes the operations, kept apart from the module.
struct Model {
    Store players;
    Store npcs;
    Store queried;
    int markersChanged = 0;
    int queryFinished = 0;
    int failedReads = 0;

    // Chunk `index` if its data is exactly `size` bytes; a failed read otherwise.
    const std::uint8_t* Read(const NetMsg& msg, int index, std::size_t size) {
        const Chunk* chunk = msg.GetChunk(index);
        if (chunk == nullptr || chunk->GetChunkSize() != size + 4) {
            ++failedReads;
            return nullptr;
        }
        return reinterpret_cast<const std::uint8_t*>(chunk->GetData());
    }

    static std::uint64_t IdOf(const std::uint8_t* record) {
        std::uint64_t id = 0;
        for (int i = 7; i >= 0; --i) {
            id = (id << 8) | record[i];
        }
        return id;
    }

    // Applies one message of type 32, identifier 254. False when it is malformed for its
    // operation (a read failed).
    bool Apply(const NetMsg& msg) {
        const std::uint8_t* code = Read(msg, 0, 4);
        if (code == nullptr) {
            return false;
        }
        const std::uint32_t op = code[0] | (code[1] << 8) | (code[2] << 16) |
                                 (static_cast<std::uint32_t>(code[3]) << 24);
        switch (op) {
            case 0: {
                const std::uint8_t* selector = Read(msg, 1, 1);
                if (selector == nullptr) {
                    return false;
                }
                const bool player = *selector != 0;
                const std::size_t size = player ? kPlayerSize : kNpcSize;
                const std::uint8_t* record = Read(msg, 2, size);
                if (record == nullptr) {
                    return false;
                }
                (player ? players : npcs)[IdOf(record)] = Bytes(record, record + size);
                ++markersChanged;
                return true;
            }
            case 1: {
                const std::uint8_t* selector = Read(msg, 1, 1);
                const std::uint8_t* id = Read(msg, 2, 8);
                if (selector == nullptr || id == nullptr) {
                    return false;
                }
                if ((*selector != 0 ? players : npcs).erase(IdOf(id)) != 0) {
                    ++markersChanged;
                }
                return true;
            }
            case 2:
                npcs.clear();
                players.clear();
                ++markersChanged;
                return true;
            case 3: {
                const std::uint8_t* record = Read(msg, 1, kNpcSize);
                if (record == nullptr) {
                    return false;
                }
                queried.try_emplace(IdOf(record), Bytes(record, record + kNpcSize));
                return true;
            }
            case 4:
                ++queryFinished;
                return true;
            default:
                return true;
        }
    }
};

struct Snapshot {
    Store players;
    Store npcs;
    Store queried;
    bool operator==(const Snapshot&) const = default;
};

template <class Map>
Store Copy(const Map& map) {
    Store out;
    for (const auto& [key, record] : map) {
        // Every key is the identifier inside its record.
        FUZZ_CHECK(key == record.id);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
        out[key] = Bytes(bytes, bytes + sizeof(record));
    }
    return out;
}

class Harness {
public:
    Harness() : library(PYR_MINIMAP_LIBRARY) {
        FUZZ_CHECK(library.IsLoaded());
        init = library.Symbol<bool(IPluginContainer*)>("InitPluginContainer");
        FUZZ_CHECK(init != nullptr);
        battle.inBattle = false;
        role.battleEntity = &battle;
        roles.currentRole = &role;
        host.RegisterChildContainer(&client);
        host.RegisterChildContainer(&roles);
        FUZZ_CHECK(init(&host));
        minimap = dynamic_cast<pyr::IPyr_MiniMap*>(host.FindChildContainer(MiniMapContainerTypeId));
        FUZZ_CHECK(minimap != nullptr);
        FUZZ_CHECK(host.StartContainer());
        FUZZ_CHECK(!client.dispatcher.GetHandler(pyr::MiniMapMsgType).IsEmpty());
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        minimap->MarkersChanged.Add(os::bind(&SignalCounter::OnMarkersChanged, &signals));
        minimap->QueryFinished.Add(os::bind(&SignalCounter::OnQueryFinished, &signals));
    }

    void StartInput() {
        roles.EmitReset();
        minimap->SetPollEnabled(false);
        battle.inBattle = false;
        role.battleEntity = &battle;
        roles.currentRole = &role;
        client.sendResult = true;
        client.ClearSent();
        model = Model{};
        signals = SignalCounter{};
        log.failedReads = 0;
        fuzz::ResetCallStacks();
        Check();
    }

    Snapshot Stores() {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        return Snapshot{Copy(minimap->GetPlayerInfoMap()), Copy(minimap->GetNpcInfoMap()),
                        Copy(minimap->GetQueryNpcInfoMap())};
    }

    void Check() {
        const Snapshot now = Stores();
        FUZZ_CHECK(now.players == model.players);
        FUZZ_CHECK(now.npcs == model.npcs);
        FUZZ_CHECK(now.queried == model.queried);
        FUZZ_CHECK(signals.markersChanged == model.markersChanged);
        FUZZ_CHECK(signals.queryFinished == model.queryFinished);
        FUZZ_CHECK(log.failedReads == model.failedReads);
        FUZZ_CHECK(fuzz::CallStacks() == model.failedReads);
    }

    void Deliver(const std::uint8_t* bytes, std::size_t size) {
        const Bytes wire(bytes, bytes + size);
        ReceivedNetMsg received;
        const bool parsed = static_cast<bool>(ParseNetMsg(wire.data(), wire.size(), received));
        const Snapshot before = Stores();
        FUZZ_CHECK(client.Deliver(wire) == parsed);
        if (parsed && received.Get()->GetMsgType() == pyr::MiniMapMsgType &&
            received.Get()->GetMsgID() == pyr::MiniMapSyncMsgId) {
            if (!model.Apply(*received.Get())) {
                // Malformed for its operation: nothing changed.
                FUZZ_CHECK(Stores() == before);
            }
        }
        Check();
    }

    void Query(std::int32_t argument, bool sendResult) {
        client.sendResult = sendResult;
        client.ClearSent();
        FUZZ_CHECK(minimap->RequestNpcQuery(argument) == sendResult);
        model.queried.clear();
        const auto sent = client.Sent();
        FUZZ_CHECK(sent.size() == 1);
        const std::uint8_t a[4] = {
            static_cast<std::uint8_t>(argument), static_cast<std::uint8_t>(argument >> 8),
            static_cast<std::uint8_t>(argument >> 16), static_cast<std::uint8_t>(argument >> 24)};
        const Bytes expected = {0x20, 0x00, 0xFF, 0x00, 0x16, 0x00, 0x00, 0x00, 0x08, 0x00, 0x03,
                                0x00, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, a[0], a[1], a[2], a[3]};
        FUZZ_CHECK(sent.front() == expected);
        Check();
    }

    void Poll(std::uint8_t flags) {
        const bool enabled = (flags & 1) != 0;
        const bool inBattle = (flags & 2) != 0;
        const bool hasRole = (flags & 4) != 0;
        const bool battleEntity = (flags & 8) != 0;
        minimap->SetPollEnabled(enabled);
        battle.inBattle = inBattle;
        role.battleEntity = battleEntity ? static_cast<IEntityObject*>(&battle) : &otherEntity;
        roles.currentRole = hasRole ? &role : nullptr;
        client.ClearSent();
        // One run per interval, whatever the role says; it registers the next one.
        FUZZ_CHECK(os::GetTimer()->Advance(pyr::MiniMapPollInterval) == 1);
        FUZZ_CHECK(os::GetTimer()->GetPendingCount() == 1);
        const auto sent = client.Sent();
        if (enabled && hasRole && battleEntity && !inBattle) {
            const Bytes poll = {0x20, 0x00, 0xFF, 0x00, 0x0E, 0x00, 0x00,
                                0x00, 0x08, 0x00, 0x05, 0x00, 0x00, 0x00};
            FUZZ_CHECK(sent.size() == 1 && sent.front() == poll);
        } else {
            FUZZ_CHECK(sent.empty());
        }
        Check();
    }

    void Reset() {
        roles.EmitReset();
        model.players.clear();
        model.npcs.clear();
        model.queried.clear();
        Check();
    }

    ReadFailureCounter log;

private:
    test::SharedLibrary library;
    bool (*init)(IPluginContainer*) = nullptr;
    minimaptest::HostContainer host;
    minimaptest::FakeGameServerClient client;
    minimaptest::FakeRoleSystem roles;
    minimaptest::FakeRole role;
    minimaptest::FakeBattleInfo battle;
    minimaptest::OtherEntity otherEntity;
    pyr::IPyr_MiniMap* minimap = nullptr;
    SignalCounter signals;
    Model model;
};

// Kept for the whole process: the module stays loaded (its string table serves the process).
Harness* harness = nullptr;

Bytes BuildMessage(unsigned short type, unsigned short id, fuzz::InputReader& chunks) {
    NetMsg msg(type, id);
    unsigned short position = 0;
    while (!chunks.Empty()) {
        std::size_t size = 0;
        const std::uint8_t* data = chunks.Take(chunks.Byte(), size);
        msg.AddChunk(data, static_cast<int>(size), position++);
    }
    const auto* begin = reinterpret_cast<const std::uint8_t*>(msg.GetBytes());
    return Bytes(begin, begin + msg.GetLength());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The manual clock before anything registers a timer: polls run when a step says so.
    FUZZ_CHECK(os::GetTimer()->SetClockMode(os::ClockMode::Manual));
    static ReadFailureCounter* sink = nullptr;
    harness = new Harness;
    sink = &harness->log;
    os::Log::GetInstance().SetSink(sink);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    harness->StartInput();
    fuzz::InputReader in(data, size);
    while (!in.Empty()) {
        const std::uint8_t kind = in.Byte();
        std::size_t length = 0;
        const std::uint8_t* payload = in.Take(in.U16() % 1024, length);
        fuzz::InputReader step(payload, length);
        switch (kind % 6) {
            case 0:
                harness->Deliver(payload, length);
                break;
            case 1: {
                const Bytes wire = BuildMessage(pyr::MiniMapMsgType, pyr::MiniMapSyncMsgId, step);
                harness->Deliver(wire.data(), wire.size());
                break;
            }
            case 2: {
                const unsigned short type = step.U16();
                const unsigned short id = step.U16();
                const Bytes wire = BuildMessage(type, id, step);
                harness->Deliver(wire.data(), wire.size());
                break;
            }
            case 3:
                harness->Reset();
                break;
            case 4: {
                const auto argument = static_cast<std::int32_t>(step.U32());
                harness->Query(argument, (step.Byte() & 1) != 0);
                break;
            }
            default:
                harness->Poll(step.Byte());
                break;
        }
    }
    return 0;
}
