#pragma once
// The ghost demo's application ("SimGhosting"): a glove- and tracker-driven hand that stops
// at a box instead of passing through it.
//
// build() connects the glove (the right-hand name first, then the left) and the first
// tracker of the configuration, reporting a missing one with its message box, then opens
// the window and builds the scene. GUI thread; the simulation reads the hand and the scene
// on the engine's thread under the scene-graph lock.

#include "framework/demoapp.hpp"
#include "ghostdemo/ghostscene.hpp"
#include "handsim/kpxogldrawer.hpp"
#include "handsim/kpxtransform3d.hpp"

#include <memory>

class kpxGhostHumanHand;
class kpxHandMaster;
class kpxTracker;
class kpxVexaGlove;

class SimHand : public DemoApp {
  public:
    SimHand();
    ~SimHand() override;

    // False when a device is missing or the window cannot open (already reported). Throws
    // kpxBaseException* for other toolkit failures.
    bool build();
    void draw() override;

    kpxGhostHumanHand* getHand() const { return m_hand.get(); }
    GhostScene* getScene() const { return m_scene.get(); }

  private:
    // Members in build order; torn down in reverse (the hand before the devices it uses).
    std::unique_ptr<kpxVexaGlove> m_glove;
    std::unique_ptr<kpxTracker> m_tracker;
    std::unique_ptr<kpxHandMaster> m_master;
    std::unique_ptr<kpxGhostHumanHand> m_hand;
    std::unique_ptr<kpxOglDrawer> m_drawer;
    kpxTransform3D m_transform;
    std::unique_ptr<GhostScene> m_scene;
};
