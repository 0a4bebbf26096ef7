#include "handsim/kpxcfhumanhand.hpp"

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxvexagrasp.hpp"

namespace {

kpxHandMaster* requireGrasp(kpxHandMaster* master, const kpxVexaGrasp* grasp) {
    if (grasp == nullptr) {
        throw new kpxBaseException("kpxCFHumanHand: a grasp device is required");
    }
    return master;
}

}  // namespace

kpxCFHumanHand::kpxCFHumanHand(kpxHandMaster* master, kpxVexaGrasp* grasp, double scale,
                               GHM::Handedness handedness)
    : kpxHumanHand(requireGrasp(master, grasp), scale, handedness), m_grasp(grasp) {
    m_grasp->setContactPatches(getContactPatches());
}

kpxCFHumanHand::~kpxCFHumanHand() {
    m_grasp->setContactPatches(nullptr);
}

void kpxCFHumanHand::sendForces() {
    m_grasp->update();
}
