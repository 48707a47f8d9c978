#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestContainers.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "support/LogCapture.h"

namespace {

using plugintest::Journal;
using plugintest::OrderedTree;
using plugintest::RivalContainer;
using plugintest::TestContainer;
using plugintest::TestHost;
using plugintest::TestId;
using Events = std::vector<std::string>;
using Lines = std::vector<std::string>;

/// The six lines of a walk's start and end for one container, in "start ... ok" pairs.
std::string Before(const std::string& walk, const std::string& name, const std::string& cls) {
    return "start " + name + " " + cls + " :: " + walk + "()";
}
std::string After(const std::string& walk, const std::string& name, const std::string& cls) {
    return name + " " + cls + " :: " + walk + "() ok";
}

TEST(Lifecycle, RootWithoutChildrenWritesSixLinesToStartAndRefusesASecondStart) {
    test::LogCapture capture;
    TestHost root("root", HostContainerTypeId);
    root.SetContainerName("core");
    const std::string cls = "plugintest::TestHost";

    EXPECT_TRUE(root.StartContainer());
    EXPECT_EQ(
        capture.Lines(),
        (Lines{"start call core::StartContainer()", Before("DoPrepareParentStart", "core", cls),
               After("DoPrepareParentStart", "core", cls), Before("DoParentStart", "core", cls),
               After("DoParentStart", "core", cls), "call core::StartContainer() ok"}));
    for (const auto& r : capture.Records()) {
        EXPECT_EQ(r.level, 2);
    }

    capture.Clear();
    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(capture.Lines(), (Lines{"start call core::StartContainer()"}));

    capture.Clear();
    EXPECT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(
        capture.Lines(),
        (Lines{
            "start call core::ShutdownContainer()", Before("DoPrepareParentShutdown", "core", cls),
            After("DoPrepareParentShutdown", "core", cls), Before("DoParentShutdown", "core", cls),
            After("DoParentShutdown", "core", cls), "call core::ShutdownContainer() ok"}));
    EXPECT_EQ(Flags(root), "");
}

TEST(Lifecycle, ShutdownOfAnIdleRootIsRefusedSilently) {
    test::LogCapture capture;
    TestHost root("root", HostContainerTypeId);
    EXPECT_FALSE(root.ShutdownContainer());
    EXPECT_TRUE(capture.Records().empty());
}

TEST(Lifecycle, LinesAreNotWrittenWhileLevelTwoIsDisabled) {
    test::LogCapture capture(1u << 3);
    OrderedTree tree;
    EXPECT_TRUE(tree.root.StartContainer());
    EXPECT_TRUE(tree.root.ShutdownContainer());
    EXPECT_TRUE(capture.Records().empty());
}

TEST(Lifecycle, StartPhasesVisitInRegistryOrderAndShutdownPhasesInReverse) {
    test::LogCapture capture;
    OrderedTree tree;
    tree.journal.events.clear();

    EXPECT_TRUE(tree.root.StartContainer());
    EXPECT_EQ(tree.journal.events,
              (Events{"prepare host", "prepare 5", "prepare 10a", "prepare 10b", "prepare 65535",
                      "start host", "start 5", "start 10a", "start 10b", "start 65535"}));

    tree.journal.events.clear();
    EXPECT_TRUE(tree.root.ShutdownContainer());
    EXPECT_EQ(tree.journal.events,
              (Events{"prepare-shutdown host", "prepare-shutdown 65535", "prepare-shutdown 10b",
                      "prepare-shutdown 10a", "prepare-shutdown 5", "shutdown host",
                      "shutdown 65535", "shutdown 10b", "shutdown 10a", "shutdown 5"}));
}

TEST(Lifecycle, EveryContainerWritesItsPairOfLinesAroundItsSubtree) {
    test::LogCapture capture;
    OrderedTree tree;
    ASSERT_TRUE(tree.root.StartContainer());
    const std::string t = "plugintest::TestContainer";
    const std::string host = "plugintest::TestHost";
    const std::string rival = "plugintest::RivalContainer";
    Lines expected{"start call host::StartContainer()"};
    for (const char* walk : {"DoPrepareParentStart", "DoParentStart"}) {
        expected.push_back(Before(walk, "host", host));
        for (const auto& [name, cls] : std::vector<std::pair<std::string, std::string>>{
                 {"5", t}, {"10a", t}, {"10b", t}, {"65535", rival}}) {
            expected.push_back(Before(walk, name, cls));
            expected.push_back(After(walk, name, cls));
        }
        expected.push_back(After(walk, "host", host));
    }
    expected.push_back("call host::StartContainer() ok");
    EXPECT_EQ(capture.Lines(), expected);
    EXPECT_TRUE(tree.root.ShutdownContainer());
}

/// A journaled tree under a root "root", the log captured at level 2.
class LifecycleTree : public ::testing::Test, protected plugintest::Tree {
protected:
    test::LogCapture capture;
};

TEST_F(LifecycleTree, WalksArePreOrderOverTheWholeTree) {
    TestContainer& a = Add("a", 1);
    Add("b", 2);
    Add("a1", 1, &a);
    Add("a2", 2, &a);
    Take();

    ASSERT_TRUE(root.StartContainer());
    ASSERT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(Take(), (Events{"prepare root",
                              "prepare a",
                              "prepare a1",
                              "prepare a2",
                              "prepare b",
                              "start root",
                              "start a",
                              "start a1",
                              "start a2",
                              "start b",
                              "prepare-shutdown root",
                              "prepare-shutdown b",
                              "prepare-shutdown a",
                              "prepare-shutdown a2",
                              "prepare-shutdown a1",
                              "shutdown root",
                              "shutdown b",
                              "shutdown a",
                              "shutdown a2",
                              "shutdown a1"}));
}

TEST_F(LifecycleTree, FailedPrepareStopsTheWalkAndLeavesTheRootActiveButNotStarted) {
    Add("first", 1);
    TestContainer& second = Add("second", 2);
    TestContainer& third = Add("third", 3);
    root.SetContainerName("root");
    second.SetContainerName("second");
    second.onPrepare = [] { return false; };
    Take();

    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(Take(), (Events{"prepare root", "prepare first", "prepare second"}));
    EXPECT_EQ(Flags(root), "active");
    EXPECT_TRUE(third.IsContainerActive());
    // No line after for the refusing container and those around it, and no error line.
    const Lines lines = capture.Lines();
    EXPECT_EQ(lines.back(), Before("DoPrepareParentStart", "second", "plugintest::TestContainer"));
    EXPECT_EQ(capture.Records().size(), lines.size());

    capture.Clear();
    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(capture.Lines(), (Lines{"start call root::StartContainer()"}));

    Take();
    EXPECT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(Take(), (Events{"prepare-shutdown root", "prepare-shutdown third",
                              "prepare-shutdown second", "prepare-shutdown first", "shutdown root",
                              "shutdown third", "shutdown second", "shutdown first"}));
    EXPECT_EQ(Flags(root), "");

    // Idle again, so a start is accepted and runs afresh; second still refuses.
    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(Take(), (Events{"prepare root", "prepare first", "prepare second"}));
    EXPECT_TRUE(root.ShutdownContainer());
}

TEST_F(LifecycleTree, FailedStartPhaseLeavesBothFlagsSetUntilShutdown) {
    TestContainer& child = Add("child", 1);
    TestContainer& after = Add("after", 2);
    child.onStart = [] { return false; };
    Take();

    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(Take(), (Events{"prepare root", "prepare child", "prepare after", "start root",
                              "start child"}));
    EXPECT_EQ(Flags(root), "started active running");
    EXPECT_TRUE(after.IsContainerRunning());
    EXPECT_FALSE(root.StartContainer());

    EXPECT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(Flags(root), "");
}

// Containers that join while a walk is under way, registered by a hook (`registrar`: the
// root itself or the child before the newcomer), and those that join a running tree.
struct Joining {
    const char* name;
    bool byTheRoot;  ///< the root's prepare hook registers the newcomer, else the child's
    Events walk;
};

class LifecycleJoin : public LifecycleTree, public ::testing::WithParamInterface<Joining> {};

TEST_P(LifecycleJoin, NewcomerRegisteredByAPrepareHookIsVisitedAsTheRegistryStandsThen) {
    TestContainer& early = Add("early", 1);
    TestContainer& newcomer = Make("newcomer", 2);
    auto registerNewcomer = [&] { return root.RegisterChildContainer(&newcomer); };
    if (GetParam().byTheRoot) {
        root.onPrepare = registerNewcomer;
    } else {
        early.onPrepare = registerNewcomer;
    }
    Take();

    ASSERT_TRUE(root.StartContainer());
    EXPECT_EQ(Take(), GetParam().walk);
    EXPECT_TRUE(root.ShutdownContainer());
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, LifecycleJoin,
    ::testing::Values(
        // Registered by its parent's prepare hook: prepared in the same walk.
        Joining{"ByItsParent", true,
                Events{"prepare root", "registered early:newcomer", "prepare early",
                       "prepare newcomer", "start root", "start early", "start newcomer"}},
        // Registered into the parent by a sibling's hook: not prepared in this phase, yet the
        // next phase's copy of the registry holds it.
        Joining{"ByASibling", false,
                Events{"prepare root", "prepare early", "registered early:newcomer", "start root",
                       "start early", "start newcomer"}}),
    [](const ::testing::TestParamInfo<Joining>& info) { return std::string(info.param.name); });

TEST_F(LifecycleTree, ChildJoiningARunningTreeIsNotStartedButIsShutDown) {
    TestContainer& newcomer = Make("newcomer", 1);
    ASSERT_TRUE(root.StartContainer());
    Take();

    ASSERT_TRUE(root.RegisterChildContainer(&newcomer));
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(newcomer.IsContainerRunning());

    ASSERT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(Take(), (Events{"prepare-shutdown root", "prepare-shutdown newcomer", "shutdown root",
                              "shutdown newcomer"}));
}

TEST_F(LifecycleTree, StartOfASubtreeChecksTheIdleRootAndMayBeRepeated) {
    TestContainer& sub = Add("sub", 1);
    Add("leaf", 1, &sub);
    Take();

    EXPECT_TRUE(sub.StartContainer());
    EXPECT_TRUE(sub.StartContainer());
    EXPECT_FALSE(sub.IsContainerActive());  // asked of the root, which is still idle
    EXPECT_EQ(Take(), (Events{"prepare sub", "prepare leaf", "start sub", "start leaf",
                              "prepare sub", "prepare leaf", "start sub", "start leaf"}));
    EXPECT_FALSE(sub.ShutdownContainer());  // the root is not active

    ASSERT_TRUE(root.StartContainer());
    EXPECT_FALSE(sub.StartContainer());
    EXPECT_TRUE(root.ShutdownContainer());
}

// Hooks that remove or delete containers the walk has still to visit: the walk visits only
// what is registered at the moment of the visit.

TEST_F(LifecycleTree, ContainerDeletedByAnEarlierHookIsNotVisited) {
    TestContainer& killer = Add("killer", 1);
    auto victim = std::make_unique<TestContainer>("victim", TestId(100), 2, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(victim.get()));
    Add("survivor", 3);
    killer.onPrepare = [&] {
        victim.reset();  // deleted while still registered
        return true;
    };
    Take();

    ASSERT_TRUE(root.StartContainer());
    EXPECT_EQ(Take(), (Events{"prepare root", "prepare killer", "prepare survivor", "start root",
                              "start killer", "start survivor"}));
    EXPECT_TRUE(root.ShutdownContainer());
}

TEST_F(LifecycleTree, ContainerUnregisteredByAShutdownHookIsNotVisitedAfterwards) {
    TestContainer& early = Add("early", 1);
    TestContainer& late = Add("late", 2);
    ASSERT_TRUE(root.StartContainer());
    // Shutdown visits late first; it takes early out of the tree.
    late.onPrepareShutdown = [&] { root.UnregisterChildContainer(&early); };
    Take();

    ASSERT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(Take(), (Events{"prepare-shutdown root", "prepare-shutdown late",
                              "unregistered late:early", "shutdown root", "shutdown late"}));
}

// A shutdown hook that throws must not leave the rest of the tree running: both walks still
// visit every container, the root ends idle, and the first exception reaches the caller once
// all that is done, without the "ok" lines of the walks it went through.
class LifecycleThrowingShutdown : public LifecycleTree,
                                  public ::testing::WithParamInterface<const char*> {};

TEST_P(LifecycleThrowingShutdown, VisitsEveryContainerEndsIdleAndThrowsTheFirst) {
    TestContainer& a = Add("a", 1);
    TestContainer& b = Add("b", 2);
    TestContainer& a1 = Add("a1", 1, &a);
    root.SetContainerName("root");
    ASSERT_TRUE(root.StartContainer());
    const bool prepare = std::string(GetParam()) == "prepare-shutdown";
    for (TestContainer* c : {&b, &a1}) {
        const std::string what = c->label;
        (prepare ? c->onPrepareShutdown : c->onShutdown) = [what] {
            throw std::runtime_error(what);
        };
    }
    Take();
    capture.Clear();

    try {
        root.ShutdownContainer();
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "b");
    }
    EXPECT_EQ(Take(), (Events{"prepare-shutdown root", "prepare-shutdown b", "prepare-shutdown a",
                              "prepare-shutdown a1", "shutdown root", "shutdown b", "shutdown a",
                              "shutdown a1"}));
    EXPECT_EQ(Flags(root), "");
    const Lines lines = capture.Lines();
    const std::string walk = prepare ? "DoPrepareParentShutdown" : "DoParentShutdown";
    for (const std::string& notOk :
         {After(walk, "root", "plugintest::TestHost"), After(walk, "", "plugintest::TestContainer"),
          std::string("call root::ShutdownContainer() ok")}) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), notOk), 0) << notOk;
    }
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, LifecycleThrowingShutdown,
                         ::testing::Values("prepare-shutdown", "shutdown"));

}  // namespace
