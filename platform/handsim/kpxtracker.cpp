#include "handsim/kpxtracker.hpp"

#include <cmath>
#include <numbers>
#include <string>

#include "devices/tracker.hpp"
#include "handsim/kpxdevicelink.hpp"

using kpxdevicelink::guarded;

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;

// Rotation angles about x, y and z (R = Rz Ry Rx) of the rotation by `angle` about `axis`.
void anglesOfAxisAngle(const double axis[3], double angle, double out_xyz[3]) {
    double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    if (!(n > 0.0) || !std::isfinite(angle)) {
        out_xyz[0] = out_xyz[1] = out_xyz[2] = 0.0;
        return;
    }
    double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
    double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    double r00 = t * x * x + c, r10 = t * x * y + s * z, r20 = t * x * z - s * y;
    double r21 = t * y * z + s * x, r22 = t * z * z + c;
    out_xyz[0] = std::atan2(r21, r22);
    out_xyz[1] = std::asin(std::fmax(-1.0, std::fmin(1.0, -r20)));
    out_xyz[2] = std::atan2(r10, r00);
}

}  // namespace

kpxTracker::kpxTracker(kpxIOConn* conn, bool connectNow)
    : m_tracker(kpxdevicelink::deviceOf<Devices::Tracker>(conn, "kpxTracker", "a tracker")) {
    for (Receiver& r : m_devices)
        r.tracker = this;
    if (connectNow)
        connect();
}

kpxTracker::~kpxTracker() {
    try {
        m_tracker->disconnect();
    } catch (...) {
        // Closing never fails the caller's teardown.
    }
}

void kpxTracker::connect() {
    guarded("kpxTracker", [&] { m_tracker->connect(); });
    if (!m_tracker->isConnected()) {
        const char* name = m_tracker->getName();
        throw new kpxBaseException(std::string("kpxTracker: \"") + (name ? name : "") +
                                   "\" could not be connected");
    }
}

void kpxTracker::update() {
    if (!m_tracker->isConnected())
        throw new kpxBaseException("kpxTracker::update: the tracker is not connected");
    guarded("kpxTracker::update", [&] { m_tracker->update(false); });
    const Devices::Tracker::Data& data = m_tracker->data();
    for (int i = 0; i < getDeviceCount(); ++i) {
        const double* r = data.corrected[i];
        double angles[3];
        if (data.form == Devices::Tracker::Euler) {
            angles[0] = r[5] * kRadiansPerDegree;  // roll about x
            angles[1] = r[4] * kRadiansPerDegree;  // elevation about y
            angles[2] = r[3] * kRadiansPerDegree;  // azimuth about z
        } else {
            anglesOfAxisAngle(r + 3, r[6], angles);
        }
        Receiver& d = m_devices[i];
        for (int k = 0; k < 3; ++k) {
            d.setValue(k, r[k]);
            d.setValue(3 + k, angles[k]);
        }
        d.stamp();
    }
    kpxDevice::update();
}

int kpxTracker::getDeviceCount() const {
    int n = m_tracker->getReceiverCount();
    return n < 1 ? 1 : (n > kMaxDevices ? kMaxDevices : n);
}

kpx6DofDevice* kpxTracker::getDevice(int index) {
    if (index < 0 || index >= getDeviceCount())
        throw new kpxBaseException("kpxTracker::getDevice: no logical device " +
                                   std::to_string(index));
    return &m_devices[index];
}
