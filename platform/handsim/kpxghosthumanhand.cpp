#include "handsim/kpxghosthumanhand.hpp"

#include "handsim/kpxcollisionengine.hpp"
#include "handsim/kpxphalanx.hpp"

#include <algorithm>

kpxGhostHumanHand::kpxGhostHumanHand(kpxHandMaster* master, double scale,
                                     GHM::Handedness handedness)
    : kpxHumanHand(master, scale, handedness) {
    m_tracked = getBaseTransform();
}

kpxGhostHumanHand::~kpxGhostHumanHand() = default;

void kpxGhostHumanHand::update(bool updateDevices) {
    kpxHumanHand::update(updateDevices);
    m_tracked = getBaseTransform();
    m_carried = getCorrection();
    const double length = m_carried.length();
    const double relax = kRelaxPerUpdate * getScale();
    m_carried.scale(length > relax ? (length - relax) / length : 0.0);
    m_pushPos = kpxVector3d();
    m_pushNeg = kpxVector3d();
    place();
}

kpxVector3d kpxGhostHumanHand::getCorrection() const {
    return m_carried + m_pushPos + m_pushNeg;
}

void kpxGhostHumanHand::place() {
    kpxTransform3D base = m_tracked;
    base.setTranslation(m_tracked.getTranslation() + getCorrection());
    setBaseTransform(base);
}

void kpxGhostHumanHand::handleCollision(const kpxCollisionPair& pair) {
    int mine = -1;
    for (int which = 0; which < 2; ++which) {
        kpxPhalanx* part = pair.getObject(which)->getPhalanx();
        kpxShape3D* other = pair.getObject(1 - which);
        if (part != nullptr && part->getHand() == this &&
            other->getPhysicalKind() == kpxShape3D::SCENE_OBJECT) {
            mine = which;
        }
    }
    if (mine < 0 || !(pair.getDepth() > 0.0)) {
        return;
    }
    // Every pair of a step was found with the hand where this step's update put it, so the
    // pushes combine against that place rather than adding up.
    const kpxVector3d push = pair.getDepth() * pair.getContactNormal(mine);
    for (int i = 0; i < 3; ++i) {
        if (push[i] > 0.0) {
            m_pushPos[i] = std::max(m_pushPos[i], push[i]);
        } else {
            m_pushNeg[i] = std::min(m_pushNeg[i], push[i]);
        }
    }
    place();
}
