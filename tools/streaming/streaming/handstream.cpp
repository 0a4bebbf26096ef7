#include "handstream.hpp"

#include <dds/dds.h>
#include <lo/lo.h>

#include <array>
#include <cmath>
#include <cstring>
#include <map>

#include "handbinding.hpp"
#include "sensor_msgs/msg/JointState.h"
#include "vmc.hpp"

namespace streaming {
namespace {

constexpr std::array<const char*, kSensorCount> kJointNames = {
    "thumb_roll",   "thumb_inner",   "thumb_outer",     "thumb_index_abduction",
    "index_inner",  "index_middle",  "index_outer",     "",
    "middle_inner", "middle_middle", "middle_outer",    "middle_index_abduction",
    "ring_inner",   "ring_middle",   "ring_outer",      "ring_middle_abduction",
    "pinky_inner",  "pinky_middle",  "pinky_outer",     "pinky_ring_abduction",
    "palm_arch",    "wrist_flexion", "wrist_abduction", "",
};

using LoAddress = std::unique_ptr<std::remove_pointer_t<lo_address>, decltype(&lo_address_free)>;

LoAddress openAddress(const OscTarget& target) {
    LoAddress address(lo_address_new(target.host.c_str(), target.port.c_str()), &lo_address_free);
    if (!address)
        throw std::runtime_error("cannot address " + target.host + ":" + target.port);
    return address;
}

// One DDS writer per glove, on a participant shared by all.
class DdsPublisher {
  public:
    DdsPublisher() {
        m_participant = dds_create_participant(DDS_DOMAIN_DEFAULT, nullptr, nullptr);
        if (m_participant < 0)
            throw std::runtime_error(std::string("cannot join the DDS domain: ") +
                                     dds_strretcode(m_participant));
        for (int s : jointStateSensors())
            m_names.push_back(const_cast<char*>(kJointNames[s]));
    }
    ~DdsPublisher() { dds_delete(m_participant); }
    DdsPublisher(const DdsPublisher&) = delete;
    DdsPublisher& operator=(const DdsPublisher&) = delete;

    void publish(const Frame& frame) {
        const dds_entity_t writer = writerFor(frame.name);
        std::vector<double> positions;
        for (int s : jointStateSensors())
            positions.push_back(frame.angles[s]);
        const auto since = frame.received.time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
        std::string frameId = topicName(frame.name) + (frame.rightHand ? "_right" : "_left");
        sensor_msgs_msg_dds__JointState_ sample{};
        sample.header.stamp.sec = static_cast<int32_t>(seconds.count());
        sample.header.stamp.nanosec = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
        sample.header.frame_id = frameId.data();
        sample.name._length = sample.name._maximum = static_cast<uint32_t>(m_names.size());
        sample.name._buffer = m_names.data();
        sample.position._length = sample.position._maximum =
            static_cast<uint32_t>(positions.size());
        sample.position._buffer = positions.data();
        // Best effort like the other targets: a writer that cannot deliver drops the sample.
        (void)dds_write(writer, &sample);
    }

  private:
    dds_entity_t writerFor(const std::string& name) {
        const std::string topic = "rt/" + topicName(name) + "/joint_states";
        auto found = m_writers.find(topic);
        if (found != m_writers.end())
            return found->second;
        // The QoS a ROS 2 node uses by default: reliable, volatile, keep the last 10, plain CDR.
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
        dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
        const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
        dds_qset_data_representation(qos, 1, &xcdr1);
        const dds_entity_t t = dds_create_topic(
            m_participant, &sensor_msgs_msg_dds__JointState__desc, topic.c_str(), qos, nullptr);
        const dds_entity_t writer = t < 0 ? t : dds_create_writer(m_participant, t, qos, nullptr);
        dds_delete_qos(qos);
        if (writer < 0)
            throw std::runtime_error("cannot publish " + topic + ": " + dds_strretcode(writer));
        m_writers.emplace(topic, writer);
        return writer;
    }

    dds_entity_t m_participant = 0;
    std::vector<char*> m_names;
    std::map<std::string, dds_entity_t> m_writers;
};

}  // namespace

OscTarget parseTarget(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw std::invalid_argument("expected HOST:PORT, got '" + text + "'");
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            throw std::invalid_argument("bad host in '" + text + "'");
        host = host.substr(1, host.size() - 2);
    }
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (*end != '\0' || number < 1 || number > 65535)
        throw std::invalid_argument("bad port in '" + text + "'");
    return {host, port};
}

std::vector<int> jointStateSensors() {
    std::vector<int> out;
    for (int s = 0; s < kSensorCount; ++s)
        if (*kJointNames[s] != '\0')
            out.push_back(s);
    return out;
}

const char* jointName(int sensor) {
    return sensor >= 0 && sensor < kSensorCount ? kJointNames[sensor] : "";
}

std::string topicName(const std::string& name) {
    std::string out;
    for (char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        out += ok ? c : '_';
    }
    if (out.empty())
        return "glove";
    if (out.front() >= '0' && out.front() <= '9')
        out.insert(out.begin(), '_');
    return out;
}

Decimator::Decimator(double rateHz)
    : m_period(rateHz > 0.0 ? std::chrono::nanoseconds(static_cast<long long>(1e9 / rateHz))
                            : std::chrono::nanoseconds(0)) {}

bool Decimator::pass(std::chrono::system_clock::time_point t) {
    if (m_period.count() == 0)
        return true;
    // Frames stepping back in time (a clock set back) restart the count rather than stall it.
    if (m_last && t >= *m_last && t - *m_last < m_period)
        return false;
    // Keeps to the grid of the first frame so a rate just under the frame rate does not drift
    // down to every second frame.
    if (m_last && t >= *m_last && t - *m_last < 2 * m_period)
        *m_last += m_period;
    else
        m_last = t;
    return true;
}

struct HandStream::Impl {
    explicit Impl(const StreamOptions& o) : options(o) {
        if (o.osc)
            osc.emplace(openAddress(*o.osc));
        if (o.vmc)
            vmc.emplace(openAddress(*o.vmc));
        if (o.dds)
            dds = std::make_unique<DdsPublisher>();
    }

    StreamOptions options;
    std::optional<LoAddress> osc;
    std::optional<LoAddress> vmc;
    std::unique_ptr<DdsPublisher> dds;
    std::map<std::string, Decimator> decimators;
    std::unique_ptr<Manuvia::HandBinding> right;
    std::unique_ptr<Manuvia::HandBinding> left;

    const Manuvia::HandBinding& binding(bool rightHand) {
        auto& slot = rightHand ? right : left;
        if (!slot)
            slot = std::make_unique<Manuvia::HandBinding>(rightHand);
        return *slot;
    }

    void sendOsc(const Frame& f) {
        lo_message m = lo_message_new();
        lo_message_add_string(m, f.name.c_str());
        lo_message_add_string(m, f.rightHand ? "right" : "left");
        for (double a : f.angles)
            lo_message_add_float(m, static_cast<float>(a));
        lo_send_message(osc->get(), "/manuvia/glove", m);
        lo_message_free(m);
    }

    void sendVmc(const Frame& f) {
        const auto bones = vmcBones(binding(f.rightHand), f.angles);
        lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
        for (const VmcBone& b : bones) {
            lo_message m = lo_message_new();
            lo_message_add_string(m, b.name.c_str());
            for (double v : b.position)
                lo_message_add_float(m, static_cast<float>(v));
            for (double v : b.rotation)
                lo_message_add_float(m, static_cast<float>(v));
            lo_bundle_add_message(bundle, "/VMC/Ext/Bone/Pos", m);
        }
        lo_message ok = lo_message_new();
        lo_message_add_int32(ok, 1);
        lo_bundle_add_message(bundle, "/VMC/Ext/OK", ok);
        lo_send_bundle(vmc->get(), bundle);
        // The bundle owns its messages and the paths it copied: only the recursive free gives
        // them back (the plain one left them behind on every frame).
        lo_bundle_free_recursive(bundle);
    }
};

HandStream::HandStream(const StreamOptions& options) : m_impl(std::make_unique<Impl>(options)) {}

HandStream::~HandStream() = default;

void HandStream::send(const Frame& frame) {
    auto [it, added] =
        m_impl->decimators.try_emplace(frame.name, Decimator(m_impl->options.rateHz));
    (void)added;
    if (!it->second.pass(frame.received))
        return;
    if (m_impl->osc)
        m_impl->sendOsc(frame);
    if (m_impl->vmc)
        m_impl->sendVmc(frame);
    if (m_impl->dds)
        m_impl->dds->publish(frame);
    ++m_sent;
}

}  // namespace streaming
