#include "handsim/kpxhandmaster.hpp"

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxglove.hpp"

kpxHandMaster::kpxHandMaster(kpxGlove* glove, kpx6DofDevice* device)
    : m_glove(glove), m_device(device) {
    if (glove == nullptr || device == nullptr) {
        throw new kpxBaseException("kpxHandMaster: glove and 6-DOF device are required");
    }
}

kpxHandMaster::~kpxHandMaster() = default;

void kpxHandMaster::update() {
    m_glove->update();
    m_device->update();
}
