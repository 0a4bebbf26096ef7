#pragma once
// A hand that cannot pass through the scene: it follows the glove and the tracker, and each
// collision of one of its parts with an object of the scene moves the whole hand out of
// that object along the contact normal, by the penetration depth. The corrections of one
// step combine per axis (the largest push each way), so several parts against one face
// move the hand once, not once per part; the next update starts again from the tracked
// pose.

#include "handsim/kpxhumanhand.hpp"

class kpxCollisionPair;

class kpxGhostHumanHand : public kpxHumanHand {
  public:
    // The master is not owned. Throws kpxBaseException* for a null master or a scale that
    // is not positive.
    kpxGhostHumanHand(kpxHandMaster* master, double scale = 1.0,
                      GHM::Handedness handedness = GHM::RIGHT_HAND);
    ~kpxGhostHumanHand() override;

    void update(bool updateDevices) override;

    // Resolves one colliding pair: does nothing unless it is one of this hand's parts
    // against an object of the scene. Caller holds the scene-graph lock.
    void handleCollision(const kpxCollisionPair& pair);
    // The correction applied since the last update, in the frame the hand is placed in.
    kpxVector3d getCorrection() const;

  private:
    kpxTransform3D m_tracked;  // the hand frame's placement before corrections
    kpxVector3d m_pushPos;     // largest positive push per axis
    kpxVector3d m_pushNeg;     // most negative push per axis
};
