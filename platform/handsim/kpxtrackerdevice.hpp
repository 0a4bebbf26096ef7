#pragma once
// What every tracker of the toolkit offers, with or without hardware: one or more logical
// 6-DOF devices (receivers), polled together by update(). kpxTracker reads a tracker of the
// device registry; kpxTrackerEmulator holds poses its caller sets.

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxdevice.hpp"

class kpxTrackerDevice : public kpxDevice {
  public:
    ~kpxTrackerDevice() override = default;

    virtual int getDeviceCount() const = 0;
    // The logical device `index` (0 .. getDeviceCount()-1), owned by the tracker. Throws
    // kpxBaseException* for any other index.
    virtual kpx6DofDevice* getDevice(int index) = 0;
};
