#pragma once
// Kinematic human hand, right or left, posed from a hand master's glove and 6-DOF inputs.
//
// Hand frame (centimetres at scale 1): the wrist at the origin, fingers along +y, the back of
// the hand towards +z, the palm facing -z. A right hand has its thumb towards -x; the left
// hand is its mirror image in the y-z plane.
//
// Each of the five digits (GHM::Fingers) is a chain of three links. getLinkTransform(f, j)
// is the transform of joint j relative to its parent: joint 0 relative to the hand frame,
// joints 1 and 2 relative to the previous joint, and joint 3 (GHM::TIP) the fingertip frame
// relative to joint 2. Multiplying them in order 0..3 gives the fingertip in the hand frame.
//
// Glove columns of fingers 1..4: 0..2 flex the three joints about the link's x axis
// (negative = towards the palm), 3 spreads the digit about the palm normal (positive =
// towards the thumb on the right hand). Thumb: column 0 rolls the thumb about its own long
// axis, 1 and 2 flex its two outer joints, 3 spreads it from the index. The left hand reads
// the values as the glove link delivers them for a left glove, whose spread values arrive
// negated: a left hand fed with a right hand's flexions and rolls and negated spreads takes
// the mirror pose.
//
// For the simulation the hand is also 16 rigid parts (kpxPhalanx: a capsule per link, a box
// for the palm) that follow every update, each with its contact patch.
//
// Not internally locked: update() and readers sharing a hand across threads need the
// owner's lock (the scene-graph lock once its parts are in a scene).

#include "handsim/ghm.hpp"
#include "handsim/kpxcontactpatch.hpp"
#include "handsim/kpxtransform3d.hpp"
#include "handsim/kpxvector3d.hpp"

#include <memory>

class kpxHandMaster;
class kpxPhalanx;

class kpxHumanHand {
  public:
    // Rest geometry of one digit of the right hand at scale 1.
    struct DigitGeometry {
        kpxVector3d base;  // joint 0 position in the hand frame, cm
        double yaw;        // rest direction about +z from +y, radians
        double pitch;      // rest tilt about the digit's x axis after the yaw, radians
        double roll;       // rest roll about the digit's long axis, radians
        double length[3];  // link lengths, base to tip, cm
        double width;      // link width, cm
        double thickness;  // link thickness, cm
    };
    // Palm box of the right hand at scale 1: x from xMin to xMax, y from 0 to length.
    struct PalmGeometry {
        double xMin, xMax, length, zMin, zMax;
    };

    static const DigitGeometry& restGeometry(int finger);
    static const PalmGeometry& restPalm();

    // The master (not owned) must outlive the hand. Throws kpxBaseException* when master
    // is null or scale is not positive. The hand starts posed from the master's inputs.
    kpxHumanHand(kpxHandMaster* master, double scale = 1.0,
                 GHM::Handedness handedness = GHM::RIGHT_HAND);
    virtual ~kpxHumanHand();
    kpxHumanHand(const kpxHumanHand&) = delete;
    kpxHumanHand& operator=(const kpxHumanHand&) = delete;

    // Per-frame update: with updateDevices, the master's glove and 6-DOF device are polled
    // first; then the hand takes their current values.
    virtual void update(bool updateDevices);

    kpxHandMaster* getMaster() const { return m_master; }
    GHM::Handedness getHandedness() const { return m_handedness; }
    bool isRightHand() const { return m_handedness == GHM::RIGHT_HAND; }
    double getScale() const { return m_scale; }

    // Joint frame relative to its parent (see above). Throws kpxBaseException* for a finger
    // outside 0..4 or a joint outside 0..3.
    kpxTransform3D getLinkTransform(int finger, int joint) const;
    void getLinkTransform(int finger, int joint, kpxTransform3D& out_t) const {
        out_t = getLinkTransform(finger, joint);
    }
    // Product of the link transforms 0..joint: the joint frame in the hand frame.
    kpxTransform3D getChainTransform(int finger, int joint) const;
    // Fingertip position in the hand frame.
    kpxVector3d getFingertipPosition(int finger) const;
    // Placement of the hand frame from the 6-DOF input (position scaled with the hand).
    kpxTransform3D getBaseTransform() const { return m_base; }

    // Scaled, mirrored for the left hand.
    double getLinkLength(int finger, int link) const;
    double getLinkWidth(int finger) const;
    double getLinkThickness(int finger) const;
    PalmGeometry getPalm() const;

    // Part `index` (see kpxPhalanx for the numbering). Throws kpxBaseException* outside 0..15.
    kpxPhalanx* getPhalanx(int index) const;
    // The 16 patches, contiguous, in part order; they live as long as the hand.
    kpxContactPatch* getContactPatches() { return m_patches; }
    const kpxContactPatch* getContactPatches() const { return m_patches; }
    void clearContactPatches();

    // Simulation hooks, called by kpxSimulation on the engine's thread. Device input and
    // output happen outside the scene-graph lock: pollDevices() before a step, sendForces()
    // after it.
    virtual void pollDevices();
    virtual void sendForces() {}

  protected:
    // Moves the whole hand (its parts included) to a new placement of the hand frame.
    void setBaseTransform(const kpxTransform3D& base);

  private:
    void placePhalanxes();
    static void checkFinger(const char* where, int finger);
    void pose(int finger, const double values[4]);

    kpxHandMaster* m_master;
    double m_scale;
    GHM::Handedness m_handedness;
    kpxTransform3D m_base;
    kpxTransform3D m_links[GHM::NUM_FINGERS][GHM::NUM_JOINTS];
    kpxContactPatch m_patches[16];
    std::unique_ptr<kpxPhalanx> m_phalanxes[16];
};
