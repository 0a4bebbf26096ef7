#pragma once
// One rigid part of a hand model as the simulation sees it: a shape of physical kind 2 in
// the scene, the frame of its link (the joint frame the link grows from along +y, or the
// hand frame for the palm) and its contact patch, a slot of the hand's array of 16 that the
// grasp device reads. Parts are numbered finger * 3 + link (thumb to pinky, base to tip),
// and 15 is the palm. Owned by its hand; the hand's update places it.

#include "handsim/ghm.hpp"
#include "handsim/kpxcontactpatch.hpp"
#include "handsim/kpxshape3d.hpp"

class kpxHumanHand;

class kpxPhalanx : public kpxShape3D {
  public:
    static constexpr int kCount = 16;
    static constexpr int kPalm = 15;

    // `geometryOffset` places the geometry in the link frame; `patch` is this part's slot in
    // the hand's patch array. The geometry is owned.
    kpxPhalanx(kpxHumanHand* hand, int index, kpxGeometry* geometry,
               const kpxTransform3D& geometryOffset, kpxContactPatch* patch);
    ~kpxPhalanx() override;

    kpxPhalanx* getPhalanx() override { return this; }
    kpxHumanHand* getHand() const { return m_hand; }
    int getIndex() const { return m_index; }
    // GHM::Fingers: 0..4, or GHM::PALM.
    int getFinger() const { return m_index == kPalm ? GHM::PALM : m_index / 3; }
    // 0..2, or -1 for the palm.
    int getLink() const { return m_index == kPalm ? -1 : m_index % 3; }

    // The link frame relative to the parent of the shape (the scene root for a registered
    // hand); moves the shape with it.
    void setFrame(const kpxTransform3D& frame);
    const kpxTransform3D& getFrame() const { return m_frame; }
    // A point or direction given relative to the shape's parent, in the link frame.
    kpxVector3d toLinkPoint(const kpxVector3d& point) const;
    kpxVector3d toLinkDirection(const kpxVector3d& direction) const;

    // Writes the patch (point and normal in the link frame) into this part's slot and marks
    // it in contact.
    void setContactPatch(const kpxContactPatch& patch);
    const kpxContactPatch& getContactPatch() const { return *m_patch; }
    // Empties the slot: no contact, no force.
    void clearContactPatch();
    bool isInContact() const { return m_patch->getFlag(0) != 0; }

  private:
    kpxHumanHand* m_hand;
    int m_index;
    kpxTransform3D m_offset;
    kpxTransform3D m_frame;
    kpxTransform3D m_inverse;
    kpxContactPatch* m_patch;
};
