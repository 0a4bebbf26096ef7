#pragma once
// Rotation as a unit quaternion (w, x, y, z). Kept normalised with w >= 0, so the rotation
// angle it reports lies in [0, pi].

#include "handsim/kpxvector3d.hpp"

class kpxQuaternion {
  public:
    // Identity rotation.
    kpxQuaternion() = default;
    // Normalises; a zero quaternion becomes the identity.
    kpxQuaternion(double w, double x, double y, double z);
    // Rotation of `angle` radians about `axis` (any length; a zero axis gives the identity).
    kpxQuaternion(const kpxVector3d& axis, double angle);

    double getW() const { return m_w; }
    double getX() const { return m_x; }
    double getY() const { return m_y; }
    double getZ() const { return m_z; }

    void set(double w, double x, double y, double z);
    void setAxisAngle(const kpxVector3d& axis, double angle);
    // From a proper rotation matrix (row-major 3 x 3).
    void setMatrix(const double m[3][3]);
    void getMatrix(double out_m[3][3]) const;

    // Rotation angle in radians, 0..pi.
    double getAngle() const;
    // Unit rotation axis; (1, 0, 0) for the identity, whose axis is arbitrary.
    kpxVector3d getAxis() const;
    void getAxis(kpxVector3d& out_axis) const { out_axis = getAxis(); }

    // this := this * other (apply other first, then this).
    void mul(const kpxQuaternion& other);
    void conjugate();
    // Rotates a vector.
    kpxVector3d rotate(const kpxVector3d& v) const;

  private:
    void normalizeCanonical();

    double m_w = 1.0;
    double m_x = 0.0;
    double m_y = 0.0;
    double m_z = 0.0;
};
