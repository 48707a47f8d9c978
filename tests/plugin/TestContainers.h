// Containers for the framework's tests: each records its hooks in a shared journal and can be
// told what a hook should do. Distinct classes give distinct class names in the texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"

namespace plugintest {

/// The hooks that ran, in order, as "<hook> <label>" ("prepare a", "registered p:r").
struct Journal {
    std::vector<std::string> events;
    void Add(std::string event) { events.push_back(std::move(event)); }
};

inline GUID TestId(std::uint32_t n) {
    return GUID{n, 0x7E57, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
}

/// The lifecycle flags of `c` in a text that reads in a failure: "started active running",
/// each word present when its flag is set, "" when none is.
inline std::string Flags(const IPluginContainer& c) {
    std::string flags;
    const auto add = [&flags](bool set, const char* word) {
        if (set) {
            flags += flags.empty() ? word : std::string(" ") + word;
        }
    };
    add(c.IsContainerStarted(), "started");
    add(c.IsContainerActive(), "active");
    add(c.IsContainerRunning(), "running");
    return flags;
}

class TestContainer : public IPluginContainer {
public:
    TestContainer(std::string label, GUID id, std::uint16_t order = 0xFFFF,
                  Journal* journal = nullptr)
        : label(std::move(label)), id(id), order(order), journal(journal) {}

    const std::type_info& GetTypeInfo() const override { return typeid(TestContainer); }
    void EntityAction() override {}
    const GUID& GetContainerTypeId() const override { return id; }
    std::uint16_t GetContainerOrder() const override { return order; }

    bool OnPrepareParentStart() override {
        Record("prepare");
        return onPrepare ? onPrepare() : true;
    }
    bool OnParentStart() override {
        Record("start");
        return onStart ? onStart() : true;
    }
    void OnPrepareParentShutdown() override {
        Record("prepare-shutdown");
        if (onPrepareShutdown) {
            onPrepareShutdown();
        }
    }
    void OnParentShutdown() override {
        Record("shutdown");
        if (onShutdown) {
            onShutdown();
        }
    }
    void OnSiblingContainerRegistered(IPluginContainer* sibling) override {
        Record("registered", sibling);
        if (onSiblingRegistered) {
            onSiblingRegistered(sibling);
        }
    }
    void OnSiblingContainerUnregistered(IPluginContainer* sibling) override {
        Record("unregistered", sibling);
        if (onSiblingUnregistered) {
            onSiblingUnregistered(sibling);
        }
    }

    const std::string label;
    std::function<bool()> onPrepare;
    std::function<bool()> onStart;
    std::function<void()> onPrepareShutdown;
    std::function<void()> onShutdown;
    std::function<void(IPluginContainer*)> onSiblingRegistered;
    std::function<void(IPluginContainer*)> onSiblingUnregistered;

private:
    void Record(const char* hook, IPluginContainer* sibling = nullptr) {
        if (journal == nullptr) {
            return;
        }
        std::string event = std::string(hook) + " " + label;
        if (auto* other = dynamic_cast<TestContainer*>(sibling)) {
            event += ":" + other->label;
        }
        journal->Add(std::move(event));
    }

    GUID id;
    std::uint16_t order;
    Journal* journal;
};

/// A root, as the client core's host container would be.
class TestHost final : public TestContainer {
public:
    using TestContainer::TestContainer;
    const std::type_info& GetTypeInfo() const override { return typeid(TestHost); }
};

/// Another concrete class, for texts that name two or three classes.
class RivalContainer final : public TestContainer {
public:
    using TestContainer::TestContainer;
    const std::type_info& GetTypeInfo() const override { return typeid(RivalContainer); }
};

/// A journaled root "root" and the containers a test makes under it, each with an identifier of
/// its own; they go before the root.
struct Tree {
    Journal journal;
    TestHost root{"root", HostContainerTypeId, 0xFFFF, &journal};
    std::vector<std::unique_ptr<TestContainer>> made;

    /// A container `label` of `order`, journaled, not registered.
    TestContainer& Make(const std::string& label, std::uint16_t order) {
        made.push_back(std::make_unique<TestContainer>(
            label, TestId(static_cast<std::uint32_t>(made.size() + 1)), order, &journal));
        return *made.back();
    }
    /// Made and registered as a child of `parent` (the root when null).
    TestContainer& Add(const std::string& label, std::uint16_t order,
                       TestContainer* parent = nullptr) {
        TestContainer& child = Make(label, order);
        EXPECT_TRUE((parent != nullptr ? *parent : root).RegisterChildContainer(&child));
        return child;
    }
    /// The hooks that ran since the last call.
    std::vector<std::string> Take() {
        std::vector<std::string> events;
        events.swap(journal.events);
        return events;
    }
};

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

}  // namespace plugintest
