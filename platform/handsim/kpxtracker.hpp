#pragma once
// A tracker of the device registry ("kortavel", "flock", "fastrak" or "vicon") read through
// the device library: each receiver is a logical 6-DOF device. Positions are taken in the
// tracker's units (centimetres for the hand model); the device manager's records carry
// azimuth, elevation and roll in degrees (rotation about z, y and x: R = Rz Ry Rx), the
// optical tracker an axis and an angle in radians.

#include "handsim/kpxtrackerdevice.hpp"

class kpxIOConn;
namespace Devices {
class Tracker;
}

class kpxTracker : public kpxTrackerDevice {
  public:
    static constexpr int kMaxDevices = 4;

    // Throws kpxBaseException* when conn is null or not a tracker, or (with connect) when
    // it cannot be opened.
    explicit kpxTracker(kpxIOConn* conn, bool connect = true);
    // Closes the device.
    ~kpxTracker() override;

    void connect();
    // Reads every receiver; throws kpxBaseException* when the tracker cannot be read.
    void update() override;
    // The tracker's receiver count (at least 1).
    int getDeviceCount() const override;
    kpx6DofDevice* getDevice(int index) override;

  private:
    Devices::Tracker* m_tracker;
    kpx6DofDevice m_devices[kMaxDevices];
};
