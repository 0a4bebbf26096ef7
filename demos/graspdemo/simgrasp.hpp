#pragma once
// The grasp demo's application ("SimForce"): a glove- and tracker-driven hand with force
// feedback through the grasp exoskeleton, touching a sphere.
//
// build() connects the devices in turn (glove, tracker, grasp: the right-hand names first,
// then the left), reporting a missing one with its message box, then opens the window and
// builds the scene. GUI thread; the simulation reads the hand and the scene on the engine's
// thread under the scene-graph lock.

#include "framework/demoapp.hpp"
#include "graspdemo/graspscene.hpp"
#include "handsim/kpxogldrawer.hpp"
#include "handsim/kpxtransform3d.hpp"

#include <memory>

class kpxCFHumanHand;
class kpxHandMaster;
class kpxTracker;
class kpxVexaGlove;
class kpxVexaGrasp;

class SimGrasp : public DemoApp {
  public:
    SimGrasp();
    ~SimGrasp() override;

    // False when a device is missing or the window cannot open (already reported). Throws
    // kpxBaseException* for other toolkit failures.
    bool build();
    void draw() override;

    kpxCFHumanHand* getHand() const { return m_hand.get(); }
    kpxVexaGrasp* getGrasp() const { return m_grasp.get(); }
    kpxGroup* getRoot() { return m_scene ? &m_scene->root : nullptr; }

  private:
    // Members in build order; torn down in reverse (the hand before the devices it uses).
    std::unique_ptr<kpxVexaGlove> m_glove;
    std::unique_ptr<kpxTracker> m_tracker;
    std::unique_ptr<kpxVexaGrasp> m_grasp;
    std::unique_ptr<kpxHandMaster> m_master;
    std::unique_ptr<kpxCFHumanHand> m_hand;
    std::unique_ptr<kpxOglDrawer> m_drawer;
    kpxTransform3D m_transform;
    std::unique_ptr<GraspScene> m_scene;
};
