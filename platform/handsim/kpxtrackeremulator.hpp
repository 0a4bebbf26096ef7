#pragma once
// Tracker without hardware: one logical 6-DOF device (index 0) whose values the caller sets.

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxtrackerdevice.hpp"

class kpxTrackerEmulator : public kpxTrackerDevice {
  public:
    kpxTrackerEmulator();
    ~kpxTrackerEmulator() override;

    void update() override;
    int getDeviceCount() const override { return 1; }
    // The logical device; owned by the tracker. Throws kpxBaseException* for index != 0.
    kpx6DofDevice* getDevice(int index) override;

  private:
    kpx6DofDevice m_device;
};
