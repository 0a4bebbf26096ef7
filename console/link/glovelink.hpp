#pragma once
// GloveLink: the wireless glove's command set over a serial port or an accepted TCP socket
// (a GloveTransport), with the glove's state kept by the protocol's Decoder.
//
// Thread: everything runs on the thread that owns the link (the glove worker), except the
// read-outs marked "any thread", which are atomics or short locked copies. Calibration
// changes from another thread must be serialised with the owner's use by the caller.

#include "link/gloveprotocol.hpp"
#include "link/glovetables.hpp"
#include "link/glovetransport.hpp"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class GloveLink : public QTcpServer {
    Q_OBJECT

  public:
    static constexpr uint32_t kBaudRate = 115200;
    static constexpr int kReplySize = glove::kReplySize;
    static constexpr int kFileListSize = 2048;
    static constexpr int kMessageSize = 256;
    static constexpr int kDownloadChunk = 10240;
    static constexpr int kTerminatorLength = glove::kTerminatorLength;

    explicit GloveLink(QObject* parent = nullptr, GloveTiming timing = GloveTiming());
    ~GloveLink() override;

    // Transport. A failed open logs its cause unless reportFailure is false (a retry loop
    // that would otherwise repeat the same message every second).
    bool openSerial(const QString& portName, bool reportFailure = true);
    // Listens on every local address unless told otherwise.
    bool listen(quint16 port, const QHostAddress& address = QHostAddress::Any);
    bool acceptConnection();
    // Talks over a line opened elsewhere (a test's or a fuzzer's own transport).
    void attachTransport(std::unique_ptr<GloveTransport> transport);
    void close();
    // True when the line the link holds has gone (serial port hung up or unplugged, TCP
    // connection closed by the glove). Checked by every exchange and read; callers check it
    // after a failure to tell a vanished glove from a silent one.
    bool connectionLost() const;
    // Lets go of a lost line but keeps listening, so the returning glove's connection can be
    // accepted; raw values, angles and calibration stay as they were.
    void dropConnection();

    // Commands; each is one exchange (or a few) with the glove.
    int querySensorCount();
    int readSerialNumber();
    void writeSerialNumber(int number);
    void reboot();
    bool queryRightHand();
    float batteryVoltage();
    int batteryLevel();
    void setTime(int hours, int minutes, int seconds);
    // out[0..3] from the glove (or out[0..4] from the last frame while streaming); fields the
    // reply does not hold, and out[4] when asking the glove, are left as they were.
    void getTime(int out[5]);
    // The file-list reply without its two-byte echo, at the start of buffer; returns its
    // byte count. capacity is normally kFileListSize.
    int getFileList(char* buffer, int capacity);
    int setJamSync(bool on);
    void configureOutputs(bool wifiOn, int wifiDivider, bool usbOn, int usbDivider, bool sdOn,
                          int sdDivider);
    void setFrameRateMultiplier(int multiplier);
    void applyDefaultStreamConfig();
    // header may be null ("DEFAULT HEADER" is sent then).
    void setActiveFile(const char* fileName, const char* header);
    void downloadActiveFile(std::vector<uint8_t>& out);
    void startStreaming();
    void stopStreaming();
    // Reads and decodes one frame; true when it was decoded (in step: separators in place and
    // the frame's last byte a NUL).
    bool readFrame();
    void pollSample();
    void setLowPower(bool on);
    // True when the reply held the whole block (out is left alone otherwise).
    bool readHardwareCalibration(uint8_t out[glove::kHardwareBlockReadSize]);
    void writeHardwareCalibration(const uint8_t block[glove::kHardwareBlockWriteSize]);
    void commitEEPROM();

    // Decoders, also used on bytes from elsewhere (tests, fuzzing, benchmarks).
    // Takes the 61 frame bytes; false (raw untouched) when the separators are not in place.
    bool decodeFrame(const char* frame);
    // Takes the whole poll reply, echo first, and its length.
    void decodePollReply(const char* reply, int count);

    // Angles and calibration.
    void computeAngles() { decoder_.computeAngles(); }
    void zeroOffsetsFromRaw() { decoder_.zeroOffsetsFromRaw(); }
    void copyRaw(uint32_t out[glove::kSensorIndexCount]) const { decoder_.copyRaw(out); }
    // Any thread, row-major.
    void copyAngles(double out[glove::kSensorIndexCount]) const { decoder_.copyAngles(out); }
    double angle(int row, int column) const { return decoder_.angle(row, column); }
    uint32_t rawValue(int idx) const { return decoder_.rawValue(idx); }
    void setRawValue(int idx, uint32_t value) { decoder_.setRawValue(idx, value); }
    glove::SensorCalibration calibration(int idx) const { return decoder_.calibration(idx); }
    void setCalibration(int idx, glove::SensorCalibration value) {
        decoder_.setCalibration(idx, value);
    }
    void setCalibrationOffset(int idx, double offset) {
        decoder_.setCalibrationOffset(idx, offset);
    }
    void setCalibrationGain(int idx, double gain) { decoder_.setCalibrationGain(idx, gain); }
    const glove::CalibrationTable& calibrationTable() const { return decoder_.calibrationTable(); }
    bool saveSoftwareCalibration(const QString& path) const;
    bool loadSoftwareCalibration(const QString& path);
    bool autoZeroEnabled() const { return decoder_.autoZeroEnabled(); }
    void setAutoZeroEnabled(bool on) { decoder_.setAutoZeroEnabled(on); }
    bool autoZeroPending() const { return decoder_.autoZeroPending(); }
    // The glove's state: raw values, angles, frame time and calibration (read-outs any thread).
    const glove::Decoder& decoder() const { return decoder_; }

    // Status log: the last message (at most 255 characters) and the debug stream.
    void log(const char* text);
    void log(const QString& text);
    void clearLog();              // any thread
    QString lastMessage() const;  // any thread
    // Debug output on standard error; off unless asked for (or MANUVIA_DEBUG=1 at start-up).
    static void setDebugLog(bool on);
    static bool debugLog();

    // Read-outs.
    bool streaming() const { return streaming_.load(std::memory_order_relaxed); }   // any thread
    bool lowPower() const { return lowPower_.load(std::memory_order_relaxed); }     // any thread
    int errorState() const { return errorState_.load(std::memory_order_relaxed); }  // any thread
    bool connected() const { return connected_.load(std::memory_order_relaxed); }   // any thread
    int sensorCount() const { return decoder_.sensorCount(); }                      // any thread
    bool rightHand() const { return decoder_.rightHand(); }                         // any thread
    void setSensorCount(int count) { decoder_.setSensorCount(count); }
    void setRightHand(bool right) { decoder_.setRightHand(right); }
    // 1 after openSerial, 0 after listen (kept through close).
    int transport() const { return serialChosen_ ? 1 : 0; }
    bool isSerial() const { return serialChosen_; }
    void frameTime(int out[5]) const { decoder_.frameTime(out); }  // any thread

    const GloveTiming& timing() const { return timing_; }
    void setTiming(const GloveTiming& timing) { timing_ = timing; }

  signals:
    // Running byte count of a download in progress (emitted on the link's thread).
    void downloadProgress(qint64 total);

  private:
    int exchange(const char* cmd, int length, bool echo, bool nul, bool flood, char* reply,
                 int capacity);
    int splitExchange(const char* cmd, int length, bool echo, bool nul, char* reply, int capacity);
    bool readExact(char* out, int length, std::chrono::milliseconds perWait);
    void readFailed();
    // True when the line is gone; logs that once per connection and marks the error state.
    bool noteLost();
    void keepFrameStart(const char* frame);
    void pause(std::chrono::milliseconds duration);
    void logFrameTime();
    void logFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    std::unique_ptr<GloveTransport> transport_;
    bool serialChosen_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> lowPower_{false};
    std::atomic<int> errorState_{0};
    bool lossReported_ = false;  // owner thread
    glove::Decoder decoder_;
    // Bytes of the next frame already read while getting back in step.
    std::array<char, glove::kFrameSize> frameCarry_{};
    int frameCarryLength_ = 0;

    mutable std::mutex messageMutex_;
    char lastMessage_[kMessageSize] = {};
    bool messageIsFrameTime_ = false;  // formatted on demand: the frame path stays cheap

    GloveTiming timing_;
};
