#include "handsim/kpxmassproperties.hpp"

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxshape3d.hpp"

#include <cmath>

void kpxMassProperties::computeHomogeneousMassProp(const kpxShape3D* shape, double density) {
    if (shape == nullptr || shape->getGeometry() == nullptr) {
        throw new kpxBaseException("computeHomogeneousMassProp: no shape");
    }
    if (!(density > 0.0) || !std::isfinite(density)) {
        throw new kpxBaseException("computeHomogeneousMassProp: density must be positive");
    }
    const kpxGeometry& g = *shape->getGeometry();
    m_mass = density * g.volume();
    m_center = kpxVector3d();
    m_inertia = m_mass * g.unitInertia();
}
