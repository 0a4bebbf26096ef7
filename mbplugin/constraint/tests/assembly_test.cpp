// Assembly graph: lazy interface, dirty and forced rebuilds, tagging, limits and the locks.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "constraint/assembly.hpp"

using namespace AssemblyGraph;
using rziDataNamespace::NameHashMapAccessor;

namespace {

struct Graph {
    std::vector<std::unique_ptr<AsmNode>> nodes;
    std::vector<std::unique_ptr<AsmEdge>> edges;
    Assembly assembly;

    AsmNode* node(const std::string& name) {
        nodes.push_back(std::make_unique<AsmNode>());
        nodes.back()->name = name;
        assembly.addNode(nodes.back().get());
        return nodes.back().get();
    }
    AsmEdge* edge(const std::string& name, AsmNode* a, AsmNode* b) {
        edges.push_back(std::make_unique<AsmEdge>());
        AsmEdge* e = edges.back().get();
        e->name = name;
        e->node1 = a;
        e->node2 = b;
        e->type = 1;
        assembly.addEdge(e);
        return e;
    }
};

// True when another thread cannot take the lock for writing right now.
bool writeBlockedElsewhere(Lattix::RWLock& lock) {
    return std::async(std::launch::async,
                      [&lock] {
                          const bool got = lock.tryAcquire(Lattix::RWLock::Write);
                          if (got) {
                              lock.release(Lattix::RWLock::Write);
                          }
                          return !got;
                      })
        .get();
}

}  // namespace

TEST(Assembly, CleanAssemblyCreatesTheInterfaceWithoutRebuildingUnlessForced) {
    Assembly assembly;
    EXPECT_FALSE(assembly.dirty());
    AsmTagGInterface* first = assembly.graphInterface(false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->generation(), 0u);
    EXPECT_EQ(first->nodeCount(), 0);
    assembly.releaseGraphInterface();

    for (int i = 1; i <= 3; ++i) {
        AsmTagGInterface* again = assembly.graphInterface(true);
        EXPECT_EQ(again, first);
        EXPECT_EQ(again->generation(), static_cast<std::uint64_t>(i));
        assembly.releaseGraphInterface();
    }
}

TEST(Assembly, DirtyAssemblyRebuildsOnceAndListsNodesAndEdges) {
    Graph g;
    AsmNode* a = g.node("a");
    AsmNode* b = g.node("b");
    AsmNode* ground = g.node("ground");
    ground->grounded = true;
    AsmEdge* ab = g.edge("ab", a, b);
    ab->value1 = 0.5;
    g.edge("b-world", b, nullptr);
    g.edge("dangling", nullptr, a);  // no first node: not listed
    EXPECT_TRUE(g.assembly.dirty());
    {
        GraphInterfaceScope gi(g.assembly, false);
        EXPECT_FALSE(g.assembly.dirty());
        EXPECT_EQ(gi->generation(), 1u);
        EXPECT_EQ(gi->nodeCount(), 3);
        EXPECT_EQ(gi->freeNodeCount(), 2);
        EXPECT_EQ(a->index, 0);
        EXPECT_EQ(b->index, 1);
        EXPECT_EQ(ground->index, -1);
        ASSERT_EQ(gi->edgeCount(), 2);
        EXPECT_EQ(gi->edge(0), ab);
        EXPECT_EQ(gi->edgeValue1(0), 0.5);
        EXPECT_EQ(gi->edgeEnd1(0), 0);
        EXPECT_EQ(gi->edgeEnd2(0), 1);
        EXPECT_EQ(gi->edgeIncidence2(0), 0);  // first edge at b
        EXPECT_EQ(gi->edgeIncidence1(1), 1);  // second edge at b
        EXPECT_EQ(gi->edgeNode2(1), nullptr);
        EXPECT_EQ(gi->edgeEnd2(1), -1);
        EXPECT_EQ(gi->degree(1), 2);
    }
    {
        GraphInterfaceScope gi(g.assembly, false);
        EXPECT_EQ(gi->generation(), 1u);  // clean: no rebuild
    }
    g.assembly.markDirty();
    GraphInterfaceScope gi(g.assembly, false);
    EXPECT_EQ(gi->generation(), 2u);
}

TEST(Assembly, TaggingGroundsNodesByTheirStateFlagsAndClearsPendingChanges) {
    Graph g;
    AsmNode* free = g.node("free");
    AsmNode* pinned = g.node("pinned");
    AsmNode* still = g.node("still");
    pinned->pinned = true;
    still->movable = false;
    free->changed = true;
    free->grounded = true;  // stale tag: tagging is off after construction, so it stays
    {
        GraphInterfaceScope gi(g.assembly, false);
        EXPECT_FALSE(gi->tagging());
        EXPECT_TRUE(free->grounded);
        EXPECT_FALSE(pinned->grounded);
        gi->setTagging(true);
    }
    GraphInterfaceScope gi(g.assembly, true);
    EXPECT_FALSE(free->grounded);
    EXPECT_FALSE(free->changed);
    EXPECT_TRUE(pinned->grounded);
    EXPECT_TRUE(still->grounded);
    EXPECT_EQ(gi->freeNodeCount(), 1);
    EXPECT_EQ(free->index, 0);
    EXPECT_EQ(still->index, -1);
}

TEST(Assembly, RefusesGraphsBeyondTheInterfaceLimits) {
    Graph g;
    for (int i = 0; i < AsmTagGInterface::kMaxNodes; ++i) {
        g.node("n" + std::to_string(i));
    }
    {
        GraphInterfaceScope gi(g.assembly, false);
        EXPECT_TRUE(gi->valid());
        EXPECT_EQ(gi->nodeCount(), 512);
    }
    AsmNode* extra = g.node("one too many");
    extra->index = 77;
    {
        GraphInterfaceScope gi(g.assembly, false);
        EXPECT_FALSE(gi->valid());
        EXPECT_EQ(gi->nodeCount(), 0);
        EXPECT_EQ(extra->index, 77);  // untouched
        EXPECT_TRUE(g.assembly.dirty());
    }

    Graph e;
    AsmNode* a = e.node("a");
    for (int i = 0; i <= AsmTagGInterface::kMaxEdges; ++i) {
        e.edge("e" + std::to_string(i), a, nullptr);
    }
    GraphInterfaceScope gi(e.assembly, false);
    EXPECT_FALSE(gi->valid());
    EXPECT_EQ(gi->edgeCount(), 0);
}

TEST(Assembly, HoldsTheReadLockUntilTheInterfaceIsReleased) {
    Graph g;
    g.node("a");
    AsmTagGInterface* gi = g.assembly.graphInterface(false);
    ASSERT_NE(gi, nullptr);
    EXPECT_TRUE(writeBlockedElsewhere(g.assembly.lock()));
    // Marking dirty while holding the interface must not deadlock.
    g.assembly.markDirty();
    g.assembly.releaseGraphInterface();
    EXPECT_FALSE(writeBlockedElsewhere(g.assembly.lock()));
}

// An objective the solver calls may take the interface again, also after the assembly changed:
// the inner take neither waits on the outer one nor rebuilds the arrays under it.
TEST(Assembly, SecondTakeOnTheHoldingThreadNeitherWaitsNorRebuilds) {
    auto g = std::make_shared<Graph>();
    g->node("a");
    // Generations seen by the outer, inner and forced takes; still dirty; one interface.
    auto seen = std::make_shared<std::promise<std::vector<std::uint64_t>>>();
    auto result = seen->get_future();
    // Detached, so a deadlock fails the test instead of hanging it; it shares what it uses.
    std::thread([g, seen] {
        AsmTagGInterface* outer = g->assembly.graphInterface(false);
        g->assembly.markDirty();
        AsmTagGInterface* inner = g->assembly.graphInterface(false);
        AsmTagGInterface* forced = g->assembly.graphInterface(true);
        std::vector<std::uint64_t> v{outer->generation(), inner->generation(), forced->generation(),
                                     g->assembly.dirty() ? 1u : 0u,
                                     inner == outer && forced == outer ? 1u : 0u};
        for (int i = 0; i < 3; ++i) {
            g->assembly.releaseGraphInterface();
        }
        seen->set_value(v);
    }).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "the inner take waited on the outer one";
    EXPECT_EQ(result.get(), (std::vector<std::uint64_t>{1, 1, 1, 1, 1}));
    EXPECT_FALSE(writeBlockedElsewhere(g->assembly.lock()));
    GraphInterfaceScope gi(g->assembly, false);
    EXPECT_EQ(gi->generation(), 2u);  // the deferred rebuild
}

TEST(NameHashMap, InsertReplacesAndCursorsWalkInInsertionOrder) {
    NodeMap map;
    EXPECT_TRUE(map.isEmpty());
    AsmNode x, y, z;
    map.insert("x", &x);
    map.insert("y", &y);
    map.insert("x", &z);
    EXPECT_EQ(map.count(), 2u);
    EXPECT_EQ(map.find("x"), &z);
    EXPECT_EQ(map.find("nobody"), nullptr);
    NameHashMapAccessor<AsmNode*> cursor(map);
    ASSERT_FALSE(cursor.atEnd());
    EXPECT_EQ(cursor.key(), "x");
    cursor.next();
    EXPECT_EQ(cursor.value(), &y);
    cursor.next();
    EXPECT_TRUE(cursor.atEnd());
}

TEST(NameHashMapAccessor, TakesTheMapsReadLockOrRaisesWhenNonBlocking) {
    NodeMap map;
    {
        NameHashMapAccessor<AsmNode*> cursor(map);
        EXPECT_TRUE(writeBlockedElsewhere(*map.rwLock()));
    }
    EXPECT_FALSE(writeBlockedElsewhere(*map.rwLock()));

    map.setBlocking(false);
    ASSERT_TRUE(map.rwLock()->tryAcquire(Lattix::RWLock::Write));
    EXPECT_THROW(
        std::async(std::launch::async, [&map] { NameHashMapAccessor<AsmNode*> c(map); }).get(),
        rziDataNamespace::X_CannotReadLock);
    map.rwLock()->release(Lattix::RWLock::Write);

    map.setLocking(false);
    map.rwLock()->acquire(Lattix::RWLock::Write);
    NameHashMapAccessor<AsmNode*> unguarded(map);  // locking off: no lock taken
    EXPECT_TRUE(unguarded.atEnd());
    map.rwLock()->release(Lattix::RWLock::Write);
}
