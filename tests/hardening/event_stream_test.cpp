// The client's event stream against the module it reports on: a consumer that knows nothing
// but the lines rebuilds the three stores exactly, after every event, through a long random
// script of sync messages (many per read, some the module refuses), role resets and new
// queries from another thread. The module, the game-server client and the view are the real
// ones; the client runs a network thread: the suite carries the label concurrency.
#include <gtest/gtest.h>

#include <bit>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "e2e/Json.h"
#include "hardening/ModuleBench.h"
#include "host/GameServerClient.h"
#include "host/HostContainer.h"
#include "host/MarkerSnapshot.h"
#include "host/MiniMapView.h"
#include "host/RoleSystem.h"
#include "plugin/HostServices.h"
#include "server/SimMessages.h"
#include "support/LogCapture.h"
#include "support/Loopback.h"

namespace hardening {
namespace {

/// id -> the record's fields as the stream writes them ("x|y" or "name|x|y|kind|quest").
using Rebuilt = std::map<std::uint64_t, std::string>;

std::string Fields(const test::json::Value& v, bool npc) {
    std::string out = v["x"].text + "|" + v["y"].text;
    if (npc) {
        out = v["name"].text + "|" + out + "|" + v["kind"].text + "|" + v["quest"].text;
    }
    return out;
}

/// The consumer: applies one line to its stores; false with `why` when the line is not one
/// it understands.
bool Apply(const std::string& line, std::map<std::string, Rebuilt>& stores, std::string& why) {
    test::json::Value event;
    if (!test::json::Parse(line, event) || event["version"].text != "1") {
        why = "not a version 1 line: " + line;
        return false;
    }
    for (const test::json::Value& change : event["changes"].items) {
        const std::string& store = change["store"].text;
        Rebuilt& target = stores[store];
        const std::string& op = change["op"].text;
        if (op == "clear") {
            target.clear();
        } else if (op == "remove") {
            target.erase(change["id"].AsUint64());
        } else if (op == "set") {
            std::string& held = target[change["id"].AsUint64()];
            const std::string fields = Fields(change, store != "players");
            if (held == fields) {
                why = "a set that changes nothing the consumer holds: " + line;
                return false;
            }
            held = fields;
        } else {
            why = "unknown op in " + line;
            return false;
        }
    }
    return true;
}

/// The module's stores, written through the stream's own formatter and read back as a
/// consumer reads them; a record whose bytes did not change is not written again.
class Written {
public:
    template <class Map>
    Rebuilt Of(host::MarkerStore store, const Map& live) {
        using Record = typename Map::mapped_type;
        Rebuilt out;
        for (const auto& [id, record] : live) {
            const std::string bytes(reinterpret_cast<const char*>(&record), sizeof record);
            auto& [seen, fields] = cache[{store, id}];
            if (seen != bytes) {
                host::MarkerChange change{host::MarkerChange::Op::Set, store, id};
                if constexpr (std::is_same_v<Record, _MiniMapPlayerInfo>) {
                    change.player = &record;
                } else {
                    change.npc = &record;
                }
                std::string line;
                host::AppendEventJson(line, "MarkersChanged", 1, {change});
                test::json::Value event;
                test::json::Parse(line, event);
                seen = bytes;
                fields = Fields(event["changes"].items.at(0), change.npc != nullptr);
            }
            out[id] = fields;
        }
        return out;
    }

private:
    std::map<std::pair<host::MarkerStore, std::uint64_t>, std::pair<std::string, std::string>>
        cache;
};

/// Sync messages drawn from a small id space, so that Sets replace, Removes hit and miss and
/// QueryResults repeat; names carry bytes that are not UTF-8, positions may be NaN.
class Script {
public:
    explicit Script(std::uint32_t seed) : random(seed) {}

    sim::Bytes Next() {
        const int roll = Pick(100);
        const std::uint64_t id = Id();
        sim::SyncItem item;
        if (roll < 30) {
            item.op = proto::MiniMapSyncOp::Set;
            item.player = true;
            item.playerRecord = proto::MakePlayer(id, Coordinate(), Coordinate());
            return sim::EncodeSync(item);
        }
        if (roll < 55) {
            item.op = proto::MiniMapSyncOp::Set;
            item.npcRecord = Npc(id);
            return sim::EncodeSync(item);
        }
        if (roll < 70) {
            item.op = proto::MiniMapSyncOp::Remove;
            item.player = Pick(2) == 0;
            item.id = id;
            return sim::EncodeSync(item);
        }
        if (roll < 72) {
            return sim::EncodeSync(item);  // Clear
        }
        if (roll < 87) {
            return sim::EncodeQueryResult(Npc(id));
        }
        if (roll < 99) {
            return sim::EncodeQueryEnd();
        }
        // A Set the module refuses: an NPC selector with a player's 16-byte record.
        item.op = proto::MiniMapSyncOp::Set;
        NetMsg msg(proto::MiniMapMsgType, proto::MiniMapSyncMsgId);
        const std::int32_t code = 0;
        const bool npc = false;
        const _MiniMapPlayerInfo record = proto::MakePlayer(id, 1, 2);
        msg.AddChunk(&code, 4, 0);
        msg.AddChunk(&npc, 1, 1);
        msg.AddChunk(&record, sizeof record, 2);
        return sim::Bytes(msg.GetBytes(), msg.GetBytes() + msg.GetLength());
    }

    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    /// A Remove of a player or NPC id outside the script's ids, a new one each time.
    sim::Bytes RemoveOfAbsent() {
        sim::SyncItem item;
        item.op = proto::MiniMapSyncOp::Remove;
        item.player = Pick(2) == 0;
        item.id = 1000 + absent++;
        return sim::EncodeSync(item);
    }

private:
    std::uint64_t Id() {
        const int n = Pick(41);
        return n == 40 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(n);
    }
    /// Now and then a NaN, with a payload of its own: every NaN is written null alike.
    float Coordinate() {
        return Pick(50) == 0 ? std::bit_cast<float>(0x7FC00000u | static_cast<unsigned>(Pick(8)))
                             : static_cast<float>(Pick(2001) - 1000) / 8.0f;
    }
    /// Bytes after the name's NUL and in the reserved word vary: no consumer sees them.
    _MiniMapNpcInfo Npc(std::uint64_t id) {
        static const char* const kNames[] = {"Smith",        "\"Iron\" \\ Gao", "\xE6\x9C\xA8",
                                             "\xB0\xDC GBK", "tab\there",       ""};
        const std::string name = kNames[Pick(6)];
        _MiniMapNpcInfo record = proto::MakeNpc(id, name, Coordinate(), Coordinate(), Pick(6) - 1,
                                                Pick(3) == 0 ? 42 : -1);
        auto* bytes = reinterpret_cast<unsigned char*>(&record);
        bytes[proto::kNpcNameOffset + proto::kNpcNameSize - 1 - name.size() / 2] =
            static_cast<unsigned char>(Pick(2));
        bytes[proto::kNpcReservedOffset] = static_cast<unsigned char>(Pick(2));
        return record;
    }

    std::mt19937 random;
    std::uint64_t absent = 0;
};

/// Hands the view every delivered message, as minimap-client does.
class Tap final : public host::ReceiveTap {
public:
    explicit Tap(host::MiniMapView& view) : view(view) {}
    void OnReceived(const NetMsg& msg) override { view.Touch(msg); }
    void OnBatchDelivered() override {}

private:
    host::MiniMapView& view;
};

// Run with the view's own limit of keys noted between two events, and with a limit of two,
// under which every run of messages that change nothing makes the next event compare whole
// stores.
class EventStreamThreads : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EventStreamThreads, ConsumerRebuildsTheStoresExactlyAfterEveryEvent) {
    ModuleLibrary module;
    ASSERT_TRUE(module.IsLoaded()) << module.Error();
    test::LogCapture log;  // the refused Sets' failure lines
    test::Listener listener;
    host::GameServerClientOptions options;
    options.port = listener.Port();
    options.timeScale = 0.01;
    host::GameServerClient client(options);

    constexpr std::uint64_t kLastId = 1000000;  // set by the script's last message only
    std::mutex mutex;
    std::condition_variable done;
    bool sawLast = false;
    std::uint64_t events = 0;
    std::uint64_t lastSerial = 0;
    std::string mismatch;
    std::map<std::string, Rebuilt> stores;
    Written written;
    pyr::IPyr_MiniMap* minimap = nullptr;

    // Runs under the core lock, on the thread that emitted.
    host::MiniMapView view(
        [&](const host::ViewReport& report) {
            std::string line;
            host::AppendEventJson(line, host::ToString(report.event), report.serial,
                                  *report.changes);
            std::lock_guard<std::mutex> guard(mutex);
            ++events;
            std::string why;
            if (!Apply(line, stores, why) || report.serial != lastSerial + 1) {
                mismatch = mismatch.empty()
                               ? why + " (serial " + std::to_string(report.serial) + ")"
                               : mismatch;
            }
            lastSerial = report.serial;
            if (mismatch.empty() &&
                (stores["players"] !=
                     written.Of(host::MarkerStore::Players, minimap->GetPlayerInfoMap()) ||
                 stores["npcs"] != written.Of(host::MarkerStore::Npcs, minimap->GetNpcInfoMap()) ||
                 stores["query"] !=
                     written.Of(host::MarkerStore::Query, minimap->GetQueryNpcInfoMap()))) {
                mismatch =
                    "the stores differ after event " + std::to_string(report.serial) + ", " + line;
            }
            sawLast = sawLast || stores["players"].count(kLastId) != 0;
            done.notify_all();
        },
        true, GetParam());
    Tap tap(view);
    client.SetReceiveTap(&tap);

    host::HostContainer host;
    host::RoleSystem roles(false);
    host.RegisterChildContainer(&roles);
    host.RegisterChildContainer(&client);
    host.RegisterChildContainer(&view);
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        ASSERT_TRUE(module.InitPlugin());
        ASSERT_TRUE(module.InitPluginContainer(&host));
        ASSERT_TRUE(host.StartContainer());
        minimap = view.GetMiniMap();
    }
    ASSERT_NE(minimap, nullptr);
    client.Start();
    test::Socket server = listener.Accept();
    ASSERT_TRUE(server.IsOpen());

    // Batches of up to 200 messages in one write; between batches this thread resets the
    // role or sends a new query (which empties the query store), as a user would.
    Script script(20261208);
    for (int batch = 0; batch < 40; ++batch) {
        sim::Bytes wire;
        // Now and then a run of Removes of ids never set, which emit nothing, before the
        // batch: the touched keys pile up past the smaller limit.
        for (int i = script.Pick(3) == 0 ? 6 : 0; i > 0; --i) {
            const sim::Bytes message = script.RemoveOfAbsent();
            wire.insert(wire.end(), message.begin(), message.end());
        }
        const int count = 1 + script.Pick(200);
        for (int i = 0; i < count; ++i) {
            const sim::Bytes message = script.Next();
            wire.insert(wire.end(), message.begin(), message.end());
        }
        ASSERT_TRUE(server.Send(wire.data(), wire.size()));
        const int action = script.Pick(6);
        if (action == 0) {
            roles.ResetRole();
        } else if (action == 1) {
            os::ThreadLockHandle coreLock(GetClientCoreLock());
            minimap->RequestNpcQuery(script.Pick(6) - 1);
        }
    }
    sim::SyncItem last;
    last.op = proto::MiniMapSyncOp::Set;
    last.player = true;
    last.playerRecord = proto::MakePlayer(kLastId, 1, 1);
    ASSERT_TRUE(server.Send(sim::EncodeSync(last)));
    {
        std::unique_lock<std::mutex> guard(mutex);
        ASSERT_TRUE(done.wait_for(guard, std::chrono::milliseconds(test::kWaitMs),
                                  [&] { return sawLast || !mismatch.empty(); }));
        EXPECT_EQ(mismatch, "");
        EXPECT_EQ(lastSerial, events);
        EXPECT_GT(events, 2000u) << "the script should have made thousands of events";
    }

    client.Stop();
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        EXPECT_TRUE(host.ShutdownContainer());
        module.ReleasePluginContainer(&host);
    }
    EXPECT_TRUE(module.ReleasePlugin());
    host.UnregisterChildContainer(&view);
    host.UnregisterChildContainer(&client);
    host.UnregisterChildContainer(&roles);
    module.Unload();
}

INSTANTIATE_TEST_SUITE_P(TouchedKeys, EventStreamThreads,
                         ::testing::Values(host::StoreMirror::kTouchedLimit, std::size_t{2}),
                         [](const auto& info) {
                             return info.param == 2 ? "WholeStoresComparedPastTwo" : "Listed";
                         });

}  // namespace
}  // namespace hardening
