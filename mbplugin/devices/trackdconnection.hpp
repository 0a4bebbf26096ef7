#pragma once
// A trackd connection: recognised in the registry, moves no data.

#include <cstdint>

#include "devices/connection.hpp"
#include "devices/types.hpp"

namespace Devices {

class TrackdConnection : public Connection {
  public:
    explicit TrackdConnection(std::int32_t key) : Connection(kTrackdConnection), m_key(key) {}
    std::int32_t getKey() const { return m_key; }

  private:
    std::int32_t m_key;
};

}  // namespace Devices
