#pragma once
// Rigid transform: a rotation followed by a translation, p' = R p + t. Composition follows
// the usual matrix product, so a chain of link transforms is walked by multiplying each
// child transform onto its parent's from the right.

#include "handsim/kpxquaternion.hpp"
#include "handsim/kpxvector3d.hpp"

class kpxTransform3D {
  public:
    // Multiplication orders for mul().
    enum RotationOrder {
        PostMultiply = 0,  // this := this * other (other expressed in this frame)
        PreMultiply = 1,   // this := other * this
    };

    // Identity.
    kpxTransform3D() = default;
    kpxTransform3D(const kpxQuaternion& rotation, const kpxVector3d& translation);

    void identity();
    bool isIdentity(double tolerance = 1e-12) const;

    // this := this * other (order 0) or other * this (order 1).
    void mul(const kpxTransform3D& other, int rotationOrder = PostMultiply);
    // this := a * b
    void mul(const kpxTransform3D& a, const kpxTransform3D& b);

    // Replace this transform by a pure counter-clockwise rotation about x, y or z (radians);
    // the translation is cleared.
    void rotX(double angle);
    void rotY(double angle);
    void rotZ(double angle);

    void setTranslation(const kpxVector3d& t);
    kpxVector3d getTranslation() const;
    void getTranslation(kpxVector3d& out_t) const { out_t = getTranslation(); }
    // The translation is kept.
    void setRotation(const kpxQuaternion& q);
    kpxQuaternion getRotation() const;
    void getRotation(kpxQuaternion& out_q) const { out_q = getRotation(); }
    // Row-major 3 x 3, assumed orthonormal with determinant 1.
    void setRotationMatrix(const double m[3][3]);
    void getRotationMatrix(double out_m[3][3]) const;

    // Point transform in place (rotation and translation).
    void transform(kpxVector3d& point) const;
    void transform(const kpxVector3d& point, kpxVector3d& out_point) const;
    // Direction transform (rotation only).
    kpxVector3d transformDirection(const kpxVector3d& dir) const;

    // this := this^-1
    void invert();

    // Column-major 4 x 4 as OpenGL's glMultMatrixd expects.
    void getOpenGLMatrix(double out_m[16]) const;

    // Element (row, column) of the 3 x 4 matrix [R | t].
    double element(int row, int col) const { return col < 3 ? m_r[row][col] : m_t[row]; }

  private:
    double m_r[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    double m_t[3] = {0.0, 0.0, 0.0};
};
