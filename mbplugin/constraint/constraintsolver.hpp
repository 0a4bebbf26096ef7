#pragma once
// The constraint engine's solver: moves the free parts of an assembly so that its joints hold
// and its objectives are met.
//
// Each pass assembles the joint constraints into J^T (block row = part, block column = one
// edge's rows or one part's unit-quaternion row) with residuals C, then takes a step dx in
// the parts' pose coordinates (7 per free part, in the order of their graph index):
//   projection (mode 0):      dx = J^T mu,           (J J^T + 1e-6 I) mu = -C
//   objective solve (mode 1): dx = 0.9 (-g + J^T mu), (J J^T + 1e-6 I) mu = J g - C
// g being the objectives' gradient: the objectives' descent projected onto the joints'
// tangent space plus a Gauss-Newton correction of the joints. Quaternions are renormalised
// after each step. A step control guards every step: steps above 0.1 m after a good state
// restore that state and drop the process-wide gain to 0.1 until the solver settles again.
//
// Joint type codes with a builder (an edge's frames give the joint's point and axes in each
// part; a missing second part is the world, its frame then in world coordinates):
//   1  ball:     frame origins coincide (3 rows)
//   2  fixed:    ball, and the frames' axes aligned (3 + 3 rows)
//   3  hinge:    ball, and the frames' z axes aligned (3 + 2 rows)
//   4  parallel: the frames' z axes aligned (2 rows)
//   17 free:     no rows
// Any other code raises std::invalid_argument naming the edge and its code.
//
// Threads: one solver is driven by one thread; iterate() holds the assembly's graph interface
// (its read lock) for the whole call.

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "constraint/assembly.hpp"
#include "constraint/blocksparsematrix.hpp"
#include "constraint/objectives.hpp"
#include "constraint/sparsenormalsolver.hpp"
#include "constraint/vectorn.hpp"

namespace rzConstraintEngine {

class ConstraintSolver {
  public:
    enum Mode { Projection = 0, ObjectiveSolve = 1 };

    static constexpr double kObjectiveStep = 0.9;
    static constexpr double kDivergedStep = 0.1;    // m: a step this large after a good state
    static constexpr double kSettledStep = 1e-7;    // m: a step this small saves a good state
    static constexpr double kRunawayStep = 10.0;    // m: divergence check threshold
    static constexpr double kRecoveringGain = 0.3;  // below: recovering
    static constexpr double kNonFinite = 1e10;      // stands in for NaN or infinity in errors

    explicit ConstraintSolver(AssemblyGraph::Assembly& assembly);
    ConstraintSolver(const ConstraintSolver&) = delete;
    ConstraintSolver& operator=(const ConstraintSolver&) = delete;

    // Objectives are not owned; their parts must belong to the assembly.
    void addObjective(KinematicObjective* objective);
    void removeObjective(KinematicObjective* objective);

    // Runs `passes` passes of the mode (plus, in mode 1, the extra projection passes) and
    // returns the error: the largest |residual| or |last step|, 1e10 when any is not finite.
    double iterate(int mode, int passes);
    // A projection call of 2 passes followed by the divergence check.
    double guardedStep();
    // Restores the good state when the last steps ran away (see the step control).
    void checkDivergence();

    bool recovering() const { return globalGain() < kRecoveringGain; }
    double error() const;
    std::int64_t iterationCount() const { return count_; }
    std::int64_t lastReset() const { return lastReset_; }
    bool hasGoodState() const { return haveGood_; }
    // Of the last assembly: edges with rows and neither bit value 2 nor 8 in their flags.
    int activeEdges() const { return activeEdges_; }
    int constraintRows() const { return static_cast<int>(residual_.size()); }
    int parts() const { return parts_; }
    const std::vector<double>& residuals() const { return residual_; }
    // Last applied step of part `index`'s seven coordinates.
    const double* lastStep(int index) const { return step_.data() + 7 * index; }
    std::uint64_t systemSize() const { return rhs_.size(); }

    // Process-wide count of objective-solve calls, 0..9.
    static int cycleCounter();

  private:
    struct End {
        AssemblyGraph::AsmNode* node;
        int index;  // graph index, -1 when it cannot move
        rzMath::Pose pose;
        const rzMath::Pose* frame;
    };

    void assemble(AssemblyGraph::AsmTagGInterface& gi);
    int buildEdge(const AssemblyGraph::AsmEdge& edge);
    int addJointRows(const AssemblyGraph::AsmEdge& edge, bool point, int axisPairs);
    rzMath::MatrixNM* newBlock(int rows, int cols);
    void projectionStep();
    void objectiveStep();
    void control(std::vector<double>& dx);
    void save();
    void restore();
    void pass(int mode);

    AssemblyGraph::Assembly& assembly_;
    AssemblyGraph::AsmTagGInterface* gi_ = nullptr;  // valid during iterate()
    std::vector<KinematicObjective*> objectives_;

    rzMath::BlockSparseMatrix jt_;
    std::vector<std::unique_ptr<rzMath::MatrixNM>> pool_;
    std::size_t poolUsed_ = 0;
    std::vector<double> residual_;
    int groups_ = 0;
    int parts_ = 0;
    int activeEdges_ = 0;
    rzMath::SparseNormalSolver normal_;
    // [gradient (7 per part) | right-hand side of the normal system (one per row)] and the
    // matching [step | multipliers].
    rzMath::VectorN rhs_;
    rzMath::VectorN solution_;
    std::vector<double> scratch_;

    std::int64_t count_ = 0;
    std::int64_t lastReset_ = 0;
    bool haveGood_ = false;
    std::vector<std::pair<AssemblyGraph::AsmNode*, rzMath::Pose>> good_;
    std::vector<double> step_;
};

}  // namespace rzConstraintEngine
