#include "handsim/kpx6dofdevice.hpp"

#include "handsim/kpxbaseexception.hpp"

#include <string>

namespace {
void checkIndex(const char* where, int index) {
    if (index < 0 || index > 5) {
        throw new kpxBaseException(std::string(where) + ": value index " + std::to_string(index) +
                                   " outside 0..5");
    }
}
}  // namespace

kpx6DofDevice::kpx6DofDevice() = default;

kpx6DofDevice::~kpx6DofDevice() = default;

void kpx6DofDevice::setValue(int index, double value) {
    checkIndex("kpx6DofDevice::setValue", index);
    m_values[index] = value;
}

double kpx6DofDevice::getValue(int index) const {
    checkIndex("kpx6DofDevice::getValue", index);
    return m_values[index];
}

kpxTransform3D kpx6DofDevice::getTransform() const {
    kpxTransform3D rx, ry, rz;
    rx.rotX(m_values[3]);
    ry.rotY(m_values[4]);
    rz.rotZ(m_values[5]);
    kpxTransform3D t = rz;
    t.mul(ry);
    t.mul(rx);
    t.setTranslation(kpxVector3d(m_values[0], m_values[1], m_values[2]));
    return t;
}
