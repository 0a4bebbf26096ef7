#pragma once
// Trackers (types 4 and 5 magnetic, 6 optical) and, derived, the force arm: up to four
// receivers with their latest data (raw and corrected), and the set-up kept in the registry
// key "Calibration" (cord direction, mounting plate, receivers with hemisphere, activity and
// offset, transmitter offset).

#include <cstdint>

#include "devices/device.hpp"

namespace Devices {

class Tracker : public Device {
  public:
    static constexpr int kMaxReceivers = 4;
    // Form of the 7 doubles of a receiver's data.
    enum Form {
        Euler,     // x, y, z, azimuth, elevation, roll, (unused)
        AngleAxis  // x, y, z, axis x, y, z, angle
    };

    struct Receiver {
        std::int32_t hemisphere = 3;
        std::int32_t active = 0;
        double offset[3] = {0.0, 0.0, 0.0};
    };
    // Everything the registry keeps, copied whole by the force arm's offset reading.
    struct Setup {
        std::int32_t cordDirection = 0;  // codes 0..5: +X, +Y, +Z, -X, -Y, -Z
        std::int32_t mountingPlate = 4;
        std::int32_t receiverCount = 1;  // 0..kMaxReceivers
        Receiver receivers[kMaxReceivers];
        std::int32_t xmitterOffsetEnabled = 0;
        double xmitterOffset[3] = {0.0, 0.0, 0.0};
    };
    struct Data {
        Form form = Euler;
        double corrected[kMaxReceivers][7] = {};
        double raw[kMaxReceivers][7] = {};
    };

    // type: kFlock, kFastrak or kVicon (kVexaForce for the force arm).
    Tracker(Connection* connection, std::int32_t type);

    void loadCalibration() override;
    void saveCalibration() override;

    Setup& setup() { return m_setup; }
    const Setup& setup() const { return m_setup; }
    Data& data() { return m_data; }
    const Data& data() const { return m_data; }

    int getReceiverCount() const { return m_setup.receiverCount; }
    // Clamped to 0..kMaxReceivers.
    void setReceiverCount(int n);

  private:
    Setup m_setup;
    Data m_data;
};

// The force arm (type 2): a tracker that counts as calibrated from construction.
class VexaForce : public Tracker {
  public:
    explicit VexaForce(Connection* connection) : Tracker(connection, kVexaForce) {
        m_calibrated = true;
    }
};

}  // namespace Devices
