#include "devices/viconconnection.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/exceptions.hpp"
#include "devices/tracker.hpp"

using namespace Devices;

namespace {

// Little-endian wire bytes, as the optical server writes them.
class Bytes {
  public:
    Bytes& i32(std::int32_t v) {
        auto u = static_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i)
            m_s.push_back(static_cast<char>(u >> (8 * i)));
        return *this;
    }
    Bytes& f64(double d) {
        std::uint64_t u;
        std::memcpy(&u, &d, 8);
        for (int i = 0; i < 8; ++i)
            m_s.push_back(static_cast<char>(u >> (8 * i)));
        return *this;
    }
    Bytes& str(const std::string& s) {
        i32(static_cast<std::int32_t>(s.size()));
        m_s += s;
        return *this;
    }
    Bytes& raw(const std::string& s) {
        m_s += s;
        return *this;
    }
    const std::string& s() const { return m_s; }

  private:
    std::string m_s;
};

std::string infoReply(const std::vector<std::string>& names) {
    Bytes b;
    b.i32(1).i32(1).i32(static_cast<std::int32_t>(names.size()));
    for (const auto& n : names)
        b.str(n);
    return b.s();
}

std::string dataReply(const std::vector<double>& values, std::int32_t type = 2,
                      std::int32_t flag = 1, std::int32_t count = INT32_MIN) {
    Bytes b;
    b.i32(type).i32(flag).i32(count == INT32_MIN ? static_cast<std::int32_t>(values.size())
                                                 : count);
    for (double v : values)
        b.f64(v);
    return b.s();
}

// Script entry: answer nothing, keep the connection open.
const std::string kSilent = "<silent>";

// A small optical server on 127.0.0.1: accepts one client and answers each 8-byte request
// with the next scripted reply; closes the client when the script runs out.
class OpticalServer {
  public:
    explicit OpticalServer(std::vector<std::string> replies) : m_replies(std::move(replies)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 1) != 0)
            throw std::runtime_error("listen failed");
        socklen_t len = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        ::pipe(m_wake);
        m_thread = std::thread([this] { run(); });
    }
    ~OpticalServer() {
        char c = 'q';
        (void)!::write(m_wake[1], &c, 1);
        m_thread.join();
        ::close(m_listen);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
    int port() const { return m_port; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

  private:
    // Waits for fd to be readable or the test to end; false on the latter.
    bool wait(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        for (;;) {
            int n = ::poll(p, 2, 30000);
            if (n <= 0)
                return false;
            if (p[1].revents)
                return false;
            if (p[0].revents)
                return true;
        }
    }
    void run() {
        if (!wait(m_listen))
            return;
        int client = ::accept(m_listen, nullptr, nullptr);
        if (client < 0)
            return;
        for (const std::string& reply : m_replies) {
            if (reply == kSilent) {
                // Keep the client open and say nothing until the test ends.
                wait(m_wake[0]);
                break;
            }
            std::string request;
            while (request.size() < 8) {
                if (!wait(client)) {
                    ::close(client);
                    return;
                }
                char buf[8];
                ssize_t n = ::recv(client, buf, 8 - request.size(), 0);
                if (n <= 0) {
                    ::close(client);
                    return;
                }
                request.append(buf, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(request);
            }
            if (::send(client, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
                break;
        }
        ::close(client);
    }

    std::vector<std::string> m_replies;
    std::vector<std::string> m_requests;
    std::mutex m_mutex;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    int m_port = 0;
    std::thread m_thread;
};

const std::vector<std::string> kHandChannels = {
    "Hand <T-X>", "Hand <T-Y>", "Hand <T-Z>", "Hand <A-X>", "Hand <A-Y>", "Hand <A-Z>",
    "M1 <P-X>",   "M1 <P-Y>",   "M1 <P-Z>",   "M1 <P-O>",   "Frame <F>",  "Other <Q-Z>",
};

std::string connectError(ViconConnection& c) {
    try {
        c.connect();
    } catch (const std::string& s) {
        return s;
    }
    return "";
}

std::string updateError(ViconConnection& c) {
    try {
        c.update(false);
    } catch (const X_FailedConnection& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(ViconConnection, ReadsChannelsAndBodyPoses) {
    std::vector<double> values = {100, 200, 300, 0, 0, M_PI / 2, 1, 2, 3, 0, 42, 9};
    OpticalServer server({infoReply(kHandChannels), dataReply(values)});
    ViconConnection c("127.0.0.1");
    Tracker tracker(&c, kVicon);
    tracker.setup().receivers[0].offset[0] = 1.0;
    c.setPort(server.port());
    c.connect();
    EXPECT_TRUE(c.isConnected());
    EXPECT_EQ(c.getChannelNames().size(), 12u);
    ASSERT_EQ(c.getBodies().size(), 1u);
    EXPECT_EQ(c.getBodies()[0].name, "Hand");
    EXPECT_EQ(c.getBodies()[0].channels[0], 0);
    EXPECT_EQ(c.getBodies()[0].channels[5], 5);
    ASSERT_EQ(c.getMarkers().size(), 1u);
    EXPECT_EQ(c.getMarkers()[0].name, "M1");
    EXPECT_EQ(c.getMarkers()[0].channels[3], 9);
    EXPECT_EQ(c.getFrameChannel(), 10);
    EXPECT_EQ(tracker.getReceiverCount(), 1);

    c.update(false);
    const double* raw = tracker.data().raw[0];
    EXPECT_EQ(tracker.data().form, Tracker::AngleAxis);
    EXPECT_DOUBLE_EQ(raw[0], -20.0);
    EXPECT_DOUBLE_EQ(raw[1], 30.0);
    EXPECT_DOUBLE_EQ(raw[2], -10.0);
    EXPECT_DOUBLE_EQ(raw[5], 1.0);
    EXPECT_DOUBLE_EQ(raw[6], M_PI / 2);
    EXPECT_DOUBLE_EQ(tracker.data().corrected[0][0], -21.0) << "offset subtracted";
    EXPECT_DOUBLE_EQ(tracker.data().corrected[0][1], 30.0);
    EXPECT_DOUBLE_EQ(tracker.data().corrected[0][6], M_PI / 2);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], Bytes().i32(1).i32(0).s());
    EXPECT_EQ(requests[1], Bytes().i32(2).i32(0).s());
}

TEST(ViconConnection, ZeroRotationGivesANonFiniteAxis) {
    std::vector<double> values(12, 0.0);
    OpticalServer server({infoReply(kHandChannels), dataReply(values)});
    ViconConnection c("127.0.0.1");
    Tracker tracker(&c, kVicon);
    c.setPort(server.port());
    c.connect();
    c.update(false);
    EXPECT_EQ(tracker.data().raw[0][6], 0.0);
    EXPECT_FALSE(std::isfinite(tracker.data().raw[0][3]));
}

TEST(ViconConnection, ChannelNamesWithoutATagAbortTheConnect) {
    for (const char* bad : {"NoTag", "Open <T-X", "Close T-X>", "Swapped >T-X<"}) {
        OpticalServer server({infoReply({"Hand <T-X>", bad})});
        ViconConnection c("127.0.0.1");
        Tracker tracker(&c, kVicon);
        c.setPort(server.port());
        EXPECT_EQ(connectError(c), "Bad Channel Id") << bad;
        EXPECT_FALSE(c.isConnected());
    }
}

TEST(ViconConnection, DataReplyChecks) {
    std::vector<double> values(12, 1.0);
    struct Case {
        std::string reply;
        const char* error;
    } cases[] = {
        {dataReply(std::vector<double>(11, 1.0)), "Bad Data Packet"},
        {dataReply(values, 2, 1, 2000000000), "Bad Data Packet"},
        {dataReply(values, 2, 1, -5), "Bad Data Packet"},
        {dataReply(values, 1, 1), "Bad Reply Type"},
        {dataReply(values, 2, 0), "Bad Packet"},
        {dataReply(values).substr(0, 40), "Error Recieving"},
    };
    for (const Case& k : cases) {
        OpticalServer server({infoReply(kHandChannels), k.reply});
        ViconConnection c("127.0.0.1");
        Tracker tracker(&c, kVicon);
        c.setPort(server.port());
        c.connect();
        EXPECT_EQ(updateError(c),
                  std::string("Trouble communicating with Vicon server:") + k.error);
        EXPECT_EQ(tracker.data().raw[0][0], 0.0) << "nothing stored from a bad reply";
    }
}

TEST(ViconConnection, HostileInfoRepliesAreRefusedWithoutHugeAllocations) {
    struct Case {
        std::string reply;
        const char* error;
    } cases[] = {
        {Bytes().i32(1).i32(1).i32(2147483647).s(), "Bad Packet"},
        {Bytes().i32(1).i32(1).i32(-1).s(), "Bad Packet"},
        {Bytes().i32(1).i32(1).i32(1).i32(256).raw(std::string(256, 'x')).s(), "Bad Packet"},
        {Bytes().i32(1).i32(1).i32(1).i32(-3).s(), "Bad Packet"},
        {Bytes().i32(1).i32(1).i32(3).str("A <F>").s(), "Error Recieving"},
        {Bytes().i32(2).i32(1).i32(0).s(), "Bad Reply Type"},
    };
    for (const Case& k : cases) {
        OpticalServer server({k.reply});
        ViconConnection c("127.0.0.1");
        c.setPort(server.port());
        EXPECT_EQ(connectError(c), k.error);
    }
    // The cap itself is accepted.
    std::string longest = std::string(250, 'n') + " <F>";
    ASSERT_EQ(longest.size(), 254u);
    OpticalServer server({infoReply({longest + "x"})});
    ViconConnection c("127.0.0.1");
    c.setPort(server.port());
    EXPECT_EQ(connectError(c), "");
    EXPECT_EQ(c.getFrameChannel(), 0);
}

TEST(ViconConnection, IncompleteBodiesAreSkippedAndOnlyFourReachReceivers) {
    std::vector<std::string> names = {"Part <T-X>", "Part <A-Y>"};
    const char* full[] = {"B1", "B2", "B3", "B4", "B5"};
    const char* tags[] = {"<T-X>", "<T-Y>", "<T-Z>", "<A-X>", "<A-Y>", "<A-Z>"};
    for (const char* b : full)
        for (const char* t : tags)
            names.push_back(std::string(b) + " " + t);
    std::vector<double> values(names.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = 10.0 * static_cast<double>(i);
    OpticalServer server({infoReply(names), dataReply(values)});
    ViconConnection c("127.0.0.1");
    Tracker tracker(&c, kVicon);
    c.setPort(server.port());
    c.connect();
    EXPECT_EQ(c.getBodies().size(), 6u);
    EXPECT_EQ(tracker.getReceiverCount(), 4) << "at most four receivers";
    c.update(false);
    EXPECT_EQ(tracker.data().raw[0][0], 0.0) << "the incomplete body is skipped";
    EXPECT_EQ(tracker.data().raw[0][6], 0.0);
    // Receiver 1 is body B1: T-Y is channel 3.
    EXPECT_DOUBLE_EQ(tracker.data().raw[1][0], -3.0);
    // Receiver 3 is body B3 (channels 14..19): T-X is channel 14.
    EXPECT_DOUBLE_EQ(tracker.data().raw[3][2], -14.0);
}

TEST(ViconConnection, ASilentServerTimesOut) {
    OpticalServer server({kSilent});
    ViconConnection c("127.0.0.1");
    c.setPort(server.port());
    c.setIoTimeout(200);
    EXPECT_EQ(connectError(c), "Error Recieving");
    EXPECT_FALSE(c.isConnected());

    OpticalServer later({infoReply(kHandChannels), kSilent});
    ViconConnection d("127.0.0.1");
    Tracker tracker(&d, kVicon);
    d.setPort(later.port());
    d.setIoTimeout(200);
    d.connect();
    EXPECT_EQ(updateError(d), "Trouble communicating with Vicon server:Error Recieving");
}

TEST(ViconConnection, SocketSetUpFailures) {
    ViconConnection empty("");
    try {
        empty.connect();
        FAIL();
    } catch (const X_ConnectionError& e) {
        EXPECT_STREQ(e.what(), "Bad Address");
    }
    // A port nobody listens on: bind one, learn it, close it.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    ViconConnection refused("127.0.0.1");
    refused.setPort(ntohs(a.sin_port));
    try {
        refused.connect();
        FAIL();
    } catch (const X_ConnectionError& e) {
        EXPECT_STREQ(e.what(), "Failed to create Socket");
    }
    EXPECT_FALSE(refused.isConnected());
}

TEST(ViconConnection, UpdateOnlyServesTheOpticalTracker) {
    OpticalServer server({infoReply(kHandChannels)});
    ViconConnection c("127.0.0.1");
    Tracker tracker(&c, kFlock);
    c.setPort(server.port());
    c.connect();
    EXPECT_NO_THROW(c.update(false)) << "no request sent for another device type";
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_STREQ(c.getAddress(), "127.0.0.1");
    EXPECT_EQ(c.getType(), kViconConnection);
}

TEST(ViconChannels, ObjectNameIsCutAtTheLastBlank) {
    Vicon::ChannelMap map = Vicon::parseChannels(
        {"My Hand <A-X>", "Glued<T-Y>", "My Hand <T-Z>", "x <P-Z>", "x <P-X>", "<F>"});
    ASSERT_EQ(map.bodies.size(), 2u);
    EXPECT_EQ(map.bodies[0].name, "My Hand");
    EXPECT_EQ(map.bodies[0].channels[3], 0);
    EXPECT_EQ(map.bodies[0].channels[2], 2);
    EXPECT_EQ(map.bodies[1].name, "Glued");
    EXPECT_EQ(map.bodies[1].channels[1], 1);
    ASSERT_EQ(map.markers.size(), 1u) << "one marker per name";
    EXPECT_EQ(map.markers[0].channels[2], 3);
    EXPECT_EQ(map.markers[0].channels[0], 4);
    EXPECT_EQ(map.frameChannel, 5);
}
