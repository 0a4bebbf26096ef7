#include "graspdemo/graspscene.hpp"

#include "handsim/kpxcontactpatch.hpp"
#include "handsim/kpxmassproperties.hpp"
#include "handsim/kpxphalanx.hpp"
#include "handsim/kpxvexagrasp.hpp"

namespace {

constexpr double kStiffness = 0.45;
constexpr double kDamping = 1.0;
constexpr double kMetresPerUnit = 0.01;

}  // namespace

GraspScene::GraspScene() : sphere(new kpxVertexSphere(8.0, 20, 20)) {
    root.setRoot();
    root.addChild(&component);
    component.addChild(&sphere);
    kpxMassProperties mass;
    mass.computeHomogeneousMassProp(&sphere);
    component.setPhysicalAttributes(mass, kpxDynamicAttributes());
}

void applyGraspContacts(const std::vector<kpxCollisionPair>& pairs, kpxVexaGrasp* grasp) {
    for (kpxCollisionPair pair : pairs) {
        const int k0 = pair.getObject(0)->getPhysicalKind();
        const int k1 = pair.getObject(1)->getPhysicalKind();
        if (k1 == kpxShape3D::HAND_PART && k0 == kpxShape3D::SCENE_OBJECT) {
            pair.swap();
        } else if (k0 != kpxShape3D::HAND_PART || k1 != kpxShape3D::SCENE_OBJECT) {
            continue;
        }
        kpxPhalanx* phalanx = pair.getObject(0)->getPhalanx();
        if (phalanx == nullptr) {
            continue;
        }
        // A point moves with the whole frame; a normal only turns with it.
        const kpxVector3d point = phalanx->toLinkPoint(pair.getContactPoint(0));
        const kpxVector3d normal = phalanx->toLinkDirection(pair.getContactNormal(0));
        const double p[3] = {point.getX(), point.getY(), point.getZ()};
        const double n[3] = {normal.getX(), normal.getY(), normal.getZ()};
        kpxContactPatch patch(p, n);
        patch.setStiffness(kStiffness);
        patch.setDamping(kDamping);
        patch.setDepth(pair.getDepth() * kMetresPerUnit);
        phalanx->setContactPatch(patch);
        if (grasp != nullptr && grasp->getMode() != kpxVexaGrasp::MODE_FORCE) {
            grasp->setMode(kpxVexaGrasp::MODE_FORCE);
        }
    }
}
