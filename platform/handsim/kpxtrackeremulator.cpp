#include "handsim/kpxtrackeremulator.hpp"

#include "handsim/kpxbaseexception.hpp"

#include <string>

kpxTrackerEmulator::kpxTrackerEmulator() = default;

kpxTrackerEmulator::~kpxTrackerEmulator() = default;

void kpxTrackerEmulator::update() {
    kpxDevice::update();
    m_device.update();
}

kpx6DofDevice* kpxTrackerEmulator::getDevice(int index) {
    if (index != 0) {
        throw new kpxBaseException("kpxTrackerEmulator::getDevice: no logical device " +
                                   std::to_string(index));
    }
    return &m_device;
}
