#include "handsim/kpxphalanx.hpp"

kpxPhalanx::kpxPhalanx(kpxHumanHand* hand, int index, kpxGeometry* geometry,
                       const kpxTransform3D& geometryOffset, kpxContactPatch* patch)
    : kpxShape3D(geometry), m_hand(hand), m_index(index), m_offset(geometryOffset), m_patch(patch) {
    setPhysicalKind(HAND_PART);
    setFrame(kpxTransform3D());
}

kpxPhalanx::~kpxPhalanx() = default;

void kpxPhalanx::setFrame(const kpxTransform3D& frame) {
    m_frame = frame;
    m_inverse = frame;
    m_inverse.invert();
    kpxTransform3D shape = frame;
    shape.mul(m_offset);
    setTransform(shape);
}

kpxVector3d kpxPhalanx::toLinkPoint(const kpxVector3d& point) const {
    kpxVector3d out;
    m_inverse.transform(point, out);
    return out;
}

kpxVector3d kpxPhalanx::toLinkDirection(const kpxVector3d& direction) const {
    return m_inverse.transformDirection(direction);
}

void kpxPhalanx::setContactPatch(const kpxContactPatch& patch) {
    *m_patch = patch;
    m_patch->setFlag(0, 1);
}

void kpxPhalanx::clearContactPatch() {
    *m_patch = kpxContactPatch();
}
