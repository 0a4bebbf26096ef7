#include "constraint/assembly.hpp"

namespace AssemblyGraph {

int AsmTagGInterface::rebuild(const EdgeMap& edges, const NodeMap& nodes) {
    using rziDataNamespace::NameHashMapAccessor;
    // Check the limits before anything is touched, so a refused graph leaves nodes as they were.
    int listedEdges = 0;
    {
        NameHashMapAccessor<AsmEdge*> cursor(edges);
        for (; !cursor.atEnd(); cursor.next()) {
            if (cursor.value()->node1 != nullptr) {
                ++listedEdges;
            }
        }
    }
    ++generation_;
    if (nodes.count() > static_cast<std::uint64_t>(kMaxNodes) || listedEdges > kMaxEdges) {
        nodeCount_ = freeCount_ = edgeCount_ = 0;
        valid_ = false;
        return -1;
    }

    if (tagging_) {
        NameHashMapAccessor<AsmNode*> cursor(nodes);
        for (; !cursor.atEnd(); cursor.next()) {
            AsmNode* n = cursor.value();
            n->grounded = !(n->movable && !n->pinned);
            n->changed = false;
        }
    }
    if (!nodes_) {
        nodes_.reset(new AsmNode*[kMaxNodes]);
        degree_.reset(new int[kMaxNodes]);
        edges_.reset(new AsmEdge*[kMaxEdges]);
        edgeNode1_.reset(new AsmNode*[kMaxEdges]);
        edgeNode2_.reset(new AsmNode*[kMaxEdges]);
        edgeValue1_.reset(new double[kMaxEdges]);
        edgeValue2_.reset(new double[kMaxEdges]);
        edgeEnd1_.reset(new int[kMaxEdges]);
        edgeEnd2_.reset(new int[kMaxEdges]);
        edgeIncidence1_.reset(new int[kMaxEdges]);
        edgeIncidence2_.reset(new int[kMaxEdges]);
    }
    nodeCount_ = freeCount_ = edgeCount_ = 0;
    {
        NameHashMapAccessor<AsmNode*> cursor(nodes);
        for (; !cursor.atEnd(); cursor.next()) {
            AsmNode* n = cursor.value();
            degree_[nodeCount_] = 0;
            nodes_[nodeCount_++] = n;
            n->index = n->grounded ? -1 : freeCount_++;
        }
    }
    // Position of a node in the list; nodes are few, so a scan is enough.
    auto listed = [this](const AsmNode* n) {
        for (int i = 0; i < nodeCount_; ++i) {
            if (nodes_[i] == n) {
                return i;
            }
        }
        return -1;
    };
    {
        NameHashMapAccessor<AsmEdge*> cursor(edges);
        for (; !cursor.atEnd(); cursor.next()) {
            AsmEdge* e = cursor.value();
            if (e->node1 == nullptr) {
                continue;
            }
            const int k = edgeCount_++;
            edges_[k] = e;
            edgeNode1_[k] = e->node1;
            edgeNode2_[k] = e->node2;
            edgeValue1_[k] = e->value1;
            edgeValue2_[k] = e->value2;
            edgeEnd1_[k] = listed(e->node1);
            edgeEnd2_[k] = e->node2 != nullptr ? listed(e->node2) : -1;
            edgeIncidence1_[k] = edgeEnd1_[k] >= 0 ? degree_[edgeEnd1_[k]]++ : -1;
            edgeIncidence2_[k] = edgeEnd2_[k] >= 0 ? degree_[edgeEnd2_[k]]++ : -1;
        }
    }
    valid_ = true;
    return 0;
}

void Assembly::addNode(AsmNode* node) {
    nodes_.insert(node->name, node);
    dirty_ = true;
}

void Assembly::addEdge(AsmEdge* edge) {
    edges_.insert(edge->name, edge);
    dirty_ = true;
}

AsmTagGInterface* Assembly::graphInterface(bool force) {
    std::call_once(created_, [this] { interface_ = std::make_unique<AsmTagGInterface>(this); });
    lock_.acquire(Lattix::RWLock::Read);
    if (!dirty_ && !force) {
        return interface_.get();
    }
    lock_.release(Lattix::RWLock::Read);
    if (!lock_.acquire(Lattix::RWLock::Write)) {
        // This thread still holds the interface from an outer call, whose arrays a rebuild
        // would change under it: the rebuild waits for a call made without a hold.
        if (force) {
            dirty_ = true;
        }
        lock_.acquire(Lattix::RWLock::Read);
        return interface_.get();
    }
    // Cleared first so a change made during the rebuild is not lost; a refused graph stays
    // dirty, so the next call tries again.
    dirty_ = false;
    if (interface_->rebuild(edges_, nodes_) != 0) {
        dirty_ = true;
    }
    lock_.release(Lattix::RWLock::Write);
    lock_.acquire(Lattix::RWLock::Read);
    return interface_.get();
}

void Assembly::releaseGraphInterface() {
    lock_.release(Lattix::RWLock::Read);
}

}  // namespace AssemblyGraph
