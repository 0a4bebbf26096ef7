#include "constraint/constraintsolver.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <string>

namespace rzConstraintEngine {

using AssemblyGraph::AsmEdge;
using AssemblyGraph::AsmNode;
using rzMath::dot;
using rzMath::MatrixNM;

namespace {

std::atomic<int> gCycle{0};

constexpr std::uint32_t kSuppressedBit = 2;
constexpr std::uint32_t kBrokenBit = 8;

// Largest magnitude, or 1e10 when any value is not finite.
double largest(const double* v, std::size_t n) {
    double m = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) {
            return ConstraintSolver::kNonFinite;
        }
        m = std::max(m, std::fabs(v[i]));
    }
    return m;
}

void normalise(rzMath::Quat& q) {
    const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    if (n > 0.0 && std::isfinite(n)) {
        q = {q.w / n, q.x / n, q.y / n, q.z / n};
    }
}

}  // namespace

ConstraintSolver::ConstraintSolver(AssemblyGraph::Assembly& assembly) : assembly_(assembly) {}

void ConstraintSolver::addObjective(KinematicObjective* objective) {
    objectives_.push_back(objective);
}

void ConstraintSolver::removeObjective(KinematicObjective* objective) {
    objectives_.erase(std::remove(objectives_.begin(), objectives_.end(), objective),
                      objectives_.end());
}

int ConstraintSolver::cycleCounter() {
    return gCycle.load();
}

MatrixNM* ConstraintSolver::newBlock(int rows, int cols) {
    if (poolUsed_ == pool_.size()) {
        pool_.push_back(std::make_unique<MatrixNM>());
    }
    MatrixNM* b = pool_[poolUsed_++].get();
    b->resize(rows, cols);
    return b;
}

int ConstraintSolver::addJointRows(const AsmEdge& edge, bool point, int axisPairs) {
    End ends[2];
    AsmNode* nodes[2] = {edge.node1, edge.node2};
    const rzMath::Pose* frames[2] = {&edge.frame1, &edge.frame2};
    for (int k = 0; k < 2; ++k) {
        ends[k].node = nodes[k];
        ends[k].index = nodes[k] != nullptr ? nodes[k]->index : -1;
        ends[k].pose = nodes[k] != nullptr ? nodes[k]->pose : rzMath::identityPose();
        ends[k].frame = frames[k];
    }
    if (ends[0].index < 0 && ends[1].index < 0) {
        return 0;  // nothing here can move
    }
    const int rows = (point ? 3 : 0) + axisPairs;
    MatrixNM* blocks[2] = {nullptr, nullptr};
    for (int k = 0; k < 2; ++k) {
        if (ends[k].index >= 0) {
            blocks[k] = newBlock(7, rows);
        }
    }
    int row = 0;
    if (point) {
        rzMath::Vec3 x[2];
        for (int k = 0; k < 2; ++k) {
            x[k] = rzMath::transformPoint(ends[k].pose, ends[k].frame->position);
            if (blocks[k] == nullptr) {
                continue;
            }
            const double sign = k == 0 ? 1.0 : -1.0;
            rzMath::Vec3 j[4];
            rzMath::rotateByQuatJacobian(ends[k].pose.q, ends[k].frame->position, j);
            for (int c = 0; c < 3; ++c) {
                (*blocks[k])(c, c) = sign;
                for (int q = 0; q < 4; ++q) {
                    (*blocks[k])(3 + q, c) = sign * j[q][c];
                }
            }
        }
        const rzMath::Vec3 d = x[0] - x[1];
        residual_.insert(residual_.end(), {d.x, d.y, d.z});
        row = 3;
    }
    if (axisPairs > 0) {
        // Pairs (axis of end 1, axis of end 2) whose dot products vanish when the frames
        // agree: z.x and z.y pin the z axes together, x.y adds the twist about them.
        static const int kPairs[3][2] = {{2, 0}, {2, 1}, {0, 1}};
        const rzMath::Vec3 unit[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (int p = 0; p < axisPairs; ++p) {
            rzMath::Vec3 local[2], world[2], jac[2][4];
            for (int k = 0; k < 2; ++k) {
                local[k] = rzMath::rotateByQuat(ends[k].frame->q, unit[kPairs[p][k]]);
                world[k] = rzMath::rotateByQuat(ends[k].pose.q, local[k]);
                rzMath::rotateByQuatJacobian(ends[k].pose.q, local[k], jac[k]);
            }
            residual_.push_back(dot(world[0], world[1]));
            for (int k = 0; k < 2; ++k) {
                if (blocks[k] == nullptr) {
                    continue;
                }
                for (int q = 0; q < 4; ++q) {
                    (*blocks[k])(3 + q, row) = dot(world[1 - k], jac[k][q]);
                }
            }
            ++row;
        }
    }
    const std::uint64_t firstCol = residual_.size() - rows;
    for (int k = 0; k < 2; ++k) {
        if (blocks[k] != nullptr) {
            jt_.addBlock(blocks[k], 7 * static_cast<std::uint64_t>(ends[k].index), firstCol,
                         ends[k].index, groups_);
        }
    }
    ++groups_;
    return rows;
}

int ConstraintSolver::buildEdge(const AsmEdge& edge) {
    switch (edge.type) {
        case 1:
        case 2:
            return addJointRows(edge, true, edge.type == 2 ? 3 : 0);
        case 3:
        case 4:
            return addJointRows(edge, edge.type == 3, 2);
        case 17:
            return 0;
        default:
            throw std::invalid_argument("Edge \"" + edge.name + "\": joint type " +
                                        std::to_string(edge.type) + " has no constraint builder.");
    }
}

void ConstraintSolver::assemble(AssemblyGraph::AsmTagGInterface& gi) {
    jt_.clear();
    residual_.clear();
    poolUsed_ = 0;
    groups_ = 0;
    activeEdges_ = 0;
    parts_ = gi.freeNodeCount();
    if (count_ % 5 == 0) {
        for (int i = 0; i < gi.nodeCount(); ++i) {
            std::fill(std::begin(gi.node(i)->closestDistance),
                      std::end(gi.node(i)->closestDistance), 1e10);
        }
    }
    for (int e = 0; e < gi.edgeCount(); ++e) {
        const AsmEdge& edge = *gi.edge(e);
        if (edge.node1 == nullptr && edge.node2 == nullptr) {
            continue;
        }
        const int rows = buildEdge(edge);
        if (rows > 0 && (edge.flags & (kSuppressedBit | kBrokenBit)) == 0) {
            ++activeEdges_;
        }
    }
    for (int i = 0; i < gi.nodeCount(); ++i) {
        const AsmNode& n = *gi.node(i);
        if (n.index < 0) {
            continue;
        }
        const rzMath::Quat& q = n.pose.q;
        MatrixNM* b = newBlock(7, 1);
        (*b)(3, 0) = 2.0 * q.w;
        (*b)(4, 0) = 2.0 * q.x;
        (*b)(5, 0) = 2.0 * q.y;
        (*b)(6, 0) = 2.0 * q.z;
        jt_.addBlock(b, 7 * static_cast<std::uint64_t>(n.index), residual_.size(), n.index,
                     groups_++);
        residual_.push_back(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z - 1.0);
    }
    const std::uint64_t size = 7 * static_cast<std::uint64_t>(parts_) + residual_.size();
    rhs_.resize(size);
    solution_.resize(size);
    rhs_.fill(0.0);
    if (step_.size() != 7 * static_cast<std::size_t>(parts_)) {
        step_.assign(7 * static_cast<std::size_t>(parts_), 0.0);
    }
}

void ConstraintSolver::projectionStep() {
    const std::size_t n7 = 7 * static_cast<std::size_t>(parts_);
    const std::size_t m = residual_.size();
    double* rhs = rhs_.data() + n7;
    double* mu = solution_.data() + n7;
    for (std::size_t i = 0; i < m; ++i) {
        rhs[i] = -residual_[i];
    }
    scratch_.assign(n7, 0.0);
    if (m > 0) {
        normal_.solve(jt_, rhs, mu);
        jt_.multiply(mu, scratch_.data());
    }
    control(scratch_);
}

void ConstraintSolver::objectiveStep() {
    const std::size_t n7 = 7 * static_cast<std::size_t>(parts_);
    const std::size_t m = residual_.size();
    double* g = rhs_.data();
    for (KinematicObjective* o : objectives_) {
        const int index = o->node()->index;
        if (o->enabled() && index >= 0 && index < parts_) {
            o->evaluate(g + 7 * index, nullptr);
        }
    }
    scratch_.assign(n7, 0.0);
    if (m > 0) {
        double* rhs = rhs_.data() + n7;
        double* mu = solution_.data() + n7;
        jt_.multiplyTransposed(g, rhs);
        for (std::size_t i = 0; i < m; ++i) {
            rhs[i] -= residual_[i];
        }
        normal_.solve(jt_, rhs, mu);
        jt_.multiply(mu, scratch_.data());
    }
    for (std::size_t i = 0; i < n7; ++i) {
        scratch_[i] = kObjectiveStep * (scratch_[i] - g[i]);
        solution_[i] = scratch_[i];
    }
    control(scratch_);
}

void ConstraintSolver::control(std::vector<double>& dx) {
    const double r = largest(dx.data(), dx.size());
    if (haveGood_ && r > kDivergedStep && count_ - lastReset_ > 1) {
        setGlobalGain(kRecoveryGain);
        restore();
        lastReset_ = count_;
        ++count_;
        return;
    }
    step_ = dx;
    // A step that is not finite would destroy the poses with nothing to restore them from;
    // it is kept as the last step (so the error and the divergence check see it), not applied.
    const bool finite =
        std::all_of(dx.begin(), dx.end(), [](double v) { return std::isfinite(v); });
    if (finite) {
        for (int i = 0; i < gi_->nodeCount(); ++i) {
            AsmNode* n = gi_->node(i);
            if (n->index < 0) {
                continue;
            }
            double* pose = n->pose.data();
            const double* d = dx.data() + 7 * n->index;
            for (int k = 0; k < 7; ++k) {
                pose[k] += d[k];
            }
            normalise(n->pose.q);
        }
    }
    if (r < kSettledStep) {
        save();
        haveGood_ = true;
        if (count_ - lastReset_ > 10) {
            setGlobalGain(kDefaultGain);
        }
    }
    ++count_;
}

void ConstraintSolver::save() {
    good_.clear();
    for (int i = 0; i < gi_->nodeCount(); ++i) {
        AsmNode* n = gi_->node(i);
        if (n->index >= 0) {
            good_.emplace_back(n, n->pose);
        }
    }
}

void ConstraintSolver::restore() {
    for (auto& [node, pose] : good_) {
        node->pose = pose;
        node->changed = true;
    }
    std::fill(step_.begin(), step_.end(), 0.0);
}

void ConstraintSolver::pass(int mode) {
    assemble(*gi_);
    if (mode == ObjectiveSolve) {
        objectiveStep();
    } else {
        projectionStep();
    }
}

double ConstraintSolver::error() const {
    return std::max(largest(residual_.data(), residual_.size()),
                    largest(step_.data(), step_.size()));
}

double ConstraintSolver::iterate(int mode, int passes) {
    AssemblyGraph::GraphInterfaceScope scope(assembly_, false);
    if (!scope->valid()) {
        throw std::length_error("Assembly exceeds the graph interface's limits.");
    }
    gi_ = scope.get();
    struct Clear {
        AssemblyGraph::AsmTagGInterface*& p;
        ~Clear() { p = nullptr; }
    } clear{gi_};

    if (mode == ObjectiveSolve) {
        for (int p = 0; p < passes; ++p) {
            pass(ObjectiveSolve);
        }
        const double err = error();
        int extra = count_ % 2 == 1 ? 1 : 0;
        if (err < 0.02) {
            extra = 0;
        }
        if (err > 0.1) {
            extra = 1;
        }
        if (count_ % 12 == 0) {
            extra = 1;
        }
        for (int p = 0; p < extra; ++p) {
            pass(Projection);
        }
        int c = gCycle.load();
        while (!gCycle.compare_exchange_weak(c, c + 1 > 9 ? 0 : c + 1)) {
        }
    } else {
        for (int p = 0; p < passes; ++p) {
            pass(Projection);
        }
    }
    return error();
}

double ConstraintSolver::guardedStep() {
    const double err = iterate(Projection, 2);
    checkDivergence();
    return err;
}

void ConstraintSolver::checkDivergence() {
    const double m = largest(step_.data(), step_.size());
    const bool finite =
        std::all_of(step_.begin(), step_.end(), [](double v) { return std::isfinite(v); });
    if (!haveGood_ || (m <= kRunawayStep && finite) || (finite && count_ - lastReset_ <= 8)) {
        return;
    }
    setGlobalGain(kRecoveryGain);
    restore();
    lastReset_ = count_;
}

}  // namespace rzConstraintEngine
