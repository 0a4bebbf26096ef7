#include "devices/viconprotocol.hpp"

#include <cmath>
#include <cstring>

namespace Devices::Vicon {

namespace {

const char* const kMarkerTags[4] = {"<P-X>", "<P-Y>", "<P-Z>", "<P-O>"};
// Body tag k sets, in order, the A-X, A-Y, A-Z, T-X, T-Y, T-Z slot of the body.
const char* const kBodyTags[6] = {"<A-X>", "<A-Y>", "<A-Z>", "<T-X>", "<T-Y>", "<T-Z>"};
const int kBodySlotOfTag[6] = {3, 4, 5, 0, 1, 2};
const char* const kFrameTag = "<F>";

void putInt(std::string& out, std::int32_t v) {
    auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((u >> (8 * i)) & 0xff));
}

std::int32_t readInt(ByteSource& source) {
    unsigned char b[4];
    if (!source.read(b, sizeof b))
        throw std::string("Error Recieving");
    std::uint32_t u = 0;
    for (int i = 3; i >= 0; --i)
        u = (u << 8) | b[i];
    return static_cast<std::int32_t>(u);
}

double readDouble(ByteSource& source) {
    unsigned char b[8];
    if (!source.read(b, sizeof b))
        throw std::string("Error Recieving");
    std::uint64_t u = 0;
    for (int i = 7; i >= 0; --i)
        u = (u << 8) | b[i];
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

}  // namespace

bool Body::complete() const {
    for (std::int32_t c : channels)
        if (c < 0)
            return false;
    return true;
}

std::string request(std::int32_t kind) {
    std::string out;
    putInt(out, kind);
    putInt(out, kRequest);
    return out;
}

std::vector<std::string> readInfoReply(ByteSource& source) {
    std::int32_t type = readInt(source);
    readInt(source);  // the reply flag, not checked for info replies
    if (type != kInfo)
        throw std::string("Bad Reply Type");
    std::int32_t count = readInt(source);
    if (count < 0 || count > kMaxChannels)
        throw std::string("Bad Packet");
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t length = readInt(source);
        if (length < 0 || length > kMaxNameLength)
            throw std::string("Bad Packet");
        std::string name(static_cast<std::size_t>(length), '\0');
        if (length > 0 && !source.read(name.data(), name.size()))
            throw std::string("Error Recieving");
        names.push_back(std::move(name));
    }
    return names;
}

ChannelMap parseChannels(const std::vector<std::string>& names) {
    ChannelMap map;
    for (std::size_t index = 0; index < names.size(); ++index) {
        const std::string& name = names[index];
        std::size_t open = name.find('<');
        std::size_t close = name.find('>');
        if (open == std::string::npos || close == std::string::npos || close < open)
            throw std::string("Bad Channel Id");
        std::string tag = name.substr(open, close - open + 1);
        std::string object = name.substr(0, open);
        if (std::size_t blank = object.rfind(' '); blank != std::string::npos)
            object.resize(blank);
        auto channel = static_cast<std::int32_t>(index);

        for (int k = 0; k < 4; ++k) {
            if (tag != kMarkerTags[k])
                continue;
            Marker* marker = nullptr;
            for (Marker& m : map.markers)
                if (m.name == object)
                    marker = &m;
            if (!marker) {
                map.markers.push_back(Marker{object, {-1, -1, -1, -1}});
                marker = &map.markers.back();
            }
            marker->channels[k] = channel;
        }
        for (int k = 0; k < 6; ++k) {
            if (tag != kBodyTags[k])
                continue;
            Body* body = nullptr;
            for (Body& b : map.bodies)
                if (b.name == object)
                    body = &b;
            if (!body) {
                map.bodies.push_back(Body{object, {-1, -1, -1, -1, -1, -1}});
                body = &map.bodies.back();
            }
            body->channels[kBodySlotOfTag[k]] = channel;
        }
        if (tag == kFrameTag)
            map.frameChannel = channel;
    }
    return map;
}

std::vector<double> readDataReply(ByteSource& source, std::size_t expected) {
    std::int32_t type = readInt(source);
    std::int32_t flag = readInt(source);
    if (type != kData)
        throw std::string("Bad Reply Type");
    if (flag != kReply)
        throw std::string("Bad Packet");
    std::int32_t count = readInt(source);
    if (count < 0 || static_cast<std::size_t>(count) != expected)
        throw std::string("Bad Data Packet");
    std::vector<double> values;
    for (std::int32_t i = 0; i < count; ++i)
        values.push_back(readDouble(source));
    return values;
}

bool bodyPose(const Body& body, const std::vector<double>& values, double out[7]) {
    if (!body.complete())
        return false;
    for (std::int32_t c : body.channels)
        if (static_cast<std::size_t>(c) >= values.size())
            return false;
    double tx = values[body.channels[0]];
    double ty = values[body.channels[1]];
    double tz = values[body.channels[2]];
    double ax = values[body.channels[3]];
    double ay = values[body.channels[4]];
    double az = values[body.channels[5]];
    double angle = std::sqrt(ax * ax + ay * ay + az * az);
    // Millimetres to centimetres, server axes to the host's.
    out[0] = -ty / 10.0;
    out[1] = tz / 10.0;
    out[2] = -tx / 10.0;
    out[3] = ax / angle;
    out[4] = ay / angle;
    out[5] = az / angle;
    out[6] = angle;
    return true;
}

}  // namespace Devices::Vicon
