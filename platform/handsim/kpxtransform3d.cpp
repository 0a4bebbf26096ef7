#include "handsim/kpxtransform3d.hpp"

#include <cmath>

kpxTransform3D::kpxTransform3D(const kpxQuaternion& rotation, const kpxVector3d& translation) {
    setRotation(rotation);
    setTranslation(translation);
}

void kpxTransform3D::identity() {
    *this = kpxTransform3D();
}

bool kpxTransform3D::isIdentity(double tol) const {
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(m_t[i]) > tol) {
            return false;
        }
        for (int j = 0; j < 3; ++j) {
            if (std::fabs(m_r[i][j] - (i == j ? 1.0 : 0.0)) > tol) {
                return false;
            }
        }
    }
    return true;
}

void kpxTransform3D::mul(const kpxTransform3D& a, const kpxTransform3D& b) {
    kpxTransform3D r;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r.m_r[i][j] =
                a.m_r[i][0] * b.m_r[0][j] + a.m_r[i][1] * b.m_r[1][j] + a.m_r[i][2] * b.m_r[2][j];
        }
        r.m_t[i] =
            a.m_r[i][0] * b.m_t[0] + a.m_r[i][1] * b.m_t[1] + a.m_r[i][2] * b.m_t[2] + a.m_t[i];
    }
    *this = r;
}

void kpxTransform3D::mul(const kpxTransform3D& other, int rotationOrder) {
    if (rotationOrder == PreMultiply) {
        mul(other, kpxTransform3D(*this));
    } else {
        mul(kpxTransform3D(*this), other);
    }
}

void kpxTransform3D::rotX(double a) {
    identity();
    const double c = std::cos(a), s = std::sin(a);
    m_r[1][1] = c;
    m_r[1][2] = -s;
    m_r[2][1] = s;
    m_r[2][2] = c;
}

void kpxTransform3D::rotY(double a) {
    identity();
    const double c = std::cos(a), s = std::sin(a);
    m_r[0][0] = c;
    m_r[0][2] = s;
    m_r[2][0] = -s;
    m_r[2][2] = c;
}

void kpxTransform3D::rotZ(double a) {
    identity();
    const double c = std::cos(a), s = std::sin(a);
    m_r[0][0] = c;
    m_r[0][1] = -s;
    m_r[1][0] = s;
    m_r[1][1] = c;
}

void kpxTransform3D::setTranslation(const kpxVector3d& t) {
    for (int i = 0; i < 3; ++i) {
        m_t[i] = t[i];
    }
}

kpxVector3d kpxTransform3D::getTranslation() const {
    return kpxVector3d(m_t[0], m_t[1], m_t[2]);
}

void kpxTransform3D::setRotation(const kpxQuaternion& q) {
    q.getMatrix(m_r);
}

kpxQuaternion kpxTransform3D::getRotation() const {
    kpxQuaternion q;
    q.setMatrix(m_r);
    return q;
}

void kpxTransform3D::setRotationMatrix(const double m[3][3]) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m_r[i][j] = m[i][j];
        }
    }
}

void kpxTransform3D::getRotationMatrix(double out_m[3][3]) const {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out_m[i][j] = m_r[i][j];
        }
    }
}

void kpxTransform3D::transform(const kpxVector3d& p, kpxVector3d& out_p) const {
    kpxVector3d r;
    for (int i = 0; i < 3; ++i) {
        r[i] = m_r[i][0] * p[0] + m_r[i][1] * p[1] + m_r[i][2] * p[2] + m_t[i];
    }
    out_p = r;
}

void kpxTransform3D::transform(kpxVector3d& p) const {
    transform(p, p);
}

kpxVector3d kpxTransform3D::transformDirection(const kpxVector3d& d) const {
    kpxVector3d r;
    for (int i = 0; i < 3; ++i) {
        r[i] = m_r[i][0] * d[0] + m_r[i][1] * d[1] + m_r[i][2] * d[2];
    }
    return r;
}

void kpxTransform3D::invert() {
    // For a rigid transform the inverse is R^T and -R^T t.
    kpxTransform3D inv;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            inv.m_r[i][j] = m_r[j][i];
        }
    }
    for (int i = 0; i < 3; ++i) {
        inv.m_t[i] = -(inv.m_r[i][0] * m_t[0] + inv.m_r[i][1] * m_t[1] + inv.m_r[i][2] * m_t[2]);
    }
    *this = inv;
}

void kpxTransform3D::getOpenGLMatrix(double out_m[16]) const {
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 3; ++r) {
            out_m[c * 4 + r] = m_r[r][c];
        }
        out_m[c * 4 + 3] = 0.0;
    }
    for (int r = 0; r < 3; ++r) {
        out_m[12 + r] = m_t[r];
    }
    out_m[15] = 1.0;
}
