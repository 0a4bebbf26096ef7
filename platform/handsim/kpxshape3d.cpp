#include "handsim/kpxshape3d.hpp"

#include "handsim/kpxbaseexception.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>

namespace {

bool positive(double v) {
    return v > 0.0 && std::isfinite(v);
}

std::uint64_t nextShapeId() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

kpxGeometry::~kpxGeometry() = default;

kpxVertexBox::kpxVertexBox(double x, double y, double z) : m_size{x, y, z} {
    if (!positive(x) || !positive(y) || !positive(z)) {
        throw new kpxBaseException("kpxVertexBox: edges must be positive");
    }
}

double kpxVertexBox::volume() const {
    return m_size[0] * m_size[1] * m_size[2];
}

kpxVector3d kpxVertexBox::unitInertia() const {
    const double x2 = m_size[0] * m_size[0], y2 = m_size[1] * m_size[1], z2 = m_size[2] * m_size[2];
    return kpxVector3d((y2 + z2) / 12.0, (x2 + z2) / 12.0, (x2 + y2) / 12.0);
}

kpxVertexSphere::kpxVertexSphere(double radius, int slices, int stacks)
    : m_radius(radius), m_slices(std::min(slices, 512)), m_stacks(std::min(stacks, 512)) {
    if (!positive(radius)) {
        throw new kpxBaseException("kpxVertexSphere: radius must be positive");
    }
    if (slices < 3 || stacks < 2) {
        throw new kpxBaseException("kpxVertexSphere: at least 3 slices and 2 stacks");
    }
    m_normals.reserve(static_cast<size_t>((m_stacks + 1) * (m_slices + 1)));
    for (int i = 0; i <= m_stacks; ++i) {
        const double polar = std::numbers::pi * i / m_stacks;
        for (int j = 0; j <= m_slices; ++j) {
            const double azimuth = 2.0 * std::numbers::pi * j / m_slices;
            m_normals.emplace_back(std::sin(polar) * std::cos(azimuth),
                                   std::sin(polar) * std::sin(azimuth), -std::cos(polar));
        }
    }
}

double kpxVertexSphere::volume() const {
    return 4.0 / 3.0 * std::numbers::pi * m_radius * m_radius * m_radius;
}

kpxVector3d kpxVertexSphere::unitInertia() const {
    const double i = 0.4 * m_radius * m_radius;
    return kpxVector3d(i, i, i);
}

kpxCapsule::kpxCapsule(double radius, double length) : m_radius(radius), m_length(length) {
    if (!positive(radius) || !(length >= 0.0) || !std::isfinite(length)) {
        throw new kpxBaseException("kpxCapsule: radius must be positive, length not negative");
    }
}

double kpxCapsule::volume() const {
    const double r = m_radius;
    return std::numbers::pi * r * r * (m_length + 4.0 / 3.0 * r);
}

kpxVector3d kpxCapsule::unitInertia() const {
    // Cylinder plus two hemispheres shifted along the axis (parallel axis theorem on each
    // hemisphere's own centre of mass, 3r/8 from its flat face).
    const double r = m_radius, h = m_length;
    const double mc = h, ms = 4.0 / 3.0 * r;  // mass shares per pi r^2
    const double axial = mc * r * r / 2.0 + ms * 0.4 * r * r;
    const double dc = h / 2.0 + 3.0 * r / 8.0;
    const double transverse = mc * (3.0 * r * r + h * h) / 12.0 +
                              ms * (0.4 * r * r - (3.0 * r / 8.0) * (3.0 * r / 8.0) + dc * dc);
    const double m = mc + ms;
    return kpxVector3d(transverse / m, axial / m, transverse / m);
}

kpxShape3D::kpxShape3D(kpxGeometry* geometry) : m_geometry(geometry), m_id(nextShapeId()) {
    if (geometry == nullptr) {
        throw new kpxBaseException("kpxShape3D: a geometry is required");
    }
}

kpxShape3D::~kpxShape3D() = default;
