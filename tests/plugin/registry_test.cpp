#include <barrier>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "TestContainers.h"
#include "plinth/String.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "support/LogCapture.h"

namespace {

using os::LogKind;
using plugintest::Journal;
using plugintest::RivalContainer;
using plugintest::TestContainer;
using plugintest::TestHost;
using plugintest::TestId;
using Events = std::vector<std::string>;

/// The registry order as the walks see it: labels of the prepare hooks of a start.
Events StartOrder(TestHost& root, Journal& journal) {
    journal.events.clear();
    EXPECT_TRUE(root.StartContainer());
    Events order = journal.events;
    EXPECT_TRUE(root.ShutdownContainer());
    journal.events.clear();
    Events prepared;
    for (const auto& e : order) {
        if (e.rfind("prepare ", 0) == 0) {
            prepared.push_back(e.substr(8));
        }
    }
    return prepared;
}

/// (kind, text) of every record, call-stack texts left out.
std::vector<std::pair<LogKind, std::string>> Records(const test::LogCapture& capture) {
    std::vector<std::pair<LogKind, std::string>> out;
    for (const auto& r : capture.Records()) {
        out.emplace_back(r.kind, r.kind == LogKind::CallStack ? "" : r.text);
    }
    return out;
}

std::pair<LogKind, std::string> Line(std::string text) {
    return {LogKind::Line, std::move(text)};
}
std::pair<LogKind, std::string> Stack() {
    return {LogKind::CallStack, ""};
}

/// The text of the os::String that `query` throws, or "no exception".
template <class Query>
std::string Thrown(Query&& query) {
    try {
        query();
    } catch (const os::String& text) {
        return text;
    }
    return "no exception";
}

/// What a required query for the role system's identifier, asked of `asker`'s children (or of
/// its siblings), throws; the out pointer of type Wanted* stays null.
template <class Wanted>
std::string RequiredMissText(IPluginContainer& asker, bool siblings) {
    Wanted* out = nullptr;
    const std::string text = Thrown([&] {
        if (siblings) {
            asker.QuerySiblingContainer(out, RoleSystemTypeId, true);
        } else {
            asker.QueryChildContainer(out, RoleSystemTypeId, true);
        }
    });
    EXPECT_EQ(out, nullptr);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Registration and its refusals

TEST(Registry, NullChildIsRefusedWithItsLineAndACallStack) {
    test::LogCapture capture;
    TestHost root("root", HostContainerTypeId);
    EXPECT_FALSE(root.RegisterChildContainer(nullptr));
    EXPECT_EQ(Records(capture),
              (std::vector{Line("IPluginContainer::RegisterChildContainer() error : cpc==NULL"),
                           Stack()}));
    EXPECT_EQ(capture.Records()[0].level, 3);
}

TEST(Registry, RegisteringTheSameChildTwiceNamesTheChildAndItsParent) {
    test::LogCapture capture;
    TestHost root("root", HostContainerTypeId);
    TestContainer child("child", TestId(1));
    ASSERT_TRUE(root.RegisterChildContainer(&child));
    EXPECT_FALSE(root.RegisterChildContainer(&child));

    TestHost other("other", HostContainerTypeId);
    EXPECT_FALSE(other.RegisterChildContainer(&child));
    const auto already = Line(
        "IPluginContainer::RegisterChildContainer() error : cpc(plugintest::TestContainer) already "
        "registed to type=plugintest::TestHost");
    EXPECT_EQ(Records(capture), (std::vector{already, Stack(), already, Stack()}));
    EXPECT_EQ(child.GetParentContainer(), &root);
    EXPECT_EQ(other.FindChildContainer(TestId(1)), nullptr);
}

TEST(Registry, SecondContainerOfARegisteredTypeIsRefusedAndLeftUntouched) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer first("first", TestId(7), 0xFFFF, &journal);
    RivalContainer newcomer("newcomer", TestId(7), 0xFFFF, &journal);
    TestContainer bystander("bystander", TestId(8), 0xFFFF, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&first));
    ASSERT_TRUE(root.RegisterChildContainer(&bystander));
    journal.events.clear();
    capture.Clear();

    EXPECT_FALSE(root.RegisterChildContainer(&newcomer));
    EXPECT_EQ(Records(capture),
              (std::vector{Line("IPluginContainer::RegisterChildContainer() error : same "
                                "plugin(plugintest::RivalContainer) as "
                                "cpc(plugintest::TestContainer) already registed to "
                                "type=plugintest::TestHost"),
                           Stack()}));
    EXPECT_EQ(newcomer.GetParentContainer(), nullptr);
    EXPECT_EQ(root.FindChildContainer(TestId(7)), &first);
    EXPECT_TRUE(journal.events.empty());  // no sibling heard of it
}

TEST(Registry, RefusalWritesTheCallStackEvenWhenItsLevelIsDisabled) {
    test::LogCapture capture(1u << 2);
    TestHost root("root", HostContainerTypeId);
    EXPECT_FALSE(root.RegisterChildContainer(nullptr));
    EXPECT_EQ(Records(capture), (std::vector{Stack()}));
}

TEST(Registry, ChildrenStandInAscendingOrderAndEqualOrdersInRegistrationOrder) {
    plugintest::OrderedTree tree;
    test::LogCapture capture;
    EXPECT_EQ(StartOrder(tree.root, tree.journal), (Events{"host", "5", "10a", "10b", "65535"}));
}

// ---------------------------------------------------------------------------------------------
// Sibling hooks

/// A journaled root "root" with children p, q, ... (identifiers 1, 2, ...) made on demand.
class RegistryTree : public ::testing::Test, protected plugintest::Tree {};

TEST_F(RegistryTree, SiblingsPresentBeforeHearOfANewcomerInRegistryOrder) {
    Add("p", 0xFFFF);
    TestContainer& q = Add("q", 0xFFFF);
    TestContainer& r = Make("r", 0xFFFF);
    Take();

    ASSERT_TRUE(root.RegisterChildContainer(&r));
    EXPECT_EQ(Take(), (Events{"registered p:r", "registered q:r"}));

    ASSERT_TRUE(root.UnregisterChildContainer(&q));
    EXPECT_EQ(Take(), (Events{"unregistered p:q", "unregistered r:q"}));
    EXPECT_EQ(q.GetParentContainer(), nullptr);
    EXPECT_EQ(root.FindChildContainer(TestId(2)), nullptr);
}

TEST(Registry, SiblingHooksMayAskTheParentAndSeeTheLeaverStillRegistered) {
    TestHost root("root", HostContainerTypeId);
    TestContainer p("p", TestId(1));
    TestContainer q("q", TestId(2));
    ASSERT_TRUE(root.RegisterChildContainer(&p));
    ASSERT_TRUE(root.RegisterChildContainer(&q));
    bool leaverFound = false;
    IPluginContainer* leaverParent = nullptr;
    p.onSiblingUnregistered = [&](IPluginContainer* leaver) {
        TestContainer* found = nullptr;
        leaverFound = p.QuerySiblingContainer(found, TestId(2), false) && found == leaver;
        leaverParent = leaver->GetParentContainer();
    };
    ASSERT_TRUE(root.UnregisterChildContainer(&q));
    EXPECT_TRUE(leaverFound);
    EXPECT_EQ(leaverParent, &root);
}

TEST(Registry, UnregisteringAChildOfAnotherParentChangesAndLogsNothing) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestHost other("other", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer child("child", TestId(1), 0xFFFF, &journal);
    TestContainer sibling("sibling", TestId(2), 0xFFFF, &journal);
    ASSERT_TRUE(other.RegisterChildContainer(&sibling));
    ASSERT_TRUE(other.RegisterChildContainer(&child));
    journal.events.clear();

    EXPECT_FALSE(root.UnregisterChildContainer(&child));
    EXPECT_FALSE(root.UnregisterChildContainer(nullptr));
    EXPECT_EQ(child.GetParentContainer(), &other);
    EXPECT_EQ(other.FindChildContainer(TestId(1)), &child);
    EXPECT_TRUE(journal.events.empty());
    EXPECT_TRUE(capture.Records().empty());
}

// A sibling hook that throws fails the registration or unregistration it was told of, whose
// caller (a plug-in's InitPluginContainer, say) would be blamed: the line names the container
// whose hook threw and what it threw.
TEST(Registry, SiblingHookThatThrowsIsNamedWithItsTextAndTheCallerGetsTheException) {
    test::LogCapture capture;
    TestHost root("root", HostContainerTypeId);
    TestContainer p("p", TestId(1));
    RivalContainer r("r", TestId(2));
    ASSERT_TRUE(root.RegisterChildContainer(&p));
    p.onSiblingRegistered = [](IPluginContainer*) { throw std::runtime_error("p refuses"); };
    p.onSiblingUnregistered = [](IPluginContainer*) { throw std::runtime_error("p objects"); };

    EXPECT_THROW(root.RegisterChildContainer(&r), std::runtime_error);
    EXPECT_THROW(root.UnregisterChildContainer(&r), std::runtime_error);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{"IPluginContainer::RegisterChildContainer() : "
                                        "plugintest::TestContainer::OnSiblingContainerRegistered("
                                        "plugintest::RivalContainer) threw: p refuses",
                                        "IPluginContainer::UnregisterChildContainer() : "
                                        "plugintest::TestContainer::OnSiblingContainerUnregistered("
                                        "plugintest::RivalContainer) threw: p objects"}));
    p.onSiblingUnregistered = nullptr;
    EXPECT_TRUE(root.UnregisterChildContainer(&r));
}

// Hooks that change the registry while the siblings are being told: only containers still
// registered at that moment hear anything.

TEST_F(RegistryTree, SiblingRemovedByAnEarlierHookDoesNotHearOfTheNewcomer) {
    TestContainer& p = Add("p", 0xFFFF);
    auto q = std::make_unique<TestContainer>("q", TestId(100), 0xFFFF, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(q.get()));
    Add("s", 0xFFFF);
    TestContainer& r = Make("r", 0xFFFF);
    p.onSiblingRegistered = [&](IPluginContainer*) {
        root.UnregisterChildContainer(q.get());
        q.reset();  // deleted: telling it anything now would be a use after free
    };
    Take();

    ASSERT_TRUE(root.RegisterChildContainer(&r));
    EXPECT_EQ(Take(), (Events{"registered p:r", "unregistered p:q", "unregistered s:q",
                              "unregistered r:q", "registered s:r"}));
}

TEST_F(RegistryTree, NewcomerRemovedByAHookIsNotAnnouncedToTheRemainingSiblings) {
    TestContainer& p = Add("p", 0xFFFF);
    Add("q", 0xFFFF);
    TestContainer& r = Make("r", 0xFFFF);
    p.onSiblingRegistered = [&](IPluginContainer* newcomer) {
        root.UnregisterChildContainer(newcomer);
    };
    Take();

    EXPECT_TRUE(root.RegisterChildContainer(&r));
    // q hears that r left, and never that it came: that news was no longer true.
    EXPECT_EQ(Take(), (Events{"registered p:r", "unregistered p:r", "unregistered q:r"}));
    EXPECT_EQ(r.GetParentContainer(), nullptr);
    EXPECT_EQ(root.FindChildContainer(TestId(3)), nullptr);
}

TEST_F(RegistryTree, UnregisterErasesOnlyAnEntryThatIsStillThereAfterTheHooks) {
    TestContainer& p = Add("p", 0xFFFF);
    TestContainer& q = Add("q", 0xFFFF);
    TestContainer& r = Add("r", 0xFFFF);
    TestContainer& s = Add("s", 0xFFFF);
    bool nested = false;
    bool nestedResult = false;
    p.onSiblingUnregistered = [&](IPluginContainer* leaver) {
        if (!nested) {
            nested = true;
            nestedResult = root.UnregisterChildContainer(leaver);
        }
    };
    Take();

    EXPECT_FALSE(root.UnregisterChildContainer(&q));  // the nested call removed it
    EXPECT_TRUE(nestedResult);
    EXPECT_EQ(q.GetParentContainer(), nullptr);
    // Each sibling heard once; r and s are both still registered and in their order.
    EXPECT_EQ(Take(), (Events{"unregistered p:q", "unregistered p:q", "unregistered r:q",
                              "unregistered s:q"}));
    EXPECT_EQ(root.FindChildContainer(TestId(3)), &r);
    EXPECT_EQ(root.FindChildContainer(TestId(4)), &s);
    EXPECT_EQ(StartOrder(root, journal), (Events{"root", "p", "r", "s"}));
}

// ---------------------------------------------------------------------------------------------
// Typed queries

TEST(Query, ChildQueryHandsOutTheChildAsItsClass) {
    TestHost root("root", HostContainerTypeId);
    RivalContainer rival("rival", RoleSystemTypeId);
    ASSERT_TRUE(root.RegisterChildContainer(&rival));
    RivalContainer* found = nullptr;
    EXPECT_TRUE(root.QueryChildContainer(found, RoleSystemTypeId, true));
    EXPECT_EQ(found, &rival);
}

TEST(Query, MissOfAnOptionalContainerLeavesTheOutPointerAlone) {
    TestHost root("root", HostContainerTypeId);
    TestContainer lonely("lonely", TestId(1));
    TestContainer sentinel("sentinel", TestId(2));
    TestContainer* out = &sentinel;
    EXPECT_FALSE(root.QueryChildContainer(out, RoleSystemTypeId, false));
    EXPECT_EQ(out, &sentinel);
    EXPECT_FALSE(lonely.QuerySiblingContainer(out, TestId(2), false));
    EXPECT_EQ(out, &sentinel);
}

TEST(Query, MissOfARequiredChildThrowsTheTextWithTheGbkWordForFailed) {
    TestHost root("root", HostContainerTypeId);
    EXPECT_EQ(RequiredMissText<RivalContainer>(root, false),
              "[plugintest::TestHost]QueryChildContainer()[plugintest::RivalContainer]"
              "\xCA\xA7\xB0\xDC");
}

TEST(Query, SiblingIsFoundThroughTheParentAndAContainerFindsItself) {
    TestHost root("root", HostContainerTypeId);
    TestContainer self("self", MiniMapContainerTypeId);
    RivalContainer role("role", RoleSystemTypeId);
    ASSERT_TRUE(root.RegisterChildContainer(&self));
    ASSERT_TRUE(root.RegisterChildContainer(&role));
    RivalContainer* sibling = nullptr;
    EXPECT_TRUE(self.QuerySiblingContainer(sibling, RoleSystemTypeId, false));
    EXPECT_EQ(sibling, &role);
    TestContainer* itself = nullptr;
    EXPECT_TRUE(self.QuerySiblingContainer(itself, MiniMapContainerTypeId, true));
    EXPECT_EQ(itself, &self);
}

TEST(Query, MissOfARequiredSiblingNamesThisClassTheParentsClassAndTheWantedClass) {
    TestHost root("root", HostContainerTypeId);
    RivalContainer self("self", MiniMapContainerTypeId);
    ASSERT_TRUE(root.RegisterChildContainer(&self));
    EXPECT_EQ(RequiredMissText<TestContainer>(self, true),
              "[plugintest::RivalContainer]:[plugintest::TestHost]QuerySiblingContainer()"
              "[plugintest::TestContainer]\xCA\xA7\xB0\xDC");
}

TEST(Query, RequiredSiblingOfAContainerWithoutParentCitesNullForTheParent) {
    RivalContainer orphan("orphan", MiniMapContainerTypeId);
    EXPECT_EQ(RequiredMissText<TestContainer>(orphan, true),
              "[plugintest::RivalContainer]:[NULL]QuerySiblingContainer()"
              "[plugintest::TestContainer]\xCA\xA7\xB0\xDC");
}

// ---------------------------------------------------------------------------------------------
// Threads

/// A child that holds each registering thread inside the registration, after the check of its
/// parent that runs without a lock, until both threads have got that far.
class GatedChild final : public TestContainer {
public:
    using TestContainer::TestContainer;
    const GUID& GetContainerTypeId() const override {
        if (gate != nullptr) {
            gate->arrive_and_wait();
        }
        return TestContainer::GetContainerTypeId();
    }
    std::barrier<>* gate = nullptr;
};

TEST(RegistryConcurrency, TwoParentsRacingForOneChildNeverBothGetIt) {
    test::LogCapture capture;
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        TestHost left("left", HostContainerTypeId);
        RivalContainer right("right", HostContainerTypeId);
        GatedChild child("child", TestId(1));
        std::barrier<> insideBoth(2);
        child.gate = &insideBoth;
        bool leftWon = false;
        bool rightWon = false;
        std::thread other([&] { rightWon = right.RegisterChildContainer(&child); });
        leftWon = left.RegisterChildContainer(&child);
        other.join();
        child.gate = nullptr;

        ASSERT_NE(leftWon, rightWon) << "round " << round;
        IPluginContainer* winner = leftWon ? static_cast<IPluginContainer*>(&left) : &right;
        IPluginContainer* loser = leftWon ? static_cast<IPluginContainer*>(&right) : &left;
        ASSERT_EQ(child.GetParentContainer(), winner);
        ASSERT_EQ(winner->FindChildContainer(TestId(1)), &child);
        ASSERT_EQ(loser->FindChildContainer(TestId(1)), nullptr);

        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0],
                  "IPluginContainer::RegisterChildContainer() error : "
                  "cpc(plugintest::TestContainer) already registed to type=" +
                      winner->GetContainerClassName());
        EXPECT_EQ(capture.Count(LogKind::CallStack), 1u);
        capture.Clear();
        ASSERT_TRUE(winner->UnregisterChildContainer(&child));
    }
}

TEST(RegistryConcurrency, RegistrationIntoASubtreeDuringAWalkIsSafe) {
    test::LogCapture capture;
    constexpr int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        TestHost root("root", HostContainerTypeId);
        TestContainer middle("middle", TestId(1));
        std::vector<std::unique_ptr<TestContainer>> leaves;
        for (std::uint32_t i = 0; i < 8; ++i) {
            leaves.push_back(std::make_unique<TestContainer>("leaf", TestId(10 + i)));
        }
        ASSERT_TRUE(root.RegisterChildContainer(&middle));
        std::barrier meet(2);
        bool started = false;
        std::thread walker([&] {
            meet.arrive_and_wait();
            started = root.StartContainer();
        });
        meet.arrive_and_wait();
        for (auto& leaf : leaves) {
            ASSERT_TRUE(middle.RegisterChildContainer(leaf.get()));
        }
        walker.join();
        EXPECT_TRUE(started);
        EXPECT_TRUE(root.ShutdownContainer());
        for (auto& leaf : leaves) {
            EXPECT_TRUE(middle.UnregisterChildContainer(leaf.get()));
        }
    }
}

}  // namespace
