#pragma once
// Streams glove frames to other tools: joint angles as OSC messages, the 21-joint hand as VMC
// bone rotations, and ROS 2 JointState samples over DDS. No Qt; one instance per process.

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace streaming {

// Sensor angles per frame, radians, in sensor order (finger group x 4 + joint).
constexpr int kSensorCount = 24;

struct OscTarget {
    std::string host;
    std::string port;
};

// "HOST:PORT" (an IPv6 host in brackets); throws std::invalid_argument on anything else.
OscTarget parseTarget(const std::string& text);

struct StreamOptions {
    std::optional<OscTarget> osc;  // angles as "/manuvia/glove" messages
    std::optional<OscTarget> vmc;  // the hand as VMC bones
    bool dds = false;              // ROS 2 JointState on "rt/<name>/joint_states"
    double rateHz = 0.0;           // at most this many frames per second per glove; 0 = all
    bool any() const { return osc || vmc || dds; }
};

// One glove frame as it was received.
struct Frame {
    std::string name;  // the glove's name, also the ROS 2 namespace; [A-Za-z0-9_]
    bool rightHand = true;
    double angles[kSensorCount] = {};
    std::chrono::system_clock::time_point received;
};

// Joint names of the JointState samples and of the OSC argument list, in sensor order
// (the slots without a sensor are left out of JointState).
std::vector<int> jointStateSensors();
const char* jointName(int sensor);

// A glove name made fit for a ROS 2 topic: other characters become '_', a leading digit
// gets a '_' in front, empty becomes "glove".
std::string topicName(const std::string& name);

// Passes at most one frame per period, measured on the frames' receive clock.
class Decimator {
  public:
    explicit Decimator(double rateHz);
    bool pass(std::chrono::system_clock::time_point t);

  private:
    std::chrono::nanoseconds m_period;
    std::optional<std::chrono::system_clock::time_point> m_last;
};

class HandStream {
  public:
    // Opens every target the options name; throws std::runtime_error when one cannot be set
    // up (bad host, no DDS domain).
    explicit HandStream(const StreamOptions& options);
    ~HandStream();
    HandStream(const HandStream&) = delete;
    HandStream& operator=(const HandStream&) = delete;

    // Sends one frame to every target unless the rate limit holds it back. Delivery is best
    // effort: a receiver that is not there loses the frame, the stream goes on.
    void send(const Frame& frame);
    // Frames sent (not held back by the rate limit).
    long long sent() const { return m_sent; }

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    long long m_sent = 0;
};

}  // namespace streaming
