#pragma once
// The data glove of the device registry ("vexaglove" or "vexatouch"), read through the
// device manager: 24 joint values in the glove driver's sensor order, finger f joint j being
// sensor 4f + j (fingers 0..4 thumb to pinky, 5 the palm arch and the wrist). Radians,
// flexion negative, as the driver delivers them.

#include "handsim/kpxglove.hpp"

class kpxIOConn;
namespace Devices {
class VexaGlove;
}

class kpxVexaGlove : public kpxGlove {
  public:
    // Throws kpxBaseException* when conn is null or not a glove, or (with connect) when the
    // device manager cannot open it.
    explicit kpxVexaGlove(kpxIOConn* conn, bool connect = true);
    // Closes the device.
    ~kpxVexaGlove() override;

    void connect();
    // Reads the 24 joint values; throws kpxBaseException* when the device cannot be read
    // (the values of the last good read stay).
    void update() override;
    double getJointValue(int finger, int joint) const override;
    // Whether the glove says it is a left-hand glove (false when it cannot tell).
    bool isLeftHand();

  private:
    Devices::VexaGlove* m_glove;
    double m_angles[kFingers][kJoints] = {};
};
