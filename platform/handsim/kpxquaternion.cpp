#include "handsim/kpxquaternion.hpp"

#include <algorithm>
#include <cmath>

kpxQuaternion::kpxQuaternion(double w, double x, double y, double z) {
    set(w, x, y, z);
}

kpxQuaternion::kpxQuaternion(const kpxVector3d& axis, double angle) {
    setAxisAngle(axis, angle);
}

void kpxQuaternion::set(double w, double x, double y, double z) {
    m_w = w;
    m_x = x;
    m_y = y;
    m_z = z;
    normalizeCanonical();
}

void kpxQuaternion::setAxisAngle(const kpxVector3d& axis, double angle) {
    kpxVector3d a = axis;
    if (!a.normalize()) {
        set(1.0, 0.0, 0.0, 0.0);
        return;
    }
    const double s = std::sin(angle / 2.0);
    set(std::cos(angle / 2.0), a.getX() * s, a.getY() * s, a.getZ() * s);
}

void kpxQuaternion::setMatrix(const double m[3][3]) {
    // Shepperd's method: pick the largest diagonal term to keep the square root well away from 0.
    const double trace = m[0][0] + m[1][1] + m[2][2];
    double w, x, y, z;
    if (trace > 0.0) {
        const double s = std::sqrt(trace + 1.0) * 2.0;
        w = 0.25 * s;
        x = (m[2][1] - m[1][2]) / s;
        y = (m[0][2] - m[2][0]) / s;
        z = (m[1][0] - m[0][1]) / s;
    } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
        const double s = std::sqrt(1.0 + m[0][0] - m[1][1] - m[2][2]) * 2.0;
        w = (m[2][1] - m[1][2]) / s;
        x = 0.25 * s;
        y = (m[0][1] + m[1][0]) / s;
        z = (m[0][2] + m[2][0]) / s;
    } else if (m[1][1] > m[2][2]) {
        const double s = std::sqrt(1.0 + m[1][1] - m[0][0] - m[2][2]) * 2.0;
        w = (m[0][2] - m[2][0]) / s;
        x = (m[0][1] + m[1][0]) / s;
        y = 0.25 * s;
        z = (m[1][2] + m[2][1]) / s;
    } else {
        const double s = std::sqrt(1.0 + m[2][2] - m[0][0] - m[1][1]) * 2.0;
        w = (m[1][0] - m[0][1]) / s;
        x = (m[0][2] + m[2][0]) / s;
        y = (m[1][2] + m[2][1]) / s;
        z = 0.25 * s;
    }
    set(w, x, y, z);
}

void kpxQuaternion::getMatrix(double m[3][3]) const {
    const double w = m_w, x = m_x, y = m_y, z = m_z;
    m[0][0] = 1.0 - 2.0 * (y * y + z * z);
    m[0][1] = 2.0 * (x * y - w * z);
    m[0][2] = 2.0 * (x * z + w * y);
    m[1][0] = 2.0 * (x * y + w * z);
    m[1][1] = 1.0 - 2.0 * (x * x + z * z);
    m[1][2] = 2.0 * (y * z - w * x);
    m[2][0] = 2.0 * (x * z - w * y);
    m[2][1] = 2.0 * (y * z + w * x);
    m[2][2] = 1.0 - 2.0 * (x * x + y * y);
}

double kpxQuaternion::getAngle() const {
    return 2.0 * std::acos(std::clamp(m_w, -1.0, 1.0));
}

kpxVector3d kpxQuaternion::getAxis() const {
    kpxVector3d axis(m_x, m_y, m_z);
    if (!axis.normalize()) {
        return kpxVector3d(1.0, 0.0, 0.0);
    }
    return axis;
}

void kpxQuaternion::mul(const kpxQuaternion& o) {
    const double w = m_w * o.m_w - m_x * o.m_x - m_y * o.m_y - m_z * o.m_z;
    const double x = m_w * o.m_x + m_x * o.m_w + m_y * o.m_z - m_z * o.m_y;
    const double y = m_w * o.m_y - m_x * o.m_z + m_y * o.m_w + m_z * o.m_x;
    const double z = m_w * o.m_z + m_x * o.m_y - m_y * o.m_x + m_z * o.m_w;
    set(w, x, y, z);
}

void kpxQuaternion::conjugate() {
    set(m_w, -m_x, -m_y, -m_z);
}

kpxVector3d kpxQuaternion::rotate(const kpxVector3d& v) const {
    double m[3][3];
    getMatrix(m);
    return kpxVector3d(m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
                       m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
                       m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]);
}

void kpxQuaternion::normalizeCanonical() {
    const double n = std::sqrt(m_w * m_w + m_x * m_x + m_y * m_y + m_z * m_z);
    if (!(n > 0.0) || !std::isfinite(n)) {
        m_w = 1.0;
        m_x = m_y = m_z = 0.0;
        return;
    }
    const double s = (m_w < 0.0 ? -1.0 : 1.0) / n;
    m_w *= s;
    m_x *= s;
    m_y *= s;
    m_z *= s;
}
