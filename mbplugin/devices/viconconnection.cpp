#include "devices/viconconnection.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "devices/exceptions.hpp"
#include "devices/tracker.hpp"

namespace Devices {

namespace {

class SocketSource : public Vicon::ByteSource {
  public:
    explicit SocketSource(int fd) : m_fd(fd) {}
    bool read(void* out, std::size_t n) override {
        auto* p = static_cast<char*>(out);
        while (n > 0) {
            ssize_t got = ::recv(m_fd, p, n, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            p += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

  private:
    int m_fd;
};

bool resolve(const std::string& host, in_addr& out) {
    if (host.empty())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
        out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
        return true;
    }
    return ::inet_pton(AF_INET, host.c_str(), &out) == 1;
}

}  // namespace

ViconConnection::ViconConnection(const char* host)
    : Connection(kViconConnection), m_host(host ? host : "") {}

ViconConnection::~ViconConnection() {
    closeSocket();
}

void ViconConnection::closeSocket() {
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    m_connected = false;
}

void ViconConnection::sendRequest(std::int32_t kind) {
    std::string bytes = Vicon::request(kind);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(m_socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::string("Error Requesting");
        done += static_cast<std::size_t>(n);
    }
}

void ViconConnection::connect() {
    if (m_connected)
        return;
    protoent* proto = ::getprotobyname("tcp");
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, proto ? proto->p_proto : 0);
    if (fd < 0)
        throw X_ConnectionError("Socket Creation Error");
    m_socket = fd;
    in_addr address{};
    if (!resolve(m_host, address)) {
        closeSocket();
        throw X_ConnectionError("Bad Address");
    }
    // A server that stops answering must not hold the host's update forever.
    timeval timeout{m_ioTimeoutMs / 1000, (m_ioTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(m_port));
    peer.sin_addr = address;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        closeSocket();
        throw X_ConnectionError("Failed to create Socket");
    }
    try {
        sendRequest(Vicon::kInfo);
        SocketSource source(fd);
        std::vector<std::string> names = Vicon::readInfoReply(source);
        Vicon::ChannelMap map = Vicon::parseChannels(names);
        m_channelNames = std::move(names);
        m_markers = std::move(map.markers);
        m_bodies = std::move(map.bodies);
        m_frameChannel = map.frameChannel;
    } catch (const std::string&) {
        closeSocket();
        throw;
    }
    m_connected = true;
    if (auto* tracker = dynamic_cast<Tracker*>(m_device))
        tracker->setReceiverCount(static_cast<int>(m_bodies.size()));
}

void ViconConnection::update(bool output) {
    (void)output;
    if (!m_connected || !m_device || m_device->getType() != kVicon)
        return;
    auto* tracker = dynamic_cast<Tracker*>(m_device);
    if (!tracker)
        return;
    std::vector<double> values;
    try {
        sendRequest(Vicon::kData);
        SocketSource source(m_socket);
        values = Vicon::readDataReply(source, m_channelNames.size());
    } catch (const std::string& text) {
        throw X_FailedConnection("Trouble communicating with Vicon server:" + text);
    }
    Tracker::Data& data = tracker->data();
    data.form = Tracker::AngleAxis;
    int receiver = 0;
    for (const Vicon::Body& body : m_bodies) {
        if (receiver >= Vicon::kMaxBodies)
            break;
        double pose[7];
        // A body missing a tag is skipped; it keeps its receiver slot.
        if (Vicon::bodyPose(body, values, pose)) {
            const double* offset = tracker->setup().receivers[receiver].offset;
            for (int k = 0; k < 7; ++k) {
                data.raw[receiver][k] = pose[k];
                data.corrected[receiver][k] = pose[k] - (k < 3 ? offset[k] : 0.0);
            }
        }
        ++receiver;
    }
}

}  // namespace Devices
