#pragma once
// MocapGloveState: the one object that owns the glove connection. It lives on a worker
// thread of its own; a 30 ms timer there drives a small command machine. Other threads only
// post requests (a command number, sometimes with arguments) and read results; the next tick
// carries the request out through GloveLink and reports back with queued signals. While
// streaming, each tick reads one frame and poses the hand models.
//
// Locks, always taken in this order and never the other way round:
//   lock_            the command machine; held for a whole tick (seconds for a slow command)
//                    and briefly by every request.
//   handModelMutex_  the glove emulator, both hand models and angleBlock; held only while
//                    they are fed or read, never across glove I/O, so a draw never waits for
//                    a download and never sees a half-updated hand.
//   valuesMutex_     short copies of portName, streamConfig and the hardware block.
// Flags the window polls are atomics.

#include "link/glovelink.hpp"
#include "link/glovetables.hpp"

#include <QEvent>
#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QThread;
class QTimerEvent;
class kpxHandMaster;
class kpxHumanHand;
class kpxTrackerEmulator;
class kpxVexaGloveEmulator;

class MocapGloveState : public QObject {
    Q_OBJECT

  public:
    // Streaming parameters sent by command 10, read and written whole.
    struct StreamConfig {
        int frameRateMultiplier = 3;
        bool sdEnable = true;
        bool wifiEnable = true;
        bool usbEnable = true;
        int sdDivider = 1;
        int wifiDivider = 3;
        int usbDivider = 3;
    };

    using HardwareBlock = std::array<uint8_t, glove::kSensorIndexCount>;

    static constexpr int kTickMs = 30;
    static constexpr int kPortNameSize = 255;

    // Command codes of the machine.
    enum Command {
        None = 0,
        Connect = 1,
        Disconnect = 2,
        StartStreaming = 3,
        StopStreaming = 4,
        Reboot = 5,
        BatteryStatus = 6,
        ToggleLowPower = 7,
        SetTime = 8,
        GetTime = 9,
        SyncStreamConfig = 10,
        SetActiveFile = 11,
        FileList = 12,
        Download = 13,
        EnterHardwareCalibration = 14,
        LeaveHardwareCalibration = 15,
        SyncHardwareCalibration = 16,
        PollLoop = 17,
        CommitEEPROM = 18,
        WriteSerialAndHand = 19,
    };

    // The process-wide instance, created with its worker thread on first use and destroyed
    // at program exit. When a Qt application exists, the worker is stopped as it quits.
    static MocapGloveState* instance();

    ~MocapGloveState() override;
    MocapGloveState(const MocapGloveState&) = delete;
    MocapGloveState& operator=(const MocapGloveState&) = delete;

    // Requests of the window (each only while connected; see the slots for the rest).
    void startStreaming();                                    // request 3
    void stopStreaming();                                     // request 4
    void setActiveFile(const std::string& name);              // request 11 (then 10)
    void requestFileList();                                   // request 12
    void downloadActiveFile();                                // request 13
    void setSerialAndHand(int serialNumber, bool rightHand);  // request 19

    StreamConfig streamConfig() const;
    void setStreamConfig(const StreamConfig& config);

    int tcpPort() const { return tcpPort_.load(); }
    void setTcpPort(int port) { tcpPort_.store(port); }
    std::string portName() const;
    // At most 254 characters are kept.
    void setPortName(const std::string& name);
    bool useSerial() const { return useSerial_.load(); }
    void setUseSerial(bool serial) { useSerial_.store(serial); }

    bool connected() const { return connected_.load(); }
    // The glove dropped out and is being waited for: serial retries opening the same port
    // name every reconnectInterval, TCP keeps listening for its next connection. Ends when it
    // is back (configured as a first connection, then its streaming and rates restored) or
    // on a disconnect request. Not connected meanwhile; values and calibration are kept.
    bool reconnecting() const { return reconnecting_.load(); }
    bool streaming() const { return streaming_.load(); }
    bool hwCalMode() const { return hwCalMode_.load(); }
    bool handUpdateSuspended() const { return handUpdateSuspended_.load(); }
    bool rightHand() const { return rightHand_.load(); }
    int serialNumber() const { return serialNumber_.load(); }

    // Hardware calibration block by sensor index; the window edits it, then syncHWCal().
    void hardwareCalibration(HardwareBlock& out_offsets, HardwareBlock& out_gains) const;
    void setHardwareCalibration(const HardwareBlock& offsets, const HardwareBlock& gains);
    // The .hwcal file: 48 bytes, offsets then gains. Saving fails when the file cannot be
    // written. Loading fails when it cannot be opened; a short file changes only the bytes it
    // holds. Loading does not send the block.
    bool saveHardwareCalibration(const QString& path) const;
    bool loadHardwareCalibration(const QString& path);

    // The last joint angles (row-major 6 x 4, radians).
    void copyAngleBlock(double out[glove::kSensorIndexCount]) const;
    double angleBlockValue(int index) const;

    // The protocol object itself, for the worker's tests; the window uses the read-outs below.
    GloveLink* gloveLink() const { return link_; }
    // What the window reads of the link (any thread, as the link's own read-outs).
    bool lowPower() const { return link_->lowPower(); }
    int linkError() const { return link_->errorState(); }
    uint32_t rawValue(int idx) const { return link_->rawValue(idx); }
    glove::SensorCalibration calibration(int idx) const { return link_->calibration(idx); }
    // The link's last status message, cleared when there was one.
    QString takeLinkMessage() const {
        const QString message = link_->lastMessage();
        if (!message.isEmpty()) {
            link_->clearLog();
        }
        return message;
    }
    // Runs f with the command machine locked, on the calling thread: for calibration-table
    // edits from the window. f must not talk to the glove (the link's socket belongs to the
    // worker thread) nor call back into the state (its lock is not recursive).
    void withLinkLocked(const std::function<void(GloveLink&)>& f);

    // Hand models. Feed, pose, read or draw them only while holding handModelMutex(), and
    // never take lock-protected paths while holding it.
    kpxHumanHand* currentHandModel() const { return currentHand_.load(); }
    kpxHumanHand* rightHandModel() const { return rightHandModel_; }
    kpxHumanHand* leftHandModel() const { return leftHandModel_; }
    kpxVexaGloveEmulator* gloveEmulator() const { return gloveEmulator_; }
    QMutex& handModelMutex() const { return handModelMutex_; }

    // The pending request (0 = none).
    int pendingCommand() const { return commandCode(command_.load()); }

    // Listening address for TCP (any address unless set; tests use the loopback).
    void setListenAddress(const QHostAddress& address);
    // The port actually listened on after a TCP connect request (useful with tcpPort 0), 0
    // when not listening.
    int listeningPort() const { return listeningPort_.load(); }

    // Sends the reboot command to the glove at once (between two ticks, the caller waits),
    // for a window that reboots and then requests a disconnect. Only while connected.
    void sendRebootNow();

    // Test hooks. While paused, timer ticks do nothing; runTickNow() runs exactly one tick on
    // the worker thread and returns when it is done.
    void setTicksPaused(bool paused) { ticksPaused_.store(paused); }
    bool ticksPaused() const { return ticksPaused_.load(); }
    void runTickNow();
    // Replaces the link's pacing (pauses and time-outs), under the lock.
    void setLinkTiming(const GloveTiming& timing);

    // One streamed frame as read by a tick, for recorders: the glove's time fields, raw values
    // and joint angles (radians), sensor order.
    struct FrameSample {
        int time[5];
        uint32_t raw[glove::kSensorIndexCount];
        double angles[glove::kSensorIndexCount];
    };
    // Called on the worker thread for every frame a tick reads, and with null when the
    // connection drops. Set or cleared from any thread; it must not call into the state.
    void setFrameObserver(std::function<void(const FrameSample*)> observer);

    // Stops the worker: timer killed, glove closed, thread quit and waited for. Idempotent;
    // call it from any thread but the worker's. Requests after it are not carried out.
    void shutdown();
    bool workerRunning() const;

  signals:
    void serialConnectStatus(bool ok);
    // Heap text for the one receiver, which deletes it.
    void socketConnectStatus(QString* text);
    void commandStatus(QString* text);
    void terminateThread();
    void batteryStatus(int level);
    // Points to the 5 ints of the last time read; valid until the next time request.
    void gloveTime(void* fields);
    void gloveSerialNumber(int number);
    void gloveIsRightHand(bool right);
    // Points to the std::string of the last file list.
    void fileList(void* text);
    // Points to the std::vector<uint8_t> of the last download.
    void activeFileData(void* data);

  public slots:
    void onThreadStarted();
    void onThreadFinished();
    void connect();
    void disconnect();
    void connectTCP();
    void reboot();
    void getBatteryStatus();
    void setLowPowerMode();
    void setTime(int hours, int minutes, int seconds);
    void getTime();
    void okGestureCalibration();
    void toggleJAMSync(bool on);
    void syncStreamConfig();
    void setHWCalState(bool on);
    void syncHWCal();
    void startPollLoop();
    void writeEEPROM();

  protected:
    void timerEvent(QTimerEvent* event) override;
    bool event(QEvent* e) override;

  private:
    MocapGloveState();

    // To request n: lock, command := n, unlock.
    void request(int code);
    void tick();
    // Runs one command with lock_ held; returns the next command.
    int runCommand_locked(int code);
    void configureAfterConnect_locked();
    // The rest of a serial connect once the port is open; returns the next command.
    int serialConnected_locked(bool again);
    // What a returning glove gets after the first-connection set-up; returns the next command.
    int restoreAfterReconnect_locked();
    void connectionLost_locked();
    int retrySerial_locked(bool now);
    void updateHand_locked();
    double okGestureCost_locked(int x, int y);
    void emitText(void (MocapGloveState::*signal)(QString*), const char* text);
    void teardownOnWorker();
    void awaitTeardown();
    // Runs job on the worker thread and waits for it; nothing once the worker is stopped.
    void runOnWorker(const std::function<void()>& job);

    // Fields in the order of the state's data model; *_ marks members.
    std::atomic<bool> useSerial_{false};
    std::atomic<int> tcpPort_{5003};
    char portName_[kPortNameSize] = {};  // guarded by valuesMutex_
    std::atomic<bool> connected_{false};
    std::atomic<bool> reconnecting_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> handUpdateSuspended_{false};
    std::atomic<bool> hwCalMode_{false};
    GloveLink* link_ = nullptr;  // owned; lives on the worker thread
    kpxVexaGloveEmulator* gloveEmulator_ = nullptr;
    kpxHumanHand* rightHandModel_ = nullptr;
    kpxHumanHand* leftHandModel_ = nullptr;
    std::atomic<kpxHumanHand*> currentHand_{nullptr};
    double angleBlock_[glove::kSensorIndexCount] = {};  // guarded by handModelMutex_
    std::vector<uint8_t> activeFileData_;               // worker; read after the signal
    std::atomic<bool> rightHand_{true};
    std::atomic<int> serialNumber_{0};
    StreamConfig streamConfig_;     // guarded by valuesMutex_
    std::string activeFileName_;    // guarded by lock_
    std::string fileListText_;      // worker; read after the signal
    HardwareBlock hwCalOffsets_{};  // guarded by valuesMutex_
    HardwareBlock hwCalGains_{};    // guarded by valuesMutex_
    QThread* thread_ = nullptr;     // owned
    int timerId_ = 0;               // worker thread only
    mutable QMutex lock_;
    // The command slot: code in the low 32 bits, a store count above it. A tick replaces its
    // command by the follow-up only when nothing was stored meanwhile, even the same code
    // again (a slider moved while the previous block was still being written).
    std::atomic<std::uint64_t> command_{0};
    static int commandCode(std::uint64_t slot) { return static_cast<int>(slot & 0xffffffffu); }
    void storeCommand(int code);
    int setTimeHMS_[3] = {0, 0, 0};  // guarded by lock_
    // Restored when a lost glove returns: whether it streamed, and the rates last sent to it
    // (none: the first-connection defaults stand). Guarded by lock_.
    bool resumeStreaming_ = false;
    std::optional<StreamConfig> sentConfig_;
    std::chrono::steady_clock::time_point nextRetry_{};  // guarded by lock_
    int gloveTime_[5] = {0, 0, 0, 0, 0};                 // worker; read after the signal

    kpxTrackerEmulator* trackerEmulator_ = nullptr;  // owned, used through the masters
    kpxHandMaster* rightMaster_ = nullptr;
    kpxHandMaster* leftMaster_ = nullptr;
    mutable QMutex handModelMutex_;
    mutable QMutex valuesMutex_;
    QHostAddress listenAddress_{QHostAddress::Any};  // guarded by valuesMutex_
    std::atomic<int> listeningPort_{0};
    std::atomic<bool> ticksPaused_{false};
    std::atomic<bool> stopped_{false};
    QMutex shutdownMutex_;
    // Start and end of the worker, met on a standard mutex (see awaitTeardown).
    std::mutex teardownMutex_;
    std::condition_variable teardownCv_;
    bool workerStarted_ = false;  // guarded by teardownMutex_
    bool teardownDone_ = false;   // guarded by teardownMutex_
    static const QEvent::Type kRunJobsEvent;
    std::mutex jobsMutex_;
    std::deque<std::function<void()>> jobs_;  // guarded by jobsMutex_
    void notifyFrame_locked(bool read);
    std::mutex observerMutex_;
    std::function<void(const FrameSample*)> frameObserver_;  // guarded by observerMutex_
};
