#include "constraint/objectives.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

namespace rzConstraintEngine {

using rzMath::cross;
using rzMath::dot;

namespace {

std::atomic<double> gGain{kDefaultGain};

// Gradient of a world point x = transformPoint(pose, r) against a vector v: (v^T Jp)_i for
// the seven pose coordinates.
void pointGradient(const Quat& q, const Vec3& r, const Vec3& v, double scale, double out[7]) {
    Vec3 jq[4];
    rzMath::rotateByQuatJacobian(q, r, jq);
    out[0] = scale * v.x;
    out[1] = scale * v.y;
    out[2] = scale * v.z;
    for (int k = 0; k < 4; ++k) {
        out[3 + k] = scale * dot(v, jq[k]);
    }
}

}  // namespace

double globalGain() {
    return gGain.load(std::memory_order_relaxed);
}
void setGlobalGain(double gain) {
    gGain.store(gain, std::memory_order_relaxed);
}

void addPositionTerm(const Vec3& p, const Vec3& target, double w, double* gradient) {
    for (int k = 0; k < 3; ++k) {
        gradient[k] += w * std::min(p[k] - target[k], kPositionCap);
    }
}

double addOrientationTerm(const Quat& q, const Quat& target, const Vec3& axis, double w, double c,
                          double* gradient) {
    const Vec3 a = rzMath::rotateByQuat(q, axis);
    const Vec3 n = (1.0 / rzMath::norm(axis)) * axis;
    Vec3 h{1.0, 0.0, 0.0};
    // Along x the crossing vectors would vanish; cross with the diagonal instead.
    if (std::fabs(std::fabs(n.x) - 1.0) < 0.1) {
        h = {-0.70710678, 0.70710678, 0.0};
    }
    const Vec3 u = cross(n, h);
    const Vec3 v = cross(n, u);
    const Vec3 t = rzMath::rotateByQuat(target, axis);
    const Vec3 tu = rzMath::rotateByQuat(target, u);
    const Vec3 tv = rzMath::rotateByQuat(target, v);
    Vec3 j[4];
    rzMath::rotateByQuatJacobian(q, axis, j);
    const double e = std::clamp(dot(a, t) - 1.0, -1.0, 1.0);
    const double su = std::clamp(dot(tu, a), -1.0, 1.0);
    const double sv = std::clamp(dot(tv, a), -1.0, 1.0);
    for (int k = 0; k < 4; ++k) {
        gradient[3 + k] += w * (c * (su * dot(tu, j[k]) + sv * dot(tv, j[k])) + e * dot(t, j[k]));
    }
    return e;
}

KinematicObjective::KinematicObjective(AssemblyGraph::AsmNode* node) : node_(node) {
    if (node == nullptr) {
        throw std::invalid_argument("AsmNode is null.");
    }
    if (node->grounded) {
        throw std::runtime_error("AsmNode is grounded.");
    }
}

DistanceOrientationObjective::DistanceOrientationObjective(AssemblyGraph::AsmNode* node)
    : KinematicObjective(node) {
    target_.q = Quat{0.0, 0.0, 0.0, 0.0};
}

double DistanceOrientationObjective::evaluate(double* gradient, double*) {
    const double g = globalGain();
    addPositionTerm(node_->pose.position, target_.position, g * positionWeight_, gradient);
    orientationError_ = addOrientationTerm(node_->pose.q, target_.q, localAxis_,
                                           g * orientationWeight_, 0.3, gradient);
    return orientationError_;
}

double DistanceOrientationObjective::distance() {
    lastDistance_ = rzMath::norm(target_.position - node_->pose.position);
    return lastDistance_;
}

void DistanceOrientationObjective::worldDirection(Vec3* out) const {
    *out = directionPose_ != nullptr ? rzMath::rotateByQuat(directionPose_->q, localDirection_)
                                     : localDirection_;
}

double DistanceOrientationObjective::offsetAlongDirection() {
    Vec3 w;
    worldDirection(&w);
    return dot(target_.position - node_->pose.position, w);
}

double DistanceOrientationObjective::targetAdvance() {
    if (firstAdvance_ != 0) {
        previousTarget_ = target_.position;
        firstAdvance_ = 0;
    }
    targetStep_ = target_.position - previousTarget_;
    previousTarget_ = target_.position;
    Vec3 w;
    worldDirection(&w);
    return dot(targetStep_, w);
}

void DistanceOrientationObjective::setDirection(const Vec3& localDirection, Pose* pose) {
    localDirection_ = localDirection;
    directionPose_ = pose;
}

void DistanceOrientationObjective::getDirection(Vec3* out) const {
    *out = localDirection_;
}

DistanceOrientation3AxisObjective::DistanceOrientation3AxisObjective(double positionWeight,
                                                                     double orientationWeight,
                                                                     AssemblyGraph::AsmNode* node)
    : DistanceOrientationObjective(node) {
    positionWeight_ = positionWeight;
    orientationWeight_ = orientationWeight;
}

double DistanceOrientation3AxisObjective::evaluate(double* gradient, double*) {
    const double g = globalGain();
    addPositionTerm(node_->pose.position, target_.position, g * positionWeight_, gradient);
    const double w = g * orientationWeight_;
    addOrientationTerm(node_->pose.q, target_.q, {1, 0, 0}, w, 0.0, gradient);
    orientationError_ = addOrientationTerm(node_->pose.q, target_.q, {0, 1, 0}, w, 0.0, gradient);
    return orientationError_;
}

DistanceOrient2AxisXYObjective::DistanceOrient2AxisXYObjective(double positionWeight,
                                                               double orientationWeight,
                                                               AssemblyGraph::AsmNode* node,
                                                               const Vec3& axisA, const Vec3& axisB)
    : DistanceOrientationObjective(node), axisA_(axisA), axisB_(axisB) {
    positionWeight_ = positionWeight;
    orientationWeight_ = orientationWeight;
}

double DistanceOrient2AxisXYObjective::evaluate(double* gradient, double*) {
    const double g = globalGain();
    addPositionTerm(node_->pose.position, target_.position, g * 0.5 * positionWeight_, gradient);
    const double w = g * 0.2 * orientationWeight_;
    addOrientationTerm(node_->pose.q, target_.q, axisA_, w, 0.3, gradient);
    orientationError_ = addOrientationTerm(node_->pose.q, target_.q, axisB_, w, 0.3, gradient);
    return orientationError_;
}

OrientationObjective::OrientationObjective(AssemblyGraph::AsmNode* node)
    : DistanceOrientationObjective(node) {}

double OrientationObjective::evaluate(double* gradient, double*) {
    orientationError_ =
        addOrientationTerm(node_->pose.q, target_.q, {1, 0, 0}, globalGain() * 0.5, 0.0, gradient);
    return orientationError_;
}

DistanceObjective::DistanceObjective(double weight, AssemblyGraph::AsmNode* node)
    : DistanceOrientationObjective(node) {
    positionWeight_ = weight;
}

double DistanceObjective::evaluate(double* gradient, double*) {
    const Pose& pose = node_->pose;
    const Vec3 d = rzMath::transformPoint(pose, localPoint_) - target_.position;
    pointGradient(pose.q, localPoint_, d, globalGain() * positionWeight_, gradient);
    return rzMath::norm(d);
}

RayPointObjective::RayPointObjective(double weight, AssemblyGraph::AsmNode* node)
    : KinematicObjective(node), startPosition_(node->pose.position), weight_(weight) {
    (void)spare_;
}

double RayPointObjective::evaluate(double* gradient, double*) {
    const Vec3 r = rayA_ - rayB_;
    const double rr = dot(r, r);
    if (rr == 0.0) {
        return 0.0;  // no line yet
    }
    const Pose& pose = node_->pose;
    const Vec3 x = rzMath::transformPoint(pose, localPoint_);
    const Vec3 m = cross(x - rayA_, r);
    // m . (J_i x r) = J_i . (r x m)
    const double scale = globalGain() * weight_ * 2.0 / rr;
    double g[7];
    pointGradient(pose.q, localPoint_, cross(r, m), scale, g);
    for (int i = 0; i < 7; ++i) {
        gradient[i] += g[i];
    }
    return std::sqrt(dot(m, m) / rr);
}

DistanceRepulsion::DistanceRepulsion(AssemblyGraph::AsmNode* node) : KinematicObjective(node) {}

double DistanceRepulsion::evaluate(double* gradient, double*) {
    const Pose& pose = node_->pose;
    const Vec3 d = rzMath::transformPoint(pose, localPoint_) - obstacle_;
    const double s = dot(d, d) + 0.05;
    double g[7];
    pointGradient(pose.q, localPoint_, d, globalGain() * 0.01 * (-2.0 / (s * s)), g);
    for (int i = 0; i < 7; ++i) {
        gradient[i] += g[i];
    }
    return rzMath::norm(d);
}

}  // namespace rzConstraintEngine
