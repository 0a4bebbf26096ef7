// JointState samples as a ROS 2 subscriber sees them, read by a plain DDS reader of the same
// type. Runs inside a private network namespace.

#include <dds/dds.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "sensor_msgs/msg/JointState.h"
#include "streaming/handstream.hpp"

namespace {

using namespace std::chrono_literals;

double angleOf(int k, int s) {
    return -0.01 * (k + 1) * (s + 1) / 4.0;
}

class Subscriber {
  public:
    explicit Subscriber(const char* topic) {
        m_participant = dds_create_participant(DDS_DOMAIN_DEFAULT, nullptr, nullptr);
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 100);
        const dds_entity_t t = dds_create_topic(
            m_participant, &sensor_msgs_msg_dds__JointState__desc, topic, nullptr, nullptr);
        m_reader = dds_create_reader(m_participant, t, qos, nullptr);
        dds_delete_qos(qos);
    }
    ~Subscriber() { dds_delete(m_participant); }
    bool ok() const { return m_participant > 0 && m_reader > 0; }

    // Frame numbers of the samples taken, after checking each sample's names and values.
    std::vector<int> take() {
        std::vector<int> frames;
        void* samples[16] = {};
        dds_sample_info_t infos[16];
        const int n = dds_take(m_reader, samples, infos, 16, 16);
        const auto sensors = streaming::jointStateSensors();
        for (int i = 0; i < n; ++i) {
            if (!infos[i].valid_data)
                continue;
            const auto* js = static_cast<sensor_msgs_msg_dds__JointState_*>(samples[i]);
            EXPECT_EQ(std::string(js->header.frame_id), "glove7_left");
            EXPECT_GT(js->header.stamp.sec, 1600000000);
            EXPECT_EQ(js->name._length, sensors.size());
            EXPECT_EQ(js->position._length, sensors.size());
            if (js->position._length != sensors.size() || js->name._length != sensors.size())
                continue;
            const int k = static_cast<int>(std::lround(-js->position._buffer[0] * 400.0)) - 1;
            for (size_t j = 0; j < sensors.size(); ++j) {
                EXPECT_EQ(std::string(js->name._buffer[j]), streaming::jointName(sensors[j]));
                EXPECT_DOUBLE_EQ(js->position._buffer[j], angleOf(k, sensors[j]));
            }
            frames.push_back(k);
        }
        if (n > 0)
            dds_return_loan(m_reader, samples, n);
        return frames;
    }

  private:
    dds_entity_t m_participant = 0;
    dds_entity_t m_reader = 0;
};

// Sends frames until the subscriber has some (discovery takes its time), bounded in count
// and time; returns the frame numbers it got, in arrival order.
std::vector<int> streamUntilReceived(streaming::HandStream& stream, Subscriber& sub, int& k) {
    std::vector<int> got;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (int sent = 0; sent < 3000 && std::chrono::steady_clock::now() < deadline; ++sent) {
        streaming::Frame f;
        f.name = "glove7";
        f.rightHand = false;
        f.received = std::chrono::system_clock::now();
        for (int s = 0; s < streaming::kSensorCount; ++s)
            f.angles[s] = angleOf(k, s);
        stream.send(f);
        ++k;
        std::this_thread::sleep_for(20ms);  // paces the sender, nothing waits on it
        for (int frame : sub.take())
            got.push_back(frame);
        if (got.size() >= 10)
            break;
    }
    return got;
}

TEST(DdsStream, JointStatesArriveInOrderAndSurviveASubscriberComingAndGoing) {
    streaming::StreamOptions options;
    options.dds = true;
    streaming::HandStream stream(options);
    int k = 0;
    for (int round = 0; round < 2; ++round) {
        Subscriber sub("rt/glove7/joint_states");
        ASSERT_TRUE(sub.ok());
        const auto got = streamUntilReceived(stream, sub, k);
        ASSERT_GE(got.size(), 10u) << "round " << round;
        for (size_t i = 1; i < got.size(); ++i)
            EXPECT_EQ(got[i], got[i - 1] + 1) << "reliable delivery keeps every frame";
    }
    EXPECT_EQ(stream.sent(), k);
}

}  // namespace
