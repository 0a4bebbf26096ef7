#pragma once
// Assembly graph: named parts joined by named edges, and the interface that flattens them
// into index arrays for the solver.
//
// Lock rules: graphInterface() returns with the assembly's read lock held; the caller gives
// it back with releaseGraphInterface(). Rebuilds run under the write lock. markDirty() takes
// no lock, so it may be called while the interface is held. A thread that holds the interface
// may take it again without waiting (an objective the solver calls, for one); that inner take
// never rebuilds, it leaves the assembly dirty for the next take made without a hold.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "constraint/asmnode.hpp"
#include "constraint/namehashmap.hpp"
#include "lattix/rwlock.hpp"

namespace AssemblyGraph {

using NodeMap = rziDataNamespace::NameHashMap<AsmNode*>;
using EdgeMap = rziDataNamespace::NameHashMap<AsmEdge*>;

class Assembly;

class AsmGInterface {
  public:
    virtual ~AsmGInterface() = default;
    // 0 on success, -1 when the graph does not fit.
    virtual int rebuild(const EdgeMap& edges, const NodeMap& nodes) = 0;
};

class AsmTagGInterface : public AsmGInterface {
  public:
    static constexpr int kMaxNodes = 512;
    static constexpr int kMaxEdges = 1024;

    explicit AsmTagGInterface(Assembly* assembly) : assembly_(assembly) {}

    // Tags nodes grounded or free when tagging is on, then lists every node (free ones get
    // consecutive indexes, grounded ones -1) and every edge whose first node is set. More than
    // 512 nodes or 1024 such edges is refused: -1, nothing listed, no node touched.
    int rebuild(const EdgeMap& edges, const NodeMap& nodes) override;

    Assembly* assembly() const { return assembly_; }
    bool tagging() const { return tagging_; }
    void setTagging(bool on) { tagging_ = on; }
    // False after a refused rebuild, until one succeeds.
    bool valid() const { return valid_; }

    int nodeCount() const { return nodeCount_; }
    int freeNodeCount() const { return freeCount_; }
    AsmNode* node(int i) const { return nodes_[i]; }
    int degree(int node) const { return degree_[node]; }

    int edgeCount() const { return edgeCount_; }
    AsmEdge* edge(int e) const { return edges_[e]; }
    AsmNode* edgeNode1(int e) const { return edgeNode1_[e]; }
    AsmNode* edgeNode2(int e) const { return edgeNode2_[e]; }
    double edgeValue1(int e) const { return edgeValue1_[e]; }
    double edgeValue2(int e) const { return edgeValue2_[e]; }
    // Positions of each end in the node list (-1 for a missing end).
    int edgeEnd1(int e) const { return edgeEnd1_[e]; }
    int edgeEnd2(int e) const { return edgeEnd2_[e]; }
    // Slot of the edge among the edges incident to each end (-1 for a missing end).
    int edgeIncidence1(int e) const { return edgeIncidence1_[e]; }
    int edgeIncidence2(int e) const { return edgeIncidence2_[e]; }

    // Rebuilds so far; for callers that cache what they derived from the arrays.
    std::uint64_t generation() const { return generation_; }

  private:
    Assembly* assembly_;
    bool tagging_ = false;
    bool valid_ = true;
    std::uint64_t generation_ = 0;
    int nodeCount_ = 0;
    int freeCount_ = 0;
    int edgeCount_ = 0;
    std::unique_ptr<AsmNode*[]> nodes_;
    std::unique_ptr<int[]> degree_;
    std::unique_ptr<AsmEdge*[]> edges_;
    std::unique_ptr<AsmNode*[]> edgeNode1_;
    std::unique_ptr<AsmNode*[]> edgeNode2_;
    std::unique_ptr<double[]> edgeValue1_;
    std::unique_ptr<double[]> edgeValue2_;
    std::unique_ptr<int[]> edgeEnd1_;
    std::unique_ptr<int[]> edgeEnd2_;
    std::unique_ptr<int[]> edgeIncidence1_;
    std::unique_ptr<int[]> edgeIncidence2_;
};

class Assembly {
  public:
    Assembly() = default;
    Assembly(const Assembly&) = delete;
    Assembly& operator=(const Assembly&) = delete;

    // Adds (or replaces under the same name) and marks the assembly dirty. Not owned.
    void addNode(AsmNode* node);
    void addEdge(AsmEdge* edge);
    void markDirty() { dirty_ = true; }
    bool dirty() const { return dirty_; }

    NodeMap& nodes() { return nodes_; }
    EdgeMap& edges() { return edges_; }

    // Returns the interface with the read lock held (see the header comment). Rebuilds it
    // first when the assembly is dirty or force is set; a clean assembly only creates it.
    AsmTagGInterface* graphInterface(bool force);
    void releaseGraphInterface();
    Lattix::RWLock& lock() { return lock_; }

  private:
    EdgeMap edges_;
    NodeMap nodes_;
    Lattix::RWLock lock_;
    std::atomic<bool> dirty_{false};
    std::once_flag created_;
    std::unique_ptr<AsmTagGInterface> interface_;
};

// Holds an assembly's graph interface (and so its read lock) for a scope.
class GraphInterfaceScope {
  public:
    GraphInterfaceScope(Assembly& assembly, bool force)
        : assembly_(assembly), interface_(assembly.graphInterface(force)) {}
    ~GraphInterfaceScope() { assembly_.releaseGraphInterface(); }
    GraphInterfaceScope(const GraphInterfaceScope&) = delete;
    GraphInterfaceScope& operator=(const GraphInterfaceScope&) = delete;
    AsmTagGInterface* operator->() const { return interface_; }
    AsmTagGInterface* get() const { return interface_; }

  private:
    Assembly& assembly_;
    AsmTagGInterface* interface_;
};

}  // namespace AssemblyGraph
