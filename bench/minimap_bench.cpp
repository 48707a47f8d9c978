// The whole road of a minimap synchronisation message, from received bytes to the user
// interface's slots, for Set of a player marker, Set of an NPC marker, Remove and QueryResult,
// with 1k and 100k distinct markers:
//
//   Path.<op>.<n>/os            the real module through dlopen: the game-server client parses
//                               the bytes in place, its type dispatcher copies and calls the
//                               minimap's registered dispatcher (type 32), which takes the
//                               client core lock, checks that the minimap is live, copies and
//                               calls the handler (id 254); OnMiniMapMsg, under that lock,
//                               reads the chunks, updates the store and emits MarkersChanged to
//                               two slots
//   Path.<op>.<n>/std_function  the same steps written by hand: the same parser, two hash
//                               maps of std::function called in place, the core lock, the same
//                               verified chunk reads, the store, a loop over a vector of
//                               std::function slots
//   Path.<op>.<n>/signals2      the same with a boost::signals2::signal for the slots
//   Path.<op>.<n>/lean          the floor: header and chunks decoded with memcpy, a switch, no
//                               lock, the store, two direct calls
//
//   Path.Malformed/os           a message whose operation chunk has 1 byte instead of 4,
//                               through the real module as above: OnMiniMapMsg's failed read
//                               writes its level-3 line and the call stack (into a sink that
//                               drops them) under the client core lock. The same stack every
//                               time, as from a server that repeats a malformed message.
//
// Steady state: Set replaces markers already present (the stores are filled before timing);
// Remove removes present markers and QueryResult adds new ones, in rounds of n messages with
// the stores refilled or emptied between rounds outside the timing. Every design is checked
// to have called its slots as often as the module would.
#include <benchmark/benchmark.h>

#include <boost/signals2/signal.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bench/MiniMapHost.h"
#include "function/Bind.h"
#include "net/ISender.h"
#include "net/NetMsg.h"
#include "plinth/Lock.h"
#include "plinth/Log.h"
#include "plugin/HostServices.h"
#include "protocol/MiniMapRecords.h"

namespace {

enum class Op { SetPlayer, SetNpc, Remove, QueryResult };

/// The user interface's two slots, the same for every design.
struct Subscriber {
    long first = 0;
    long second = 0;
    __attribute__((noinline)) void OnFirst() { benchmark::DoNotOptimize(++first); }
    __attribute__((noinline)) void OnSecond() { benchmark::DoNotOptimize(++second); }
};

/// Wire bytes of many messages, back to back.
class Workload {
public:
    void Add(const NetMsg& msg) {
        const auto* begin = reinterpret_cast<const unsigned char*>(msg.GetBytes());
        spans.emplace_back(bytes.size(), msg.GetLength());
        bytes.insert(bytes.end(), begin, begin + msg.GetLength());
    }
    std::size_t Count() const { return spans.size(); }
    const unsigned char* Data(std::size_t i) const { return bytes.data() + spans[i].first; }
    std::size_t Size(std::size_t i) const { return spans[i].second; }

private:
    std::vector<unsigned char> bytes;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
};

// Distinct identifiers, scattered as a server's would be.
std::uint64_t MarkerId(std::size_t i) {
    return (static_cast<std::uint64_t>(i) + 1) * 0x9E3779B97F4A7C15ull;
}

_MiniMapNpcInfo Npc(std::uint64_t id) {
    _MiniMapNpcInfo r;
    std::memset(static_cast<void*>(&r), 0x5A, sizeof(r));
    r.id = id;
    return r;
}

_MiniMapPlayerInfo Player(std::uint64_t id) {
    _MiniMapPlayerInfo r;
    r.id = id;
    r.data0 = 7;
    r.data1 = 9;
    return r;
}

std::unique_ptr<Workload> Build(Op op, std::size_t markers) {
    auto w = std::make_unique<Workload>();
    for (std::size_t i = 0; i < markers; ++i) {
        const std::uint64_t id = MarkerId(i);
        NetMsg msg(32, 254);
        const auto add = [&msg](const auto& value, unsigned short chunk) {
            msg.AddChunk(&value, sizeof(value), chunk);
        };
        const unsigned char player = 1;
        const unsigned char npc = 0;
        switch (op) {
            case Op::SetPlayer:
                add(std::int32_t{0}, 0), add(player, 1), add(Player(id), 2);
                break;
            case Op::SetNpc:
                add(std::int32_t{0}, 0), add(npc, 1), add(Npc(id), 2);
                break;
            case Op::Remove:
                add(std::int32_t{1}, 0), add(npc, 1), add(id, 2);
                break;
            case Op::QueryResult:
                add(std::int32_t{3}, 0), add(Npc(id), 1);
                break;
        }
        w->Add(msg);
    }
    return w;
}

const Workload& GetWorkload(Op op, std::size_t markers) {
    static std::map<std::pair<Op, std::size_t>, std::unique_ptr<Workload>> cache;
    auto& slot = cache[{op, markers}];
    if (!slot) {
        slot = Build(op, markers);
    }
    return *slot;
}

/// What fills the stores before `op` is measured, or null when they start empty: Set replaces
/// markers already present, Remove removes present NPCs, QueryResult adds to an empty store.
const Workload* StoreFill(Op op, std::size_t markers) {
    if (op == Op::SetPlayer || op == Op::SetNpc) {
        return &GetWorkload(op, markers);
    }
    return op == Op::Remove ? &GetWorkload(Op::SetNpc, markers) : nullptr;
}

// ---- The module ---------------------------------------------------------------------------

class ModulePath {
public:
    ModulePath() {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        host.MiniMap().MarkersChanged.Connect(os::bind(&Subscriber::OnFirst, &subscriber));
        host.MiniMap().MarkersChanged.Connect(os::bind(&Subscriber::OnSecond, &subscriber));
    }
    ~ModulePath() {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        host.MiniMap().MarkersChanged.DisconnectAll();
    }
    void Receive(const unsigned char* bytes, std::size_t size) { host.client.Receive(bytes, size); }
    void ClearQuery() {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        host.MiniMap().GetQueryNpcInfoMap().clear();
    }

    Subscriber subscriber;

private:
    benchhost::MiniMapHost host;
};

// ---- By hand ------------------------------------------------------------------------------

/// What the handler does, written out: the verified reads, the stores, the signals.
template <class Self>
void ApplySync(Self& self, const NetMsg& msg) {
    const std::int32_t* code = nullptr;
    if (!VerifyChunk(&code, msg.GetChunk(0))) {
        return;
    }
    switch (static_cast<std::uint32_t>(ReadChunkValue(code))) {
        case 0: {
            const bool* selector = nullptr;
            if (!VerifyChunk(&selector, msg.GetChunk(1))) {
                return;
            }
            if (ReadChunkValue(selector)) {
                const _MiniMapPlayerInfo* data = nullptr;
                if (!VerifyChunk(&data, msg.GetChunk(2))) {
                    return;
                }
                const _MiniMapPlayerInfo record = ReadChunkValue(data);
                self.players[record.id] = record;
            } else {
                const _MiniMapNpcInfo* data = nullptr;
                if (!VerifyChunk(&data, msg.GetChunk(2))) {
                    return;
                }
                const _MiniMapNpcInfo record = ReadChunkValue(data);
                self.npcs[record.id] = record;
            }
            self.EmitMarkersChanged();
            return;
        }
        case 1: {
            const bool* selector = nullptr;
            const std::uint64_t* id = nullptr;
            const bool selectorRead = VerifyChunk(&selector, msg.GetChunk(1));
            const bool idRead = VerifyChunk(&id, msg.GetChunk(2));
            if (!selectorRead || !idRead) {
                return;
            }
            const bool removed = ReadChunkValue(selector) ? self.players.erase(ReadChunkValue(id))
                                                          : self.npcs.erase(ReadChunkValue(id));
            if (removed) {
                self.EmitMarkersChanged();
            }
            return;
        }
        case 3: {
            const _MiniMapNpcInfo* data = nullptr;
            if (!VerifyChunk(&data, msg.GetChunk(1))) {
                return;
            }
            const _MiniMapNpcInfo record = ReadChunkValue(data);
            self.queries.try_emplace(record.id, record);
            return;
        }
        default:
            return;
    }
}

class Sender : public ISender {};

/// The stores and the subscriber of a path written by hand, as the minimap keeps them.
struct HandWrittenStores {
    void ClearQuery() { queries.clear(); }

    MiniMapPlayerInfoMap players;
    MiniMapNpcInfoMap npcs;
    MiniMapNpcInfoMap queries;
    Subscriber subscriber;
};

/// Parser, two maps of std::function called in place, the core lock; the slots are the
/// derived class's.
template <class Derived>
class HandWrittenPath : public HandWrittenStores {
public:
    using Handler = std::function<void(ISender*, const NetMsg*)>;

    HandWrittenPath() {
        ids.emplace(254, [this](ISender* s, const NetMsg* m) { OnMiniMapMsg(s, m); });
        types.emplace(32, [this](ISender* s, const NetMsg* m) {
            const auto it = ids.find(m->GetMsgID());
            if (it != ids.end()) {
                it->second(s, m);
            }
        });
    }

    void Receive(const unsigned char* bytes, std::size_t size) {
        if (!ParseNetMsgInPlace(bytes, size, received)) {
            return;
        }
        const NetMsg* msg = received.Get();
        const auto it = types.find(msg->GetMsgType());
        if (it != types.end()) {
            it->second(&sender, msg);
        }
    }

    void OnMiniMapMsg(ISender*, const NetMsg* msg) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        ApplySync(static_cast<Derived&>(*this), *msg);
    }

private:
    std::unordered_map<unsigned short, Handler> types;
    std::unordered_map<unsigned short, Handler> ids;
    ReceivedNetMsg received;
    Sender sender;
};

class StdFunctionPath : public HandWrittenPath<StdFunctionPath> {
public:
    StdFunctionPath() {
        slots.emplace_back([s = &subscriber] { s->OnFirst(); });
        slots.emplace_back([s = &subscriber] { s->OnSecond(); });
    }
    void EmitMarkersChanged() {
        for (const auto& slot : slots) {
            slot();
        }
    }

private:
    std::vector<std::function<void()>> slots;
};

class Signals2Path : public HandWrittenPath<Signals2Path> {
public:
    Signals2Path() {
        markersChanged.connect([s = &subscriber] { s->OnFirst(); });
        markersChanged.connect([s = &subscriber] { s->OnSecond(); });
    }
    void EmitMarkersChanged() { markersChanged(); }

private:
    boost::signals2::signal<void()> markersChanged;
};

// ---- The floor ----------------------------------------------------------------------------

class LeanPath : public HandWrittenStores {
public:
    void Receive(const unsigned char* p, std::size_t size) {
        if (size < 6) {
            return;
        }
        std::uint16_t type = 0;
        std::uint16_t id = 0;
        std::uint16_t length = 0;
        std::memcpy(&type, p, 2);
        std::memcpy(&id, p + 2, 2);
        std::memcpy(&length, p + 4, 2);
        if (length != size) {
            return;
        }
        // The first three chunks, each checked to lie inside the message.
        const unsigned char* data[3] = {};
        std::size_t dataSize[3] = {};
        int count = 0;
        std::size_t offset = 6;
        while (count < 3 && offset + 4 <= size) {
            std::uint16_t chunkSize = 0;
            std::memcpy(&chunkSize, p + offset + 2, 2);
            if (chunkSize < 4 || offset + chunkSize > size) {
                return;
            }
            data[count] = p + offset + 4;
            dataSize[count] = chunkSize - 4u;
            ++count;
            offset += chunkSize;
        }
        switch (type) {
            case 32:
                switch (id) {
                    case 254:
                        Apply(data, dataSize, count);
                        break;
                    default:
                        break;
                }
                break;
            default:
                break;
        }
    }

private:
    void Apply(const unsigned char* const* data, const std::size_t* dataSize, int count) {
        if (count < 1 || dataSize[0] != 4) {
            return;
        }
        std::int32_t code = 0;
        std::memcpy(&code, data[0], 4);
        switch (code) {
            case 0:
                if (count < 3 || dataSize[1] != 1) {
                    return;
                }
                if (data[1][0] != 0) {
                    if (dataSize[2] != sizeof(_MiniMapPlayerInfo)) {
                        return;
                    }
                    _MiniMapPlayerInfo record;
                    std::memcpy(static_cast<void*>(&record), data[2], sizeof(record));
                    players[record.id] = record;
                } else {
                    if (dataSize[2] != sizeof(_MiniMapNpcInfo)) {
                        return;
                    }
                    _MiniMapNpcInfo record;
                    std::memcpy(static_cast<void*>(&record), data[2], sizeof(record));
                    npcs[record.id] = record;
                }
                Changed();
                return;
            case 1: {
                if (count < 3 || dataSize[1] != 1 || dataSize[2] != 8) {
                    return;
                }
                std::uint64_t id = 0;
                std::memcpy(&id, data[2], 8);
                if ((data[1][0] != 0 ? players.erase(id) : npcs.erase(id)) != 0) {
                    Changed();
                }
                return;
            }
            case 3: {
                if (count < 2 || dataSize[1] != sizeof(_MiniMapNpcInfo)) {
                    return;
                }
                _MiniMapNpcInfo record;
                std::memcpy(static_cast<void*>(&record), data[1], sizeof(record));
                queries.try_emplace(record.id, record);
                return;
            }
            default:
                return;
        }
    }

    void Changed() {
        subscriber.OnFirst();
        subscriber.OnSecond();
    }
};

// ---- The benchmark ------------------------------------------------------------------------

template <class Path>
void RunPath(benchmark::State& state, Op op, std::size_t markers) {
    Path path;
    const Workload& work = GetWorkload(op, markers);
    const Workload* refill = StoreFill(op, markers);
    long expected = 0;
    const auto fill = [&] {
        for (std::size_t i = 0; i < refill->Count(); ++i) {
            path.Receive(refill->Data(i), refill->Size(i));
        }
        expected += static_cast<long>(refill->Count());
    };
    if (refill != nullptr) {
        fill();
    }

    const bool emits = op != Op::QueryResult;
    const bool rounds = op == Op::Remove || op == Op::QueryResult;
    std::size_t i = 0;
    for (auto _ : state) {
        if (i == work.Count()) {
            i = 0;
            if (rounds) {
                state.PauseTiming();
                if (op == Op::Remove) {
                    fill();
                } else {
                    path.ClearQuery();
                }
                state.ResumeTiming();
            }
        }
        path.Receive(work.Data(i), work.Size(i));
        ++i;
        expected += emits ? 1 : 0;
    }

    if (path.subscriber.first != expected || path.subscriber.second != expected) {
        state.SkipWithError("the slots were not called once per changing message");
    }
    state.SetItemsProcessed(state.iterations());
}

struct Case {
    const char* name;
    Op op;
};

constexpr Case kCases[] = {
    {"SetPlayer", Op::SetPlayer},
    {"SetNpc", Op::SetNpc},
    {"Remove", Op::Remove},
    {"QueryResult", Op::QueryResult},
};

struct Size {
    const char* name;
    std::size_t markers;
};

constexpr Size kSizes[] = {{"1k", 1000}, {"100k", 100000}};

// ---- Instruction counts ---------------------------------------------------------------------

/// One pass over the workload. Kept out of line so that callgrind can count exactly this
/// (--toggle-collect='*MeasuredPass*').
template <class Path>
__attribute__((noinline)) void MeasuredPass(Path& path, const Workload& work) {
    for (std::size_t i = 0; i < work.Count(); ++i) {
        path.Receive(work.Data(i), work.Size(i));
    }
}

/// For `--instructions=<Op>.<size>/<design>`: fills the stores as RunPath does, then makes one
/// measured pass of n messages. Run under callgrind to get instructions per message, which,
/// unlike times, do not move with the load of a shared machine (scripts/bench_instructions.py).
template <class Path>
int CountInstructions(Op op, std::size_t markers) {
    Path path;
    const Workload& work = GetWorkload(op, markers);
    const Workload* fill = StoreFill(op, markers);
    for (std::size_t i = 0; fill != nullptr && i < fill->Count(); ++i) {
        path.Receive(fill->Data(i), fill->Size(i));
    }
    MeasuredPass(path, work);
    std::printf("%zu messages\n", work.Count());
    return 0;
}

/// Receives every log record and drops it.
class DroppingSink : public os::ILogSink {
public:
    void Write(const os::LogRecord& record) override { benchmark::DoNotOptimize(record.text); }
};

void RunMalformed(benchmark::State& state) {
    benchhost::MiniMapHost host;
    DroppingSink sink;
    os::ILogSink* previous = os::Log::GetInstance().SetSink(&sink);
    const std::uint32_t levels = os::Log::GetInstance().GetEnabledLevels();
    os::Log::GetInstance().SetEnabledLevels(1u << 3);
    NetMsg msg(pyr::MiniMapMsgType, pyr::MiniMapSyncMsgId);
    const std::uint8_t shortOp = 0;
    msg.AddChunk(&shortOp, sizeof(shortOp), 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(msg.GetBytes());
    const auto size = static_cast<std::size_t>(msg.GetLength());
    for (auto _ : state) {
        host.client.Receive(bytes, size);
    }
    os::Log::GetInstance().SetEnabledLevels(levels);
    os::Log::GetInstance().SetSink(previous);
}

int RunInstructionMode(const std::string& which) {
    for (const Case& c : kCases) {
        for (const Size& s : kSizes) {
            const std::string prefix = std::string(c.name) + "." + s.name + "/";
            if (which == prefix + "os") {
                return CountInstructions<ModulePath>(c.op, s.markers);
            }
            if (which == prefix + "std_function") {
                return CountInstructions<StdFunctionPath>(c.op, s.markers);
            }
            if (which == prefix + "signals2") {
                return CountInstructions<Signals2Path>(c.op, s.markers);
            }
            if (which == prefix + "lean") {
                return CountInstructions<LeanPath>(c.op, s.markers);
            }
        }
    }
    std::fprintf(stderr, "unknown case %s\n", which.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strncmp(argv[1], "--instructions=", 15) == 0) {
        return RunInstructionMode(argv[1] + 15);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // Registered case by case so that the designs of one case run next to each other.
    for (const Case& c : kCases) {
        for (const Size& s : kSizes) {
            const std::string prefix = std::string("Path.") + c.name + "." + s.name + "/";
            const auto add = [&](const char* impl, auto run) {
                benchmark::RegisterBenchmark((prefix + impl).c_str(),
                                             [run, op = c.op, n = s.markers](
                                                 benchmark::State& state) { run(state, op, n); });
            };
            add("os",
                [](benchmark::State& st, Op op, std::size_t n) { RunPath<ModulePath>(st, op, n); });
            add("std_function", [](benchmark::State& st, Op op, std::size_t n) {
                RunPath<StdFunctionPath>(st, op, n);
            });
            add("signals2", [](benchmark::State& st, Op op, std::size_t n) {
                RunPath<Signals2Path>(st, op, n);
            });
            add("lean",
                [](benchmark::State& st, Op op, std::size_t n) { RunPath<LeanPath>(st, op, n); });
        }
    }
    benchmark::RegisterBenchmark("Path.Malformed/os", RunMalformed);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
