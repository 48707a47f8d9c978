#include "function/Dispatcher.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "function/Bind.h"
#include "net/ISender.h"
#include "net/NetMsg.h"
#include "net/NetMsgDispatcher.h"
#include "support/LogCapture.h"

namespace {

struct TestSender : ISender {};

// Records which handler saw which message.
struct Handlers {
    std::vector<std::string> calls;

    void OnA(ISender*, const NetMsg* msg) {
        calls.push_back("a:" + std::to_string(msg->GetMsgID()));
    }
    void OnB(ISender*, const NetMsg* msg) {
        calls.push_back("b:" + std::to_string(msg->GetMsgID()));
    }
};

// A handler that counts its live copies and may throw.
struct CountedHandler {
    static inline int live = 0;
    int* calls;
    bool throws;

    CountedHandler(int* c, bool t) : calls(c), throws(t) { ++live; }
    CountedHandler(const CountedHandler& other) : calls(other.calls), throws(other.throws) {
        ++live;
    }
    ~CountedHandler() { --live; }
    CountedHandler& operator=(const CountedHandler&) = default;

    void operator()(ISender*, const NetMsg*) const {
        ++*calls;
        if (throws) {
            throw std::runtime_error("handler failed");
        }
    }
};

// The dispatcher knows nothing of messages: it routes any call by the key its trait reads, and
// a trait without Accepts drops no call.
struct KeyOfFirstArgument {
    static int GetKey(int key, std::string&) noexcept { return key; }
};

TEST(Dispatcher, RoutesAnyCallByTheKeyItsTraitReads) {
    DispatcherBase<int, os::Function<void(int, std::string&)>, KeyOfFirstArgument> dispatcher;
    EXPECT_TRUE(dispatcher.Register(
        0, [](int key, std::string& out) { out += "zero:" + std::to_string(key) + ";"; }));
    std::string out;
    dispatcher(0, out);
    dispatcher(7, out);
    EXPECT_EQ(out, "zero:0;");
}

TEST(Dispatcher, FirstRegistrationWinsAndTheMessageStillReachesIt) {
    Handlers h;
    NetMsgIdDispatcher dispatcher;
    TestSender sender;
    const NetMsg msg(32, 254);

    EXPECT_TRUE(dispatcher.Register(254, os::bind(&Handlers::OnA, &h)));
    EXPECT_FALSE(dispatcher.Register(254, os::bind(&Handlers::OnB, &h)));
    dispatcher(&sender, &msg);

    EXPECT_EQ(h.calls, (std::vector<std::string>{"a:254"}));
    EXPECT_EQ(dispatcher.GetHandler(254), NetMsgHandler(os::bind(&Handlers::OnA, &h)));
}

TEST(Dispatcher, UnregisterAndClearRemoveEntries) {
    Handlers h;
    NetMsgIdDispatcher dispatcher;
    dispatcher.Register(254, os::bind(&Handlers::OnA, &h));
    dispatcher.Register(1, os::bind(&Handlers::OnB, &h));

    EXPECT_TRUE(dispatcher.Unregister(254));
    EXPECT_FALSE(dispatcher.Unregister(254));
    EXPECT_TRUE(dispatcher.Register(254, os::bind(&Handlers::OnB, &h)));
    dispatcher.ClearHandlers();
    EXPECT_EQ(dispatcher.GetHandlerCount(), 0u);
}

TEST(Dispatcher, MessageWithoutAHandlerIsDroppedSilently) {
    test::LogCapture capture;
    Handlers h;
    NetMsgIdDispatcher dispatcher;
    TestSender sender;
    dispatcher.Register(254, os::bind(&Handlers::OnA, &h));
    const NetMsg other(32, 253);

    dispatcher(&sender, &other);

    EXPECT_TRUE(h.calls.empty());
    EXPECT_TRUE(capture.Records().empty());
}

TEST(Dispatcher, NullSenderOrNullMessageDispatchesNothing) {
    Handlers h;
    NetMsgIdDispatcher dispatcher;
    TestSender sender;
    dispatcher.Register(254, os::bind(&Handlers::OnA, &h));
    const NetMsg msg(32, 254);

    dispatcher(nullptr, &msg);
    dispatcher(&sender, nullptr);
    dispatcher(nullptr, nullptr);

    EXPECT_TRUE(h.calls.empty());
}

TEST(Dispatcher, MissingKeyGivesAnEmptyHandlerAndEmptyHandlersRegisterLikeOthers) {
    Handlers h;
    NetMsgIdDispatcher dispatcher;
    TestSender sender;
    const NetMsg msg(32, 9);
    const NetMsgHandler missing = dispatcher.GetHandler(9);
    EXPECT_TRUE(missing.IsEmpty());
    missing(&sender, &msg);

    EXPECT_TRUE(dispatcher.Register(9, NetMsgHandler()));
    EXPECT_FALSE(dispatcher.Register(9, os::bind(&Handlers::OnA, &h)));
    dispatcher(&sender, &msg);
    EXPECT_TRUE(h.calls.empty());
}

// The path of a server message: the game-server client's dispatcher selects by type, the
// plug-in's dispatcher (registered there as a copy) selects by identifier.
TEST(Dispatcher, TypeDispatcherRoutesToTheRegisteredIdDispatcher) {
    Handlers h;
    NetMsgIdDispatcher byId;
    NetMsgTypeDispatcher byType;
    TestSender sender;
    byId.Register(254, os::bind(&Handlers::OnA, &h));
    EXPECT_TRUE(byType.Register(32, byId));

    const NetMsg mine(32, 254);
    const NetMsg otherId(32, 200);
    const NetMsg otherType(33, 254);
    byType(&sender, &mine);
    byType(&sender, &otherId);
    byType(&sender, &otherType);

    EXPECT_EQ(h.calls, (std::vector<std::string>{"a:254"}));
}

TEST(Dispatcher, RegisteredCopyKeepsTheTableItWasMadeWith) {
    Handlers h;
    NetMsgIdDispatcher byId;
    NetMsgTypeDispatcher byType;
    TestSender sender;
    byId.Register(254, os::bind(&Handlers::OnA, &h));
    byType.Register(32, byId);

    byId.Unregister(254);
    byId.Register(254, os::bind(&Handlers::OnB, &h));
    byId.Register(100, os::bind(&Handlers::OnB, &h));

    const NetMsg msg(32, 254);
    const NetMsg added(32, 100);
    byType(&sender, &msg);
    byType(&sender, &added);
    EXPECT_EQ(h.calls, (std::vector<std::string>{"a:254"}));
}

// A table grows from the few entries a plug-in registers to many: every key stays reachable,
// in the table and in a copy, through the growth and after removals.
TEST(Dispatcher, EveryKeyStaysReachableAsTheTableGrowsAndShrinks) {
    constexpr unsigned short kKeys = 300;
    std::vector<int> calls(kKeys, 0);
    NetMsgIdDispatcher byId;
    TestSender sender;
    for (unsigned short key = 0; key < kKeys; ++key) {
        ASSERT_TRUE(byId.Register(key, [&calls, key](ISender*, const NetMsg*) { ++calls[key]; }));
        ASSERT_FALSE(byId.Register(key, NetMsgHandler())) << key;
        ASSERT_EQ(byId.GetHandlerCount(), key + 1u);
        // While the table is small its entries share one bucket: each is still found, and a
        // key not registered is not.
        for (unsigned short k = 0; key < 16 && k <= key + 1; ++k) {
            EXPECT_EQ(byId.GetHandler(k).IsEmpty(), k > key) << key << " " << k;
        }
    }
    for (unsigned short key = 0; key < kKeys; key += 2) {
        ASSERT_TRUE(byId.Unregister(key));
    }
    const NetMsgIdDispatcher copy = byId;
    for (unsigned short key = 0; key < kKeys; ++key) {
        const NetMsg msg(32, key);
        byId(&sender, &msg);
        copy(&sender, &msg);
        EXPECT_EQ(calls[key], key % 2 == 0 ? 0 : 2) << key;
    }
}

TEST(Dispatcher, FunctionsOverDispatchersCompareByTable) {
    Handlers h;
    Handlers other;
    NetMsgIdDispatcher a;
    NetMsgIdDispatcher b;
    a.Register(254, os::bind(&Handlers::OnA, &h));
    b.Register(254, os::bind(&Handlers::OnA, &h));
    EXPECT_EQ(NetMsgHandler(a), NetMsgHandler(b));

    NetMsgIdDispatcher otherHandler;
    otherHandler.Register(254, os::bind(&Handlers::OnA, &other));
    EXPECT_NE(NetMsgHandler(a), NetMsgHandler(otherHandler));

    NetMsgIdDispatcher otherKey;
    otherKey.Register(253, os::bind(&Handlers::OnA, &h));
    EXPECT_NE(NetMsgHandler(a), NetMsgHandler(otherKey));

    b.Register(1, os::bind(&Handlers::OnA, &h));
    EXPECT_NE(NetMsgHandler(a), NetMsgHandler(b));
    EXPECT_NE(NetMsgHandler(a), NetMsgHandler(NetMsgIdDispatcher()));

    // The same table under another key trait is another callable type.
    NetMsgTypeDispatcher byType;
    byType.Register(254, os::bind(&Handlers::OnA, &h));
    EXPECT_NE(NetMsgHandler(a), NetMsgHandler(byType));
}

// A handler that unregisters itself while it runs; the running call works on a copy.
struct SelfRemover {
    NetMsgIdDispatcher* dispatcher;
    int calls = 0;

    void Handle(ISender*, const NetMsg*) {
        dispatcher->Unregister(254);
        dispatcher->Register(254, os::bind(&SelfRemover::Handle, this));
        dispatcher->Unregister(254);
        ++calls;
    }
};

TEST(Dispatcher, HandlerMayUnregisterItselfWhileItRuns) {
    NetMsgIdDispatcher dispatcher;
    SelfRemover remover{&dispatcher};
    TestSender sender;
    dispatcher.Register(254, os::bind(&SelfRemover::Handle, &remover));
    const NetMsg msg(32, 254);

    dispatcher(&sender, &msg);
    dispatcher(&sender, &msg);

    EXPECT_EQ(remover.calls, 1);
    EXPECT_EQ(dispatcher.GetHandlerCount(), 0u);
}

TEST(Dispatcher, HandlerThatThrowsReleasesTheDispatchCopy) {
    int calls = 0;
    {
        NetMsgIdDispatcher dispatcher;
        TestSender sender;
        dispatcher.Register(254, CountedHandler(&calls, true));
        ASSERT_EQ(CountedHandler::live, 1);
        const NetMsg msg(32, 254);

        EXPECT_THROW(dispatcher(&sender, &msg), std::runtime_error);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(CountedHandler::live, 1);
    }
    EXPECT_EQ(CountedHandler::live, 0);
}

// A derived dispatcher changes the lookup that dispatch uses.
class FallbackDispatcher : public NetMsgIdDispatcher {
public:
    NetMsgHandler fallback;

    NetMsgHandler GetHandler(unsigned short key) const override {
        NetMsgHandler handler = NetMsgIdDispatcher::GetHandler(key);
        return handler.IsEmpty() ? fallback : handler;
    }
};

TEST(Dispatcher, DispatchLooksUpThroughTheOverriddenGetHandler) {
    Handlers h;
    FallbackDispatcher dispatcher;
    dispatcher.fallback = os::bind(&Handlers::OnB, &h);
    dispatcher.Register(254, os::bind(&Handlers::OnA, &h));
    TestSender sender;
    const NetMsg known(32, 254);
    const NetMsg unknown(32, 17);

    dispatcher(&sender, &known);
    dispatcher(&sender, &unknown);
    EXPECT_EQ(h.calls, (std::vector<std::string>{"a:254", "b:17"}));
}

}  // namespace
