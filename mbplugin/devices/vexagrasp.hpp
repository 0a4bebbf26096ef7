#pragma once
// The force-feedback exoskeleton (type 1): no calibration. Holds what the grasp force
// packet is built from: 16 contact patches of the hand simulation (supplied by the user of
// the library, not owned) and 16 force records.

#include <cstdint>

#include "devices/device.hpp"
#include "handsim/kpxcontactpatch.hpp"

namespace Devices {

class VexaGrasp : public Device {
  public:
    static constexpr int kPatchCount = 16;
    static constexpr int kForceRecordCount = 16;
    static constexpr int kEntriesPerRecord = 3;

    struct ForceEntry {
        double first[3] = {1.0, 0.0, 0.0};
        double second[3] = {1e8, 1e8, 1e8};
        double force = 0.0;
        std::uint8_t flags[2] = {0, 0};
    };
    struct ForceRecord {
        std::int32_t entryCount = -1;  // entries in use; below 1: none
        ForceEntry entries[kEntriesPerRecord];
        double summary = 0.0;
    };

    explicit VexaGrasp(Connection* connection) : Device(connection, kVexaGrasp) {}

    // An array of kPatchCount patches, or null (then the packet carries empty patches).
    void setContactPatches(const kpxContactPatch* patches) { m_patches = patches; }
    const kpxContactPatch* getContactPatches() const { return m_patches; }

    ForceRecord& forceRecord(int k) { return m_records[k]; }
    const ForceRecord& forceRecord(int k) const { return m_records[k]; }

  private:
    const kpxContactPatch* m_patches = nullptr;
    ForceRecord m_records[kForceRecordCount];
};

}  // namespace Devices
