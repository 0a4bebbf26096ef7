// The JointState samples our Cyclone DDS publisher sends, read by a Fast DDS subscriber of a
// type generated independently from the same IDL: what another vendor's ROS 2 node sees.
// Runs inside a private network namespace; Fast DDS is kept to the loopback.

#include <gtest/gtest.h>

#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "sensor_msgs/msg/JointStatePubSubTypes.h"
#include "streaming/handstream.hpp"

namespace {

using namespace eprosima::fastdds::dds;
using namespace std::chrono_literals;

TEST(FastDdsReader, ReadsTheNamesAndAnglesWePublish) {
    DomainParticipantQos pqos;
    pqos.transport().use_builtin_transports = false;
    auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
    udp->interfaceWhiteList.emplace_back("127.0.0.1");
    pqos.transport().user_transports.push_back(udp);
    auto* factory = DomainParticipantFactory::get_instance();
    DomainParticipant* participant = factory->create_participant(0, pqos);
    ASSERT_NE(participant, nullptr);
    TypeSupport type(new sensor_msgs::msg::dds_::JointState_PubSubType());
    ASSERT_EQ(type.register_type(participant), ReturnCode_t::RETCODE_OK);
    Topic* topic = participant->create_topic("rt/fast_glove/joint_states", type.get_type_name(),
                                             TOPIC_QOS_DEFAULT);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT);
    DataReaderQos rqos = DATAREADER_QOS_DEFAULT;
    rqos.reliability().kind = RELIABLE_RELIABILITY_QOS;
    DataReader* reader = subscriber->create_datareader(topic, rqos);
    ASSERT_NE(reader, nullptr);

    streaming::StreamOptions options;
    options.dds = true;
    streaming::HandStream stream(options);
    streaming::Frame frame;
    frame.name = "fast_glove";
    frame.rightHand = false;
    for (int s = 0; s < streaming::kSensorCount; ++s)
        frame.angles[s] = -0.05 * (s + 1);

    // Discovery takes a while: send until a sample is read, bounded in count and time.
    sensor_msgs::msg::dds_::JointState_ sample;
    SampleInfo info;
    bool got = false;
    for (int k = 0; k < 300 && !got; ++k) {
        frame.received = std::chrono::system_clock::now();
        stream.send(frame);
        got = reader->wait_for_unread_message(eprosima::fastrtps::Duration_t(0, 100000000)) &&
              reader->take_next_sample(&sample, &info) == ReturnCode_t::RETCODE_OK &&
              info.valid_data;
    }
    ASSERT_TRUE(got) << "no sample reached the Fast DDS reader";
    const std::vector<int> sensors = streaming::jointStateSensors();
    ASSERT_EQ(sample.name().size(), sensors.size());
    ASSERT_EQ(sample.position().size(), sensors.size());
    for (size_t i = 0; i < sensors.size(); ++i) {
        EXPECT_EQ(sample.name()[i], streaming::jointName(sensors[i]));
        EXPECT_DOUBLE_EQ(sample.position()[i], frame.angles[sensors[i]]);
    }
    EXPECT_EQ(sample.header().frame_id(), "fast_glove_left");
    EXPECT_GT(sample.header().stamp().sec(), 0);

    participant->delete_contained_entities();
    factory->delete_participant(participant);
}

}  // namespace
