#include "handsim/kpxvector3d.hpp"

#include <cmath>

void kpxVector3d::set(double x, double y, double z) {
    m_v[0] = x;
    m_v[1] = y;
    m_v[2] = z;
}

double kpxVector3d::length() const {
    return std::sqrt(lengthSquared());
}

double kpxVector3d::lengthSquared() const {
    return dot(*this);
}

double kpxVector3d::dot(const kpxVector3d& o) const {
    return m_v[0] * o.m_v[0] + m_v[1] * o.m_v[1] + m_v[2] * o.m_v[2];
}

void kpxVector3d::sub(const kpxVector3d& o) {
    for (int i = 0; i < 3; ++i) {
        m_v[i] -= o.m_v[i];
    }
}

void kpxVector3d::sub(const kpxVector3d& a, const kpxVector3d& b) {
    for (int i = 0; i < 3; ++i) {
        m_v[i] = a.m_v[i] - b.m_v[i];
    }
}

void kpxVector3d::add(const kpxVector3d& o) {
    for (int i = 0; i < 3; ++i) {
        m_v[i] += o.m_v[i];
    }
}

void kpxVector3d::scale(double f) {
    for (double& c : m_v) {
        c *= f;
    }
}

void kpxVector3d::cross(const kpxVector3d& a, const kpxVector3d& b) {
    const double x = a.m_v[1] * b.m_v[2] - a.m_v[2] * b.m_v[1];
    const double y = a.m_v[2] * b.m_v[0] - a.m_v[0] * b.m_v[2];
    const double z = a.m_v[0] * b.m_v[1] - a.m_v[1] * b.m_v[0];
    set(x, y, z);
}

bool kpxVector3d::normalize() {
    const double len = length();
    if (!(len > 0.0) || !std::isfinite(len)) {
        return false;
    }
    scale(1.0 / len);
    return true;
}

kpxVector3d operator+(const kpxVector3d& a, const kpxVector3d& b) {
    kpxVector3d r = a;
    r.add(b);
    return r;
}

kpxVector3d operator-(const kpxVector3d& a, const kpxVector3d& b) {
    kpxVector3d r;
    r.sub(a, b);
    return r;
}

kpxVector3d operator*(double s, const kpxVector3d& v) {
    kpxVector3d r = v;
    r.scale(s);
    return r;
}
