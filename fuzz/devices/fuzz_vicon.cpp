// Optical-server replies from anywhere: an info reply, its channel names, then a data reply,
// read from the bytes as the connection reads them from its socket. Every outcome is a
// protocol error text or a parsed result; never an overread or an allocation the bytes
// did not pay for.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devices/viconprotocol.hpp"

namespace {

class MemorySource : public Devices::Vicon::ByteSource {
  public:
    MemorySource(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool read(void* out, std::size_t n) override {
        if (n > m_size - m_at)
            return false;
        std::memcpy(out, m_data + m_at, n);
        m_at += n;
        return true;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Devices::Vicon;
    MemorySource source(data, size);
    std::vector<std::string> names;
    try {
        names = readInfoReply(source);
    } catch (const std::string&) {
        return 0;
    }
    // Names cost at least their length field: the bytes paid for every one.
    if (names.size() * 4 > size)
        std::abort();
    ChannelMap map;
    try {
        map = parseChannels(names);
    } catch (const std::string&) {
        return 0;
    }
    for (const Body& b : map.bodies)
        for (std::int32_t c : b.channels)
            if (c >= static_cast<std::int32_t>(names.size()))
                std::abort();
    try {
        std::vector<double> values = readDataReply(source, names.size());
        for (const Body& b : map.bodies) {
            double pose[7];
            (void)bodyPose(b, values, pose);
        }
    } catch (const std::string&) {
    }
    return 0;
}
