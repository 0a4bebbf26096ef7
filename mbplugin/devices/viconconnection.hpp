#pragma once
// Connection straight to an optical motion-capture server over TCP. connect reads the
// channel list once; update asks for one data frame and stores up to four bodies as the
// tracker's receivers. The socket stays open until the connection is destroyed.

#include <cstdint>
#include <string>
#include <vector>

#include "devices/connection.hpp"
#include "devices/types.hpp"
#include "devices/viconprotocol.hpp"

namespace Devices {

class ViconConnection : public Connection {
  public:
    // Milliseconds a send or receive may take before the server counts as gone.
    static constexpr int kIoTimeoutMs = 5000;

    explicit ViconConnection(const char* host);
    ~ViconConnection() override;

    // Socket set-up failures throw X_ConnectionError; protocol errors throw std::string.
    void connect() override;
    // Only for the optical tracker (type 6); protocol errors become X_FailedConnection
    // "Trouble communicating with Vicon server:<text>".
    void update(bool output) override;
    const char* getAddress() override { return m_host.c_str(); }

    // The server port; kPort unless changed before connect.
    void setPort(int port) { m_port = port; }
    // The send and receive time-out; kIoTimeoutMs unless changed before connect.
    void setIoTimeout(int milliseconds) { m_ioTimeoutMs = milliseconds > 0 ? milliseconds : 1; }

    const std::vector<std::string>& getChannelNames() const { return m_channelNames; }
    const std::vector<Vicon::Marker>& getMarkers() const { return m_markers; }
    const std::vector<Vicon::Body>& getBodies() const { return m_bodies; }
    std::int32_t getFrameChannel() const { return m_frameChannel; }

  private:
    void sendRequest(std::int32_t kind);
    void closeSocket();

    std::string m_host;
    std::vector<std::string> m_channelNames;
    std::vector<Vicon::Marker> m_markers;
    std::vector<Vicon::Body> m_bodies;
    std::int32_t m_frameChannel = -1;
    int m_socket = -1;
    int m_port = Vicon::kPort;
    int m_ioTimeoutMs = kIoTimeoutMs;
};

}  // namespace Devices
