#pragma once
// Connection through the device manager (RZ_DeviceOpen / RZ_DeviceControl of the core).
// Settings are fixed text fields as the registry gives them: 20 characters for names and
// numbers, 255 for the serial port and the server address, which carry device paths such as
// /dev/serial/by-id/... and host names. Replies are parsed within the length the core
// reports, never past the connection's buffers.

#include <cstddef>
#include <cstdint>
#include <string>

#include "devices/connection.hpp"
#include "devices/types.hpp"

namespace Devices {

class VexaGrasp;

class RzidmConnection : public Connection {
  public:
    static constexpr int kFieldSize = 21;       // 20 characters and a terminator
    static constexpr int kPathFieldSize = 256;  // 255 characters and a terminator
    static constexpr int kBufferSize = 1024;
    static constexpr int kGraspPacketSize = 3953;

    RzidmConnection();
    // Closes the device when still open.
    ~RzidmConnection() override;

    // Opens the device; a glove that is not calibrated reads its calibration from the
    // hardware and saves it. Nothing when already connected.
    void connect() override;
    void disconnect() override;
    void update(bool output) override;
    void sendSettings() override;
    const char* getAddress() override { return m_serverAddress; }
    // Sends receiver's position as its offset ("%1d %f %f %f\n"); with store, the receiver's
    // stored offset becomes minus the measured position first.
    virtual void sendReceiverOffset(int receiver, bool store);

    // One actuator's level (0..1) at once.
    void sendVibration(int actuator, double level);
    // The glove's calibration from the hardware (message 19 item 1) into the device, which
    // becomes calibrated. A negative result throws X_FailedConnection; an incomplete reply
    // throws X_CalibNotFound; either way the device keeps what it had.
    void readCalibration();
    // Message 0: true only when the glove answers that it is a left-hand glove.
    bool isLeftHand();

    // Text setters ignore null; a text longer than its field (255 characters for the serial
    // port and the server address, 20 for the others) throws X_FailedConnection and leaves
    // the field as it was.
    void setServerAddress(const char* text);
    void setDeviceName(const char* text);
    void setSerialPort(const char* text);
    void setTypeName(const char* text);
    void setServerPort(int port);
    void setBaudRate(int baud);

    const char* getServerAddress() const { return m_serverAddress; }
    const char* getServerPort() const { return m_serverPort; }
    const char* getBaudRate() const { return m_baudRate; }
    const char* getDeviceName() const { return m_deviceName; }
    const char* getTypeName() const { return m_typeName; }
    const char* getSerialPort() const { return m_serialPort; }
    std::uint64_t getHandle() const { return m_handle; }

    // "server=<address>:port=<port>", "<serial port>:baudrate=<baud>", and the type name
    // opened ("vexatouch" opens as "vexaglove"; a glove whose serial port names a take opens
    // the replaying "dummy").
    std::string serverUrl() const;
    std::string deviceUrl() const;
    std::string openTypeName() const;

    // Decimal text of value taken as unsigned 32-bit; 0 gives the empty text.
    static void numberText(int value, char out[kFieldSize]);
    // The grasp force packet of kGraspPacketSize bytes.
    static void buildGraspPacket(const VexaGrasp& grasp, unsigned char* out);

  private:
    void copyField(char* field, int size, const char* text, const char* what);
    // Sends a message with len bytes of request payload from the buffer; gives the result
    // and the reply length (clamped to the buffer) in len. The core is told the array's own
    // size: a plug-in's reply may fill all of it, so no larger capacity may ever be claimed.
    template <std::size_t N>
    int control(int message, int argcode, unsigned char (&buffer)[N], int& len) {
        static_assert(N <= 0xFFFF, "a reply buffer beyond a message's payload length");
        return controlInto(message, argcode, buffer, len, static_cast<int>(N));
    }
    int controlInto(int message, int argcode, unsigned char* buffer, int& len, int capacity);
    int controlSet(int message, int argcode, const void* bytes, int length);
    void check(int result) const;

    void readGloveValues();
    void readTrackerRecords(int item);
    void readTrackerOffsets();
    void sendGloveCalibration();
    void sendTrackerSetup();
    void sendAllVibration();
    void sendGraspPacket();
    void sendText(const char* text);

    std::uint64_t m_handle = 0;
    char m_serverAddress[kPathFieldSize] = {};
    char m_serverPort[kFieldSize] = {};
    char m_baudRate[kFieldSize] = {};
    char m_deviceName[kFieldSize] = {};
    char m_typeName[kFieldSize] = {};
    char m_serialPort[kPathFieldSize] = {};
    // Per connection rather than shared, so two connections never write one buffer.
    unsigned char m_buffer[kBufferSize] = {};
    unsigned char m_packet[kGraspPacketSize] = {};
};

}  // namespace Devices
