#pragma once
// The force-feedback exoskeleton of the device registry ("vexagrasp"): every update() sends
// one force packet built from 16 contact patches through the device library.
//
// Patch k belongs to finger k / 3, phalanx k % 3 (GHM::Fingers, GHM::Joints) for k < 15;
// patch 15 is the palm. A patch whose flag 0 is clear carries no force.
//
// Modes: MODE_FORCE sends the patches; MODE_OFF and MODE_FREE send released patches (no
// force). A failed send drops the mode to MODE_OFF, so a caller that wants forces sets
// MODE_FORCE again.
//
// One thread drives the grasp (the simulation's); it writes the patches and calls update.

#include "handsim/kpxcontactpatch.hpp"
#include "handsim/kpxdevice.hpp"

class kpxIOConn;
namespace Devices {
class VexaGrasp;
}

class kpxVexaGrasp : public kpxDevice {
  public:
    static constexpr int kPatchCount = 16;
    enum Mode { MODE_OFF = 0, MODE_FREE = 1, MODE_FORCE = 2 };

    // Throws kpxBaseException* when conn is null or not a grasp, or (with connect) when it
    // cannot be opened. The grasp's own patches (all released) are handed to the device
    // here, before any send.
    explicit kpxVexaGrasp(kpxIOConn* conn, bool connect = true);
    // Sends zero forces when still connected, then closes the device.
    ~kpxVexaGrasp() override;

    void connect();
    // Throws kpxBaseException* for a mode outside 0..2.
    void setMode(int mode);
    int getMode() const { return m_mode; }

    // The patches sent: the grasp's own, or kPatchCount patches of the caller's (not
    // owned, must outlive the grasp or be replaced; null returns to the grasp's own).
    void setContactPatches(kpxContactPatch* patches);
    // Patch k of the patches sent; throws kpxBaseException* for k outside 0..15.
    kpxContactPatch& getContactPatch(int k);
    // Releases every patch (no force on the next send).
    void clearContactPatches();

    // Sends one force packet; throws kpxBaseException* when the send fails.
    void update() override;
    // Releases every patch and sends at once: the hand feels no force any more.
    void sendZeroForces();

  private:
    void send(const kpxContactPatch* patches);

    Devices::VexaGrasp* m_grasp;
    int m_mode = MODE_OFF;
    kpxContactPatch m_own[kPatchCount];
    kpxContactPatch* m_patches = m_own;
    const kpxContactPatch m_released[kPatchCount] = {};
};
