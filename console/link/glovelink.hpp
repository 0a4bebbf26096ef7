#pragma once
// GloveLink: the wireless glove's command set over a serial port or an accepted TCP socket,
// the streaming frame and poll decoders, and the raw-to-angle conversion.
//
// Thread: everything runs on the thread that owns the link (the glove worker), except the
// read-outs marked "any thread", which are atomics or short locked copies. Calibration
// changes from another thread must be serialised with the owner's use by the caller.

#include "link/glovetables.hpp"
#include "link/serialport.hpp"

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

// Pauses and time-outs that pace the glove's slow command interpreter. The defaults are the
// glove's; unit tests shorten them.
struct GloveTiming {
    using ms = std::chrono::milliseconds;
    ms serialWritePause{250};    // after every serial write of an exchange
    ms splitFirstPause{500};     // between the command letters and the argument
    ms splitSecondPause{200};    // serial: after the argument, before the echo
    ms splitReplyPause{2000};    // before the reply of a split exchange is read
    ms tcpEchoTimeout{30000};    // TCP echo wait; also the per-wait step of the frame reader
    ms tcpReplyTimeout{3000};    // TCP NUL phase: stop quietly after this much silence
    ms readGiveUp{30000};        // frame reader and download echo: overall limit
    ms downloadIdleLimit{6000};  // a download ends after this long without data
    ms downloadEmptyPause{50};   // after an empty download chunk
    ms downloadStartPause{50};   // after the download command's echo
    ms hardwareWritePause{200};  // after "CA"
    ms tcpDownloadWait{3000};    // TCP download: wait for data per chunk
};

class GloveLink : public QTcpServer {
    Q_OBJECT

  public:
    static constexpr uint32_t kBaudRate = 115200;
    static constexpr int kReplySize = 1024;
    static constexpr int kFileListSize = 2048;
    static constexpr int kMessageSize = 256;
    static constexpr int kDownloadChunk = 10240;
    static constexpr int kTerminatorLength = 15;  // carriage returns ending a download

    explicit GloveLink(QObject* parent = nullptr, GloveTiming timing = GloveTiming());
    ~GloveLink() override;

    // Transport.
    bool openSerial(const QString& portName);
    // Listens on every local address unless told otherwise.
    bool listen(quint16 port, const QHostAddress& address = QHostAddress::Any);
    bool acceptConnection();
    void close();

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
    // Reads and decodes one frame; true when it was decoded (separators in place).
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
    void computeAngles();
    void zeroOffsetsFromRaw();
    void copyRaw(uint32_t out[glove::kSensorIndexCount]) const;   // any thread
    void copyAngles(double out[glove::kSensorIndexCount]) const;  // any thread, row-major
    double angle(int row, int column) const;                      // any thread
    uint32_t rawValue(int idx) const;                             // any thread
    void setRawValue(int idx, uint32_t value);
    glove::SensorCalibration calibration(int idx) const;
    void setCalibration(int idx, glove::SensorCalibration value);
    void setCalibrationOffset(int idx, double offset);
    void setCalibrationGain(int idx, double gain);
    const glove::CalibrationTable& calibrationTable() const { return calibration_; }
    bool saveSoftwareCalibration(const QString& path) const;
    bool loadSoftwareCalibration(const QString& path);
    bool autoZeroEnabled() const { return autoZeroEnabled_; }
    void setAutoZeroEnabled(bool on) { autoZeroEnabled_ = on; }
    bool autoZeroPending() const { return autoZeroPending_; }

    // Status log: the last message (at most 255 characters) and the debug stream.
    void log(const char* text);
    void log(const QString& text);
    void clearLog();              // any thread
    QString lastMessage() const;  // any thread
    // Debug output on standard error; off unless asked for (or MANUVIA_DEBUG=1 at start-up).
    static void setDebugLog(bool on);
    static bool debugLog();

    // Read-outs.
    bool streaming() const { return streaming_.load(std::memory_order_relaxed); }     // any thread
    bool lowPower() const { return lowPower_.load(std::memory_order_relaxed); }       // any thread
    int errorState() const { return errorState_.load(std::memory_order_relaxed); }    // any thread
    bool connected() const { return connected_.load(std::memory_order_relaxed); }     // any thread
    int sensorCount() const { return sensorCount_.load(std::memory_order_relaxed); }  // any thread
    bool rightHand() const { return rightHand_.load(std::memory_order_relaxed); }     // any thread
    void setSensorCount(int count) { sensorCount_.store(count, std::memory_order_relaxed); }
    void setRightHand(bool right) { rightHand_.store(right, std::memory_order_relaxed); }
    int transport() const { return transport_; }
    bool isSerial() const { return transport_ == 1; }
    void frameTime(int out[5]) const;  // any thread

    const GloveTiming& timing() const { return timing_; }
    void setTiming(const GloveTiming& timing) { timing_ = timing; }

  signals:
    // Running byte count of a download in progress (emitted on the link's thread).
    void downloadProgress(qint64 total);

  private:
    int exchange(const char* cmd, int length, bool echo, bool nul, bool flood, char* reply,
                 int capacity);
    int splitExchange(const char* cmd, int length, bool echo, bool nul, char* reply, int capacity);
    int serialEchoPhase(int length, char* reply, int capacity);
    int serialNulPhase(int count, char* reply, int capacity);
    int tcpEchoPhase(int count, int length, bool flood, char* reply, int capacity);
    int tcpNulPhase(int count, char* reply, int capacity);
    void tcpDrainReply();
    bool writeBytes(const char* bytes, int length);
    bool readExact(char* out, int length, std::chrono::milliseconds perWait);
    void readFailed();
    static bool frameSeparatorsInPlace(const char* frame);
    void keepFrameStart(const char* frame);
    void pause(std::chrono::milliseconds duration);
    void logFrameTime();
    void logFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    std::unique_ptr<QTcpSocket> socket_;
    std::unique_ptr<SerialPort> serialPort_;
    int transport_ = 0;  // 1 = serial, anything else TCP
    std::atomic<bool> connected_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> rightHand_{true};
    std::atomic<bool> lowPower_{false};
    std::atomic<int> sensorCount_{0};
    bool autoZeroEnabled_ = false;
    bool autoZeroPending_ = true;
    std::atomic<int> errorState_{0};
    std::array<std::atomic<int>, 5> frameTime_{};
    std::array<std::atomic<uint32_t>, glove::kSensorIndexCount> raw_;
    std::array<std::atomic<double>, glove::kSensorIndexCount> angles_;
    glove::CalibrationTable calibration_;
    // Bytes of the next frame already read while getting back in step.
    std::array<char, glove::kFrameSize> frameCarry_{};
    int frameCarryLength_ = 0;

    mutable std::mutex messageMutex_;
    char lastMessage_[kMessageSize] = {};
    bool messageIsFrameTime_ = false;  // formatted on demand: the frame path stays cheap

    GloveTiming timing_;
};
