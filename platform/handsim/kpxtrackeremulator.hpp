#pragma once
// Tracker without hardware: one logical 6-DOF device (index 0) whose values the caller sets.

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxdevice.hpp"

class kpxTrackerEmulator : public kpxDevice {
  public:
    kpxTrackerEmulator();
    ~kpxTrackerEmulator() override;

    void update() override;
    int getDeviceCount() const { return 1; }
    // The logical device; owned by the tracker. Throws kpxBaseException* for index != 0.
    kpx6DofDevice* getDevice(int index);

  private:
    kpx6DofDevice m_device;
};
