#pragma once
// A hand that cannot pass through the scene: it follows the glove and the tracker, and each
// collision of one of its parts with an object of the scene moves the whole hand out of
// that object along the contact normal, by the penetration depth. The corrections of one
// step combine per axis (the largest push each way), so several parts against one face
// move the hand once, not once per part.
//
// The correction is kept from step to step and only eases back towards the tracked pose by
// at most kRelaxPerUpdate each update: a tracker pushed deep into an object leaves the hand
// at the surface it met, instead of a fresh shortest way out popping it through to another
// face.

#include "handsim/kpxhumanhand.hpp"

class kpxCollisionPair;

class kpxGhostHumanHand : public kpxHumanHand {
  public:
    // Centimetres at scale 1 (scaled with the hand).
    static constexpr double kRelaxPerUpdate = 0.5;

    // The master is not owned. Throws kpxBaseException* for a null master or a scale that
    // is not positive.
    kpxGhostHumanHand(kpxHandMaster* master, double scale = 1.0,
                      GHM::Handedness handedness = GHM::RIGHT_HAND);
    ~kpxGhostHumanHand() override;

    void update(bool updateDevices) override;

    // Resolves one colliding pair: does nothing unless it is one of this hand's parts
    // against an object of the scene. Caller holds the scene-graph lock.
    void handleCollision(const kpxCollisionPair& pair);
    // Where the hand stands relative to the tracked pose, in the frame it is placed in.
    kpxVector3d getCorrection() const;

  private:
    void place();

    kpxTransform3D m_tracked;  // the hand frame's placement before corrections
    kpxVector3d m_carried;     // correction carried over from earlier steps, eased
    kpxVector3d m_pushPos;     // largest positive push per axis in this step
    kpxVector3d m_pushNeg;     // most negative push per axis in this step
};
