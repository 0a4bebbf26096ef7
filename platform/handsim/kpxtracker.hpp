#pragma once
// A tracker of the device registry ("kortavel", "flock", "fastrak" or "vicon") read through
// the device library: each receiver is a logical 6-DOF device. Positions are taken in the
// tracker's units (centimetres for the hand model); the device manager's records carry
// azimuth, elevation and roll in degrees (rotation about z, y and x: R = Rz Ry Rx), the
// optical tracker an axis and an angle in radians.
//
// Updating a logical device reads the tracker (as update() does), so a hand master that
// polls its 6-DOF device follows the hardware.

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
    // A receiver as a 6-DOF device whose update reads its tracker.
    class Receiver : public kpx6DofDevice {
      public:
        kpxTracker* tracker = nullptr;
        void update() override { tracker->update(); }
        void stamp() { kpx6DofDevice::update(); }
    };

    Devices::Tracker* m_tracker;
    Receiver m_devices[kMaxDevices];
};
