#include "devices/rzidmconnection.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "devicemanager/rzclient.h"
#include "devicemanager/rzplugin.h"
#include "devices/exceptions.hpp"
#include "devices/report.hpp"
#include "devices/tracker.hpp"
#include "devices/vexaglove.hpp"
#include "devices/vexagrasp.hpp"
#include "devices/vexatouch.hpp"

namespace Devices {

namespace {

constexpr int kTrackerRecordSize = 49;  // receiver byte, x, y, z, azimuth, elevation, roll
constexpr int kOffsetRecordSize = 25;   // receiver index byte, x, y, z
constexpr int kCalibRecordSize = 11;    // finger, joint, kind, value
constexpr int kPatchRecordSize = 74;
constexpr int kForceRecordSize = 172;
constexpr int kForceEntrySize = 57;
constexpr int kPatchesOffset = 0;
constexpr int kForcesOffset = 1201;

static_assert(kPatchesOffset + VexaGrasp::kPatchCount * kPatchRecordSize == 1184);
static_assert(kForcesOffset + VexaGrasp::kForceRecordCount * kForceRecordSize ==
              RzidmConnection::kGraspPacketSize);
static_assert(1 + 3 * kForceEntrySize == kForceRecordSize);

// Amplitude byte of a level: level x 255 truncated; levels outside 0..1 are held to it so
// the conversion stays defined.
unsigned char amplitude(double level) {
    if (!(level > 0.0))
        return 0;
    if (level >= 1.0)
        return 255;
    return static_cast<unsigned char>(level * 255.0);
}

// Unit vector of a cord-direction or mounting-plate code.
bool axisOfCode(int code, double out[3]) {
    if (code < 0 || code > 5)
        return false;
    out[0] = out[1] = out[2] = 0.0;
    out[code % 3] = code < 3 ? 1.0 : -1.0;
    return true;
}

}  // namespace

RzidmConnection::RzidmConnection() : Connection(kDeviceManagerConnection) {}

RzidmConnection::~RzidmConnection() {
    if (m_handle != 0)
        RZ_DeviceClose(m_handle);
}

// ---------------------------------------------------------------------------------------------
// settings

void RzidmConnection::numberText(int value, char out[kFieldSize]) {
    auto v = static_cast<std::uint32_t>(value);
    char digits[kFieldSize];
    int n = 0;
    while (v != 0 && n < kFieldSize - 1) {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    for (int i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
}

void RzidmConnection::copyField(char* field, int size, const char* text, const char* what) {
    if (!text)
        return;
    std::size_t len = std::strlen(text);
    if (len >= static_cast<std::size_t>(size))
        throw X_FailedConnection(std::string("The ") + what + " \"" + text + "\" is longer than " +
                                 std::to_string(size - 1) + " characters");
    std::memcpy(field, text, len + 1);
}

void RzidmConnection::setServerAddress(const char* text) {
    copyField(m_serverAddress, kPathFieldSize, text, "server address");
}
void RzidmConnection::setDeviceName(const char* text) {
    copyField(m_deviceName, kFieldSize, text, "device name");
}
void RzidmConnection::setSerialPort(const char* text) {
    copyField(m_serialPort, kPathFieldSize, text, "serial port");
}
void RzidmConnection::setTypeName(const char* text) {
    copyField(m_typeName, kFieldSize, text, "type name");
}
void RzidmConnection::setServerPort(int port) {
    numberText(port, m_serverPort);
}
void RzidmConnection::setBaudRate(int baud) {
    numberText(baud, m_baudRate);
}

std::string RzidmConnection::serverUrl() const {
    return std::string("server=") + m_serverAddress + ":port=" + m_serverPort;
}

std::string RzidmConnection::deviceUrl() const {
    return std::string(m_serialPort) + ":baudrate=" + m_baudRate;
}

namespace {

// True when a device text names a take ("NAME:take=PATH..."): a replay, not hardware.
bool namesTake(const char* text) {
    for (const char* p = std::strpbrk(text, ":\n"); p; p = std::strpbrk(p + 1, ":\n")) {
        const char* key = p + 1;
        while (*key == ' ' || *key == '\t')
            ++key;
        if (std::strncmp(key, "take=", 5) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::string RzidmConnection::openTypeName() const {
    const bool glove =
        std::strcmp(m_typeName, "vexaglove") == 0 || std::strcmp(m_typeName, "vexatouch") == 0;
    // The replaying plug-in answers what the library asks of a glove.
    if (glove && namesTake(m_serialPort))
        return "dummy";
    if (glove)
        return "vexaglove";
    return m_typeName;
}

// ---------------------------------------------------------------------------------------------
// messages

int RzidmConnection::controlInto(int message, int argcode, unsigned char* buffer, int& len,
                                 int capacity) {
    int result = RZ_DeviceControl(m_handle, message, argcode, buffer, &len, capacity);
    // Never trust a reply length beyond the buffer it was read into.
    if (len < 0)
        len = 0;
    if (len > capacity)
        len = capacity;
    return result;
}

int RzidmConnection::controlSet(int message, int argcode, const void* bytes, int length) {
    return RZ_DeviceControlSet(m_handle, message, argcode, bytes, length);
}

void RzidmConnection::check(int result) const {
    if (result < 0)
        throw X_FailedConnection(errorName(result));
}

void RzidmConnection::sendText(const char* text) {
    check(controlSet(RZ_MSG_WRITE_CALIBRATION, RZ_ARGCODE_TEXT | 1, text,
                     static_cast<int>(std::strlen(text))));
}

// ---------------------------------------------------------------------------------------------
// connect, disconnect

void RzidmConnection::connect() {
    if (m_connected)
        return;
    std::string server = serverUrl();
    std::string device = deviceUrl();
    std::string type = openTypeName();
    m_handle = RZ_DeviceOpen(server.c_str(), device.c_str(), type.c_str());
    if (m_handle == 0)
        throw X_FailedConnection("Unable to connect using the device manager");
    m_connected = true;

    auto* glove = dynamic_cast<VexaGlove*>(m_device);
    if (glove && !glove->isCalibrated()) {
        try {
            readCalibration();
        } catch (const X_CalibNotFound&) {
            // An incomplete calibration leaves the glove uncalibrated; the connection stands.
            return;
        } catch (...) {
            // The hardware refused the read: reporting the glove as connected would hide it.
            disconnect();
            throw;
        }
        try {
            glove->saveCalibration();
        } catch (const std::exception& e) {
            report("Error saving calibration!", e.what());
        }
    }
}

void RzidmConnection::disconnect() {
    if (m_connected && m_handle != 0) {
        RZ_DeviceClose(m_handle);
        m_handle = 0;
    }
    m_connected = false;
}

// ---------------------------------------------------------------------------------------------
// reading

void RzidmConnection::readCalibration() {
    auto* glove = dynamic_cast<VexaGlove*>(m_device);
    if (!glove || !m_connected)
        return;
    int len = 0;
    int result = control(RZ_MSG_READ_CALIBRATION, 1, m_buffer, len);
    if (result < 0 && result != -12)
        throw X_FailedConnection(errorName(result));

    double offsets[VexaGlove::kCalibratedSensors];
    double gains[VexaGlove::kCalibratedSensors];
    bool haveOffset[VexaGlove::kCalibratedSensors] = {};
    bool haveGain[VexaGlove::kCalibratedSensors] = {};
    // Whole records only; each says which sensor and kind it carries.
    for (int at = 0; at + kCalibRecordSize <= len; at += kCalibRecordSize) {
        int finger = m_buffer[at];
        int joint = m_buffer[at + 1];
        int kind = m_buffer[at + 2];
        if (finger > 5 || joint > 3 || kind > 1)
            continue;
        int sensor = 4 * finger + joint;
        if (sensor >= VexaGlove::kCalibratedSensors)
            continue;
        double value = RZ_GetDouble(m_buffer + at + 3);
        if (kind == 0) {
            offsets[sensor] = value;
            haveOffset[sensor] = true;
        } else {
            gains[sensor] = value;
            haveGain[sensor] = true;
        }
    }
    for (int s = 0; s < VexaGlove::kCalibratedSensors; ++s)
        if (!haveOffset[s] || !haveGain[s])
            throw X_CalibNotFound("Incomplete calibration from the hardware");
    glove->setCalibration(offsets, gains);
}

bool RzidmConnection::isLeftHand() {
    if (!m_connected)
        return false;
    int len = 0;
    int result = control(RZ_MSG_INFO, 0, m_buffer, len);
    return result >= 0 && len >= 1 && m_buffer[0] == 0;
}

void RzidmConnection::readGloveValues() {
    auto* glove = dynamic_cast<VexaGlove*>(m_device);
    if (!glove)
        return;
    int len = 0;
    check(control(RZ_MSG_READ, 2, m_buffer, len));
    int n = len / 8;
    if (n > VexaGlove::kSensorCount)
        n = VexaGlove::kSensorCount;
    double values[VexaGlove::kSensorCount];
    for (int i = 0; i < n; ++i)
        values[i] = RZ_GetDouble(m_buffer + 8 * i);
    glove->setSensorValues(values, n);
    if (glove->hasSwitch()) {
        m_buffer[0] = 0;
        int got = RZ_DeviceControlGet(m_handle, RZ_MSG_READ, 7, m_buffer, kBufferSize);
        check(got);
        glove->setSwitch(got > 0 && m_buffer[0] != 0);
    }
}

void RzidmConnection::readTrackerRecords(int item) {
    auto* tracker = dynamic_cast<Tracker*>(m_device);
    if (!tracker)
        return;
    int len = 0;
    check(control(RZ_MSG_READ, item, m_buffer, len));
    Tracker::Data& data = tracker->data();
    for (int at = 0; at + kTrackerRecordSize <= len; at += kTrackerRecordSize) {
        int receiver = m_buffer[at];
        if (receiver < 1 || receiver > Tracker::kMaxReceivers)
            continue;
        double* out = item == 1 ? data.raw[receiver - 1] : data.corrected[receiver - 1];
        for (int k = 0; k < 6; ++k)
            out[k] = RZ_GetDouble(m_buffer + at + 1 + 8 * k);
        out[6] = 0.0;
        data.form = Tracker::Euler;
    }
}

void RzidmConnection::readTrackerOffsets() {
    auto* tracker = dynamic_cast<Tracker*>(m_device);
    if (!tracker)
        return;
    int len = 0;
    int result = control(RZ_MSG_READ_CALIBRATION, 1, m_buffer, len);
    if (result < 0 && result != -12)
        throw X_FailedConnection(errorName(result));
    for (int at = 0; at + kOffsetRecordSize <= len; at += kOffsetRecordSize) {
        int receiver = m_buffer[at];
        if (receiver >= Tracker::kMaxReceivers)
            continue;
        for (int k = 0; k < 3; ++k)
            tracker->setup().receivers[receiver].offset[k] =
                RZ_GetDouble(m_buffer + at + 1 + 8 * k);
    }
}

// ---------------------------------------------------------------------------------------------
// update, settings

void RzidmConnection::update(bool output) {
    if (!m_connected || !m_device)
        return;
    switch (m_device->getType()) {
        case kVexaGlove:
            readGloveValues();
            break;
        case kVexaGrasp:
            if (!output)
                sendGraspPacket();
            break;
        case kVexaForce:
        case kFlock:
        case kFastrak:
            readTrackerRecords(2);
            break;
        case kVexaTouch:
            if (output)
                sendAllVibration();
            else
                readGloveValues();
            break;
        default:
            break;
    }
}

void RzidmConnection::sendSettings() {
    if (!m_connected || !m_device)
        return;
    switch (m_device->getType()) {
        case kVexaGlove:
        case kVexaTouch:
            sendGloveCalibration();
            break;
        case kVexaForce:
        case kFlock:
        case kFastrak:
            sendTrackerSetup();
            break;
        default:
            break;
    }
}

void RzidmConnection::sendGloveCalibration() {
    auto* glove = dynamic_cast<VexaGlove*>(m_device);
    if (!glove)
        return;
    char text[96];
    for (int f = 0; f < 6; ++f) {
        for (int j = 0; j < 4; ++j) {
            int s = 4 * f + j;
            if (s == 23)
                continue;
            std::snprintf(text, sizeof text, "%1d%1d%1d%f\n", f, j, 1, glove->getGain(s));
            sendText(text);
            if (s == 7)
                continue;
            std::snprintf(text, sizeof text, "%1d%1d%1d%f\n", f, j, 0, glove->getOffset(s));
            sendText(text);
        }
    }
}

void RzidmConnection::sendTrackerSetup() {
    auto* tracker = dynamic_cast<Tracker*>(m_device);
    if (!tracker)
        return;
    if (tracker->getType() == kVexaForce) {
        sendReceiverOffset(0, false);
        return;
    }
    const Tracker::Setup& s = tracker->setup();
    unsigned char bytes[2] = {static_cast<unsigned char>(s.cordDirection),
                              static_cast<unsigned char>(s.mountingPlate)};
    check(controlSet(RZ_MSG_WRITE_SETTING, 8, bytes, 2));
    for (int i = 0; i < s.receiverCount && i < Tracker::kMaxReceivers; ++i) {
        unsigned char on[2] = {static_cast<unsigned char>(i + 1),
                               static_cast<unsigned char>(s.receivers[i].active ? 1 : 0)};
        check(controlSet(RZ_MSG_WRITE_SETTING, 4, on, 2));
        if (!s.receivers[i].active)
            continue;
        unsigned char hemi[2] = {static_cast<unsigned char>(i + 1),
                                 static_cast<unsigned char>(s.receivers[i].hemisphere)};
        check(controlSet(RZ_MSG_WRITE_SETTING, 0, hemi, 2));
        sendReceiverOffset(i, false);
    }
}

void RzidmConnection::sendReceiverOffset(int receiver, bool store) {
    auto* tracker = dynamic_cast<Tracker*>(m_device);
    if (!tracker || !m_connected)
        return;
    if (receiver < 0 || receiver >= Tracker::kMaxReceivers)
        return;
    double p[3];
    const double* raw = tracker->data().raw[receiver];
    int type = tracker->getType();
    if (type == kVexaForce) {
        Tracker::Setup saved = tracker->setup();
        try {
            readTrackerOffsets();
            readTrackerRecords(1);
        } catch (...) {
            tracker->setup() = saved;
            throw;
        }
        for (int k = 0; k < 3; ++k)
            p[k] = raw[k] - tracker->setup().receivers[receiver].offset[k];
        tracker->setup() = saved;
    } else if (type == kFlock || type == kFastrak) {
        readTrackerRecords(1);
        double d[3], m[3];
        if (!axisOfCode(tracker->setup().cordDirection, d) ||
            !axisOfCode(tracker->setup().mountingPlate, m))
            throw X_CalibNotFound("Invalid cord direction or mounting plate code");
        double u[3] = {-d[0], -d[1], -d[2]};
        double w[3] = {m[1] * u[2] - m[2] * u[1], m[2] * u[0] - m[0] * u[2],
                       m[0] * u[1] - m[1] * u[0]};
        for (int k = 0; k < 3; ++k)
            p[k] = raw[0] * u[k] + raw[1] * w[k] + raw[2] * m[k];
    } else {
        readTrackerRecords(1);
        for (int k = 0; k < 3; ++k)
            p[k] = raw[k];
    }
    double* offset = tracker->setup().receivers[receiver].offset;
    if (store)
        for (int k = 0; k < 3; ++k)
            offset[k] = -p[k];
    char text[160];
    std::snprintf(text, sizeof text, "%1d %f %f %f\n", receiver + 1, p[0] + offset[0],
                  p[1] + offset[1], p[2] + offset[2]);
    sendText(text);
}

// ---------------------------------------------------------------------------------------------
// vibration, grasp

void RzidmConnection::sendVibration(int actuator, double level) {
    if (!m_connected)
        return;
    if (actuator < 0 || actuator >= VexaTouch::kActuatorCount)
        return;
    unsigned char pair[2] = {static_cast<unsigned char>(actuator), amplitude(level)};
    int len = 2;
    check(control(RZ_MSG_WRITE, 1, pair, len));
}

void RzidmConnection::sendAllVibration() {
    auto* touch = dynamic_cast<VexaTouch*>(m_device);
    if (!touch)
        return;
    unsigned char pairs[2 * VexaTouch::kActuatorCount];
    for (int a = 0; a < VexaTouch::kActuatorCount; ++a) {
        pairs[2 * a] = static_cast<unsigned char>(a);
        pairs[2 * a + 1] = amplitude(touch->getLevel(a));
    }
    int len = static_cast<int>(sizeof pairs);
    check(control(RZ_MSG_WRITE, 1, pairs, len));
    for (int a = 0; a < VexaTouch::kActuatorCount; ++a)
        touch->setLastSent(a, touch->getLevel(a));
}

void RzidmConnection::buildGraspPacket(const VexaGrasp& grasp, unsigned char* out) {
    const kpxContactPatch* patches = grasp.getContactPatches();
    const kpxContactPatch empty;
    for (int k = 0; k < VexaGrasp::kPatchCount; ++k) {
        const kpxContactPatch& patch = patches ? patches[k] : empty;
        unsigned char* rec = out + kPatchesOffset + k * kPatchRecordSize;
        rec[0] = static_cast<unsigned char>(k);
        unsigned char flags = patch.getFlag(0) == 0 ? 6 : 2;
        if (patch.getFlag(1) == 0)
            flags += 8;
        rec[1] = flags;
        RZ_PutDouble(rec + 2, patch.getStiffness());
        RZ_PutDouble(rec + 10, patch.getDamping());
        RZ_PutDouble(rec + 18, patch.getDepth());
        for (int c = 0; c < 3; ++c) {
            RZ_PutDouble(rec + 26 + 8 * c, patch.getPoint()[c]);
            RZ_PutDouble(rec + 50 + 8 * c, patch.getNormal()[c]);
        }
    }
    out[1184] = 10;
    double largest = 0.0;
    for (int k = 0; k < VexaGrasp::kForceRecordCount; ++k)
        if (grasp.forceRecord(k).summary > largest)
            largest = grasp.forceRecord(k).summary;
    RZ_PutDouble(out + 1185, largest);
    RZ_PutDouble(out + 1193, 1.0);
    for (int k = 0; k < VexaGrasp::kForceRecordCount; ++k) {
        const VexaGrasp::ForceRecord& record = grasp.forceRecord(k);
        unsigned char* rec = out + kForcesOffset + k * kForceRecordSize;
        rec[0] = static_cast<unsigned char>(k);
        for (int e = 0; e < VexaGrasp::kEntriesPerRecord; ++e) {
            unsigned char* entry = rec + 1 + e * kForceEntrySize;
            if (e < record.entryCount) {
                const VexaGrasp::ForceEntry& fe = record.entries[e];
                unsigned char state = fe.flags[0] ? 3 : 1;
                if (fe.flags[1])
                    state += 4;
                entry[0] = state;
                for (int c = 0; c < 3; ++c) {
                    RZ_PutDouble(entry + 1 + 8 * c, fe.first[c]);
                    RZ_PutDouble(entry + 25 + 8 * c, fe.second[c]);
                }
                RZ_PutDouble(entry + 49, fe.force);
            } else {
                const double unused[7] = {-1.0, 0.0, 0.0, 1e8, 1e8, 1e8, 1e8};
                entry[0] = 0;
                for (int c = 0; c < 7; ++c)
                    RZ_PutDouble(entry + 1 + 8 * c, unused[c]);
            }
        }
    }
}

void RzidmConnection::sendGraspPacket() {
    auto* grasp = dynamic_cast<VexaGrasp*>(m_device);
    if (!grasp)
        return;
    buildGraspPacket(*grasp, m_packet);
    int len = kGraspPacketSize;
    check(control(RZ_MSG_WRITE, 2, m_packet, len));
}

}  // namespace Devices
