#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestContainers.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "support/LogCapture.h"

namespace {

using plugintest::Journal;
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

/// A root "host" with children registered in the order 10, 5, 10, 65535.
struct OrderedTree {
    Journal journal;
    TestHost root{"host", HostContainerTypeId, 0xFFFF, &journal};
    TestContainer tenFirst{"10a", TestId(1), 10, &journal};
    TestContainer five{"5", TestId(2), 5, &journal};
    TestContainer tenSecond{"10b", TestId(3), 10, &journal};
    RivalContainer last{"65535", TestId(4), 65535, &journal};

    OrderedTree() {
        root.SetContainerName("host");
        for (TestContainer* c :
             {&tenFirst, &five, &tenSecond, static_cast<TestContainer*>(&last)}) {
            c->SetContainerName(c->label);
            EXPECT_TRUE(root.RegisterChildContainer(c));
        }
    }
};

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
    EXPECT_FALSE(root.IsContainerActive());
    EXPECT_FALSE(root.IsContainerStarted());
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

TEST(Lifecycle, WalksArePreOrderOverTheWholeTree) {
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer a("a", TestId(1), 1, &journal);
    TestContainer a1("a1", TestId(11), 1, &journal);
    TestContainer a2("a2", TestId(12), 2, &journal);
    TestContainer b("b", TestId(2), 2, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&a));
    ASSERT_TRUE(root.RegisterChildContainer(&b));
    ASSERT_TRUE(a.RegisterChildContainer(&a1));
    ASSERT_TRUE(a.RegisterChildContainer(&a2));
    test::LogCapture capture;
    journal.events.clear();

    ASSERT_TRUE(root.StartContainer());
    ASSERT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(journal.events, (Events{"prepare root",
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

TEST(Lifecycle, FailedPrepareStopsTheWalkAndLeavesTheRootActiveButNotStarted) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer first("first", TestId(1), 1, &journal);
    TestContainer second("second", TestId(2), 2, &journal);
    TestContainer third("third", TestId(3), 3, &journal);
    for (TestContainer* c : {&first, &second, &third}) {
        ASSERT_TRUE(root.RegisterChildContainer(c));
    }
    root.SetContainerName("root");
    second.SetContainerName("second");
    second.onPrepare = [] { return false; };
    journal.events.clear();

    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(journal.events, (Events{"prepare root", "prepare first", "prepare second"}));
    EXPECT_TRUE(root.IsContainerActive());
    EXPECT_FALSE(root.IsContainerStarted());
    EXPECT_FALSE(root.IsContainerRunning());
    EXPECT_TRUE(third.IsContainerActive());
    // No line after for the refusing container and those around it, and no error line.
    const Lines lines = capture.Lines();
    EXPECT_EQ(lines.back(), Before("DoPrepareParentStart", "second", "plugintest::TestContainer"));
    EXPECT_EQ(capture.Records().size(), lines.size());

    capture.Clear();
    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(capture.Lines(), (Lines{"start call root::StartContainer()"}));

    journal.events.clear();
    EXPECT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(journal.events,
              (Events{"prepare-shutdown root", "prepare-shutdown third", "prepare-shutdown second",
                      "prepare-shutdown first", "shutdown root", "shutdown third",
                      "shutdown second", "shutdown first"}));
    EXPECT_FALSE(root.IsContainerActive());
    EXPECT_FALSE(root.IsContainerStarted());

    // Idle again, so a start is accepted and runs afresh; second still refuses.
    journal.events.clear();
    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(journal.events, (Events{"prepare root", "prepare first", "prepare second"}));
    EXPECT_TRUE(root.ShutdownContainer());
}

TEST(Lifecycle, FailedStartPhaseLeavesBothFlagsSetUntilShutdown) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer child("child", TestId(1), 1, &journal);
    TestContainer after("after", TestId(2), 2, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&child));
    ASSERT_TRUE(root.RegisterChildContainer(&after));
    child.onStart = [] { return false; };
    journal.events.clear();

    EXPECT_FALSE(root.StartContainer());
    EXPECT_EQ(journal.events, (Events{"prepare root", "prepare child", "prepare after",
                                      "start root", "start child"}));
    EXPECT_TRUE(root.IsContainerActive());
    EXPECT_TRUE(root.IsContainerStarted());
    EXPECT_TRUE(after.IsContainerRunning());
    EXPECT_FALSE(root.StartContainer());

    EXPECT_TRUE(root.ShutdownContainer());
    EXPECT_FALSE(root.IsContainerActive());
    EXPECT_FALSE(root.IsContainerStarted());
}

TEST(Lifecycle, ChildRegisteredByItsParentsPrepareHookIsPreparedInTheSameWalk) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer early("early", TestId(1), 1, &journal);
    TestContainer late("late", TestId(2), 2, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&early));
    root.onPrepare = [&] { return root.RegisterChildContainer(&late); };
    journal.events.clear();

    ASSERT_TRUE(root.StartContainer());
    EXPECT_EQ(journal.events, (Events{"prepare root", "registered early:late", "prepare early",
                                      "prepare late", "start root", "start early", "start late"}));
    EXPECT_TRUE(root.ShutdownContainer());
}

TEST(Lifecycle, ChildRegisteredIntoTheParentBySiblingsHookWaitsForTheNextWalk) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer first("first", TestId(1), 1, &journal);
    TestContainer newcomer("newcomer", TestId(2), 2, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&first));
    first.onPrepare = [&] { return root.RegisterChildContainer(&newcomer); };
    journal.events.clear();

    ASSERT_TRUE(root.StartContainer());
    // Not prepared in this phase, yet the next phase's copy of the registry holds it.
    EXPECT_EQ(journal.events, (Events{"prepare root", "prepare first", "registered first:newcomer",
                                      "start root", "start first", "start newcomer"}));
    EXPECT_TRUE(root.ShutdownContainer());
}

TEST(Lifecycle, ChildJoiningARunningTreeIsNotStartedButIsShutDown) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer newcomer("newcomer", TestId(1), 1, &journal);
    ASSERT_TRUE(root.StartContainer());
    journal.events.clear();

    ASSERT_TRUE(root.RegisterChildContainer(&newcomer));
    EXPECT_TRUE(journal.events.empty());
    EXPECT_TRUE(newcomer.IsContainerRunning());

    ASSERT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(journal.events, (Events{"prepare-shutdown root", "prepare-shutdown newcomer",
                                      "shutdown root", "shutdown newcomer"}));
}

TEST(Lifecycle, StartOfASubtreeChecksTheIdleRootAndMayBeRepeated) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer sub("sub", TestId(1), 1, &journal);
    TestContainer leaf("leaf", TestId(2), 1, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&sub));
    ASSERT_TRUE(sub.RegisterChildContainer(&leaf));
    journal.events.clear();

    EXPECT_TRUE(sub.StartContainer());
    EXPECT_TRUE(sub.StartContainer());
    EXPECT_FALSE(sub.IsContainerActive());  // asked of the root, which is still idle
    EXPECT_EQ(journal.events, (Events{"prepare sub", "prepare leaf", "start sub", "start leaf",
                                      "prepare sub", "prepare leaf", "start sub", "start leaf"}));
    EXPECT_FALSE(sub.ShutdownContainer());  // the root is not active

    ASSERT_TRUE(root.StartContainer());
    EXPECT_FALSE(sub.StartContainer());
    EXPECT_TRUE(root.ShutdownContainer());
}

// Hooks that remove or delete containers the walk has still to visit: the walk visits only
// what is registered at the moment of the visit.

TEST(Lifecycle, ContainerDeletedByAnEarlierHookIsNotVisited) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer killer("killer", TestId(1), 1, &journal);
    auto victim = std::make_unique<TestContainer>("victim", TestId(2), 2, &journal);
    TestContainer survivor("survivor", TestId(3), 3, &journal);
    for (TestContainer* c : {&killer, victim.get(), &survivor}) {
        ASSERT_TRUE(root.RegisterChildContainer(c));
    }
    killer.onPrepare = [&] {
        victim.reset();  // deleted while still registered
        return true;
    };
    journal.events.clear();

    ASSERT_TRUE(root.StartContainer());
    EXPECT_EQ(journal.events, (Events{"prepare root", "prepare killer", "prepare survivor",
                                      "start root", "start killer", "start survivor"}));
    EXPECT_TRUE(root.ShutdownContainer());
}

TEST(Lifecycle, ContainerUnregisteredByAShutdownHookIsNotVisitedAfterwards) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer early("early", TestId(1), 1, &journal);
    TestContainer late("late", TestId(2), 2, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&early));
    ASSERT_TRUE(root.RegisterChildContainer(&late));
    ASSERT_TRUE(root.StartContainer());
    // Shutdown visits late first; it takes early out of the tree.
    late.onPrepareShutdown = [&] { root.UnregisterChildContainer(&early); };
    journal.events.clear();

    ASSERT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(journal.events,
              (Events{"prepare-shutdown root", "prepare-shutdown late", "unregistered late:early",
                      "shutdown root", "shutdown late"}));
}

}  // namespace
