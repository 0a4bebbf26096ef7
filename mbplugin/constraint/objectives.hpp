#pragma once
// Objectives of the constraint engine. Each acts on one part (an assembly node) and, when
// evaluated, adds its contribution to the gradient of that part's seven pose coordinates
// (position x, y, z, quaternion w, x, y, z). The solver steps against the gradient, so each
// contribution is the gradient of a potential named at its class.
//
// All weights are multiplied by the process-wide gain G (1.2, lowered to 0.1 by the solver
// while it recovers from a diverging step).

#include "constraint/asmnode.hpp"
#include "constraint/pose.hpp"

namespace rzConstraintEngine {

using rzMath::Pose;
using rzMath::Quat;
using rzMath::Vec3;

constexpr double kDefaultGain = 1.2;
constexpr double kRecoveryGain = 0.1;
constexpr double kPositionCap = 0.2;

// The process-wide gain G; shared by every solver and objective of the process.
double globalGain();
void setGlobalGain(double gain);

// Gradient contributions shared by the objectives; exposed for the solver and for checks.
// Position: gradient[k] += w * min(p[k] - target[k], 0.2) (capped from above only).
void addPositionTerm(const Vec3& p, const Vec3& target, double w, double* gradient);
// Orientation of local axis `axis` against the target rotation, weight w, cross factor c;
// adds to gradient[3..6] and returns the clamped error a.t - 1 (0 aligned, -1 from a right
// angle on). Potential inside the clamps: w (e^2 / 2 + c (su^2 + sv^2) / 2).
double addOrientationTerm(const Quat& q, const Quat& target, const Vec3& axis, double w, double c,
                          double* gradient);

class KinematicObjective {
  public:
    // Raises std::runtime_error "AsmNode is grounded." for a grounded node (and
    // std::invalid_argument for none at all); the objective is then not created.
    explicit KinematicObjective(AssemblyGraph::AsmNode* node);
    virtual ~KinematicObjective() = default;
    KinematicObjective(const KinematicObjective&) = delete;
    KinematicObjective& operator=(const KinematicObjective&) = delete;

    // Adds to gradient[0..6] (the part's entries). `second` (the matching rows of a
    // second-order block, 7 per row) may be null; no objective here fills it.
    virtual double evaluate(double* gradient, double* second) = 0;
    virtual double distance() { return 0.0; }
    virtual double offsetAlongDirection() { return 0.0; }
    virtual double targetAdvance() { return 0.0; }
    virtual void setDirection(const Vec3& localDirection, Pose* pose) {
        (void)localDirection;
        (void)pose;
    }
    virtual void getDirection(Vec3* out) const { (void)out; }
    virtual void worldDirection(Vec3* out) const { (void)out; }

    AssemblyGraph::AsmNode* node() const { return node_; }
    bool enabled() const { return enabled_; }
    void setEnabled(bool on) { enabled_ = on; }

  protected:
    AssemblyGraph::AsmNode* node_;  // not owned; the assembly's owner outlives objectives
    bool enabled_ = true;
};

// Bring the part to a target position and turn its local axis onto the target's.
// Potential: G pw |p - T|^2 / 2 (below the cap) + the orientation term's, cross factor 0.3.
class DistanceOrientationObjective : public KinematicObjective {
  public:
    explicit DistanceOrientationObjective(AssemblyGraph::AsmNode* node);

    // Returns the orientation error, also kept in orientationError().
    double evaluate(double* gradient, double* second) override;
    // |target - p|, kept in lastDistance().
    double distance() override;
    // (target - p) . worldDirection().
    double offsetAlongDirection() override;
    // Movement of the target since the previous call along worldDirection(); 0 on the first.
    double targetAdvance() override;
    void setDirection(const Vec3& localDirection, Pose* pose) override;
    void getDirection(Vec3* out) const override;
    // localDirection turned by the direction pose's rotation (unchanged without one).
    void worldDirection(Vec3* out) const override;
    virtual double orientationError() const { return orientationError_; }

    const Pose& target() const { return target_; }
    void setTarget(const Pose& target) { target_ = target; }
    const Vec3& localAxis() const { return localAxis_; }
    void setLocalAxis(const Vec3& axis) { localAxis_ = axis; }
    double positionWeight() const { return positionWeight_; }
    void setPositionWeight(double w) { positionWeight_ = w; }
    double orientationWeight() const { return orientationWeight_; }
    void setOrientationWeight(double w) { orientationWeight_ = w; }
    double lastDistance() const { return lastDistance_; }

  protected:
    Vec3 localAxis_{1.0, 0.0, 0.0};
    double lastDistance_ = 0.0;
    double orientationError_ = 0.0;
    Pose target_{};  // zero position and zero quaternion until set
    Vec3 previousTarget_;
    Vec3 targetStep_;
    Vec3 localDirection_;
    Pose* directionPose_ = nullptr;
    unsigned firstAdvance_ = 1;
    double positionWeight_ = 0.3;
    double orientationWeight_ = 1.0;
};

// Position (G pw) and the part's x and y axes onto the target's (G ow, cross factor 0);
// returns the y axis error.
class DistanceOrientation3AxisObjective : public DistanceOrientationObjective {
  public:
    DistanceOrientation3AxisObjective(double positionWeight, double orientationWeight,
                                      AssemblyGraph::AsmNode* node);
    double evaluate(double* gradient, double* second) override;
};

// Position (G 0.5 pw) and two given axes (G 0.2 ow, cross factor 0.3); returns axisB's error.
class DistanceOrient2AxisXYObjective : public DistanceOrientationObjective {
  public:
    DistanceOrient2AxisXYObjective(double positionWeight, double orientationWeight,
                                   AssemblyGraph::AsmNode* node, const Vec3& axisA,
                                   const Vec3& axisB);
    double evaluate(double* gradient, double* second) override;

  private:
    Vec3 axisA_;
    Vec3 axisB_;
};

// Only the part's x axis onto the target's (G 0.5, cross factor 0).
class OrientationObjective : public DistanceOrientationObjective {
  public:
    explicit OrientationObjective(AssemblyGraph::AsmNode* node);
    double evaluate(double* gradient, double* second) override;
};

// A point of the part (local point, zero unless set) to the target position. Replaces the
// part's seven gradient entries (other objectives' contributions to the part are dropped).
// Potential: G w |x - T|^2 / 2, x the world point. Returns |x - T|.
class DistanceObjective : public DistanceOrientationObjective {
  public:
    DistanceObjective(double weight, AssemblyGraph::AsmNode* node);
    double evaluate(double* gradient, double* second) override;
    const Vec3& localPoint() const { return localPoint_; }
    void setLocalPoint(const Vec3& p) { localPoint_ = p; }

  private:
    Vec3 localPoint_;
};

// A point of the part onto the line through A and B. Potential: G w dist(x, line)^2.
// Adds nothing while A and B coincide (no line). Returns the distance to the line.
class RayPointObjective : public KinematicObjective {
  public:
    RayPointObjective(double weight, AssemblyGraph::AsmNode* node);
    double evaluate(double* gradient, double* second) override;

    void setRay(const Vec3& a, const Vec3& b) {
        rayA_ = a;
        rayB_ = b;
    }
    void setLocalPoint(const Vec3& p) { localPoint_ = p; }
    const Vec3& startPosition() const { return startPosition_; }
    double weight() const { return weight_; }

  private:
    Vec3 rayA_;
    Vec3 rayB_;
    Vec3 localPoint_;
    Vec3 startPosition_;  // the part's position at construction
    double spare_ = 0.0;
    double weight_;
};

// Pushes a point of the part away from an obstacle point. Potential:
// G 0.01 / (|x - obstacle|^2 + 0.05); the push is largest at sqrt(0.05 / 3) m.
// Returns |x - obstacle|.
class DistanceRepulsion : public KinematicObjective {
  public:
    explicit DistanceRepulsion(AssemblyGraph::AsmNode* node);
    double evaluate(double* gradient, double* second) override;

    void setObstacle(const Vec3& p) { obstacle_ = p; }
    void setLocalPoint(const Vec3& p) { localPoint_ = p; }

  private:
    Vec3 obstacle_;
    Vec3 localPoint_;
};

}  // namespace rzConstraintEngine
