#pragma once
// The optical motion-capture server's real-time protocol (TCP, port 800): requests, replies
// and channel names. All integers are 32-bit and all reals 64-bit doubles, little-endian,
// without padding. Replies are untrusted: counts and lengths are checked against caps before
// anything is read, and memory grows only as bytes arrive. Protocol errors are thrown as
// std::string with the texts the connection reports.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Devices::Vicon {

constexpr int kPort = 800;
constexpr std::int32_t kInfo = 1;
constexpr std::int32_t kData = 2;
constexpr std::int32_t kRequest = 0;
constexpr std::int32_t kReply = 1;
// Longest channel name, and most channels, accepted in an info reply.
constexpr std::int32_t kMaxNameLength = 255;
constexpr std::int32_t kMaxChannels = 16384;
// Bodies that reach a tracker's receivers.
constexpr int kMaxBodies = 4;

// Where reply bytes come from. read fills exactly n bytes or gives false.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual bool read(void* out, std::size_t n) = 0;
};

struct Marker {
    std::string name;
    std::int32_t channels[4] = {-1, -1, -1, -1};  // <P-X>, <P-Y>, <P-Z>, <P-O>
};

struct Body {
    std::string name;
    std::int32_t channels[6] = {-1, -1, -1, -1, -1, -1};  // T-X, T-Y, T-Z, A-X, A-Y, A-Z
    bool complete() const;
};

struct ChannelMap {
    std::vector<Marker> markers;
    std::vector<Body> bodies;
    std::int32_t frameChannel = -1;
};

// The 8-byte request of a kind (kInfo or kData).
std::string request(std::int32_t kind);

// Info reply: header (type must be kInfo; "Bad Reply Type"), then the channel names. A count
// or length outside the caps is "Bad Packet"; a failed read is "Error Recieving".
std::vector<std::string> readInfoReply(ByteSource& source);

// Sorts channel names into markers, bodies and the frame channel. A name without '<' or
// '>' (or with '>' first) is "Bad Channel Id"; unknown tags are ignored.
ChannelMap parseChannels(const std::vector<std::string>& names);

// Data reply: type kData ("Bad Reply Type"), flag kReply ("Bad Packet"), count equal to
// expected ("Bad Data Packet"), then the doubles.
std::vector<double> readDataReply(ByteSource& source, std::size_t expected);

// One body's pose from a data reply: position in centimetres, axes re-ordered as the host
// expects, and the rotation as axis and angle (a zero rotation gives a non-finite axis).
// False when the body lacks a channel.
bool bodyPose(const Body& body, const std::vector<double>& values, double out[7]);

}  // namespace Devices::Vicon
