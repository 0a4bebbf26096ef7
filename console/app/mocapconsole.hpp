#pragma once
// MoCapConsole: palmdesk's only window. It never talks to the glove itself: every action is a
// request to MocapGloveState, and results come back as queued signals or are read by a 500 ms
// refresh. Everything here runs on the GUI thread.

#include "link/glovetables.hpp"

#include <QMainWindow>
#include <QMessageBox>
#include <QModelIndex>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class GLWidget;
class MocapGloveState;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QStringListModel;
class QTabWidget;
class QTableWidget;
class QTimeEdit;
class QTimer;
class QListView;
class QAction;
class TakeRecording;

class MoCapConsole : public QMainWindow {
    Q_OBJECT

  public:
    static constexpr int kRefreshMs = 500;
    // Status while a glove that dropped out is waited for.
    static constexpr const char* kReconnectingText = "Connection lost - reconnecting...";

    // extraPorts: device paths offered in the port list besides the system's serial ports
    // (pseudo-terminals are not in the system's list).
    explicit MoCapConsole(const QStringList& extraPorts = {}, QWidget* parent = nullptr);
    ~MoCapConsole() override;

    // Choosers for the download folder and the calibration files. Each returns an empty
    // string when cancelled. Defaults are the standard dialogs; tests replace them.
    using DirectoryChooser = std::function<QString()>;
    using FileChooser =
        std::function<QString(const QString& caption, const QString& start, const QString& filter)>;
    void setDirectoryChooser(DirectoryChooser chooser) { chooseDirectory_ = std::move(chooser); }
    void setSaveFileChooser(FileChooser chooser) { chooseSaveFile_ = std::move(chooser); }
    void setOpenFileChooser(FileChooser chooser) { chooseOpenFile_ = std::move(chooser); }

    // The 500 ms refresh: once by hand, and the timer on or off (tests step it themselves).
    void refresh();
    void setRefreshTimerActive(bool active);

    // Window state, read by tests and the program's start-up.
    int currentPort() const { return currentPort_; }
    const std::vector<std::string>& portNames() const { return portNames_; }
    int selectedJoint() const { return selectedJoint_; }
    bool downloadPending() const { return downloadPending_; }
    static int pollCounter() { return pollCounter_; }
    static void setPollCounter(int value) { pollCounter_ = value; }
    int sdDivider() const { return sdDivider_; }
    int usbDivider() const { return usbDivider_; }
    int wifiDivider() const { return wifiDivider_; }
    int frameRateMultiplier() const { return frameRateMultiplier_; }
    double hwOffsetEdit(int idx) const { return hwOffsetEdit_[idx]; }
    double hwGainEdit(int idx) const { return hwGainEdit_[idx]; }
    const QStringList& fileNames() const { return fileNames_; }
    QMessageBox* connectBox() { return &connectBox_; }
    GLWidget* handView() const { return glView_; }
    // The name a download is saved under: the one the glove was last told.
    const std::string& activeFileName() const { return activeFileName_; }

    // Calibration scale helpers of the page are in calibrationscales.hpp.

  signals:
    void connectGlove();

  public slots:
    void setSerialPortList();
    void setSerialPort(int index);
    void setTCPPort(int port);
    void serialPortConnect();
    void tcpPortListen();
    void cancelConnect(QAbstractButton* button);
    void serialConnectStatus(bool ok);
    void socketConnectStatus(QString* text);
    void commandStatus(QString* text);
    void startStreaming();
    void setTime();
    void getTime();
    void receiveGloveTime(void* fields);
    void getBatteryStatus();
    void receiveBatteryStatus(int level);
    void setLowPowerMode();
    void rebootGlove();
    void gloveSerialNumber(int number);
    void gloveIsRightHand(bool right);
    void writeMetaDataEEPROM();
    void setFrameRateMultiplier(int value);
    void setSDCardFrameRateDivider(int value);
    void setUSBFrameRateDivider(int value);
    void setWiFiFrameRateDivider(int value);
    void enbleSDCard(bool on);
    void enableUSB(bool on);
    void enableWiFi(bool on);
    void setDataRate();
    void enableNonIntegerJamSync(bool on);
    void getFileList();
    void receiveFileList(void* text);
    void selectActiveFile(QModelIndex index);
    void setActiveFile();
    void downloadActiveFile();
    void receiveActiveFileData(void* data);

    // Calibration page.
    void setCalibrationJointSelection();
    void setCalibrationGainChanged(int value);
    void setCalibrationOffsetChanged(int value);
    void gloveSyncHWCal();
    void flatHandCalibration();
    void okGestureCalibration();
    void hardwareCalPressed();
    void pollLoop();
    void writeEEPROM();
    void saveCalibration();
    void loadCalibration();

    // Take recording (mocapconsole_recording.cpp).
    void startRecording();
    void stopRecording();
    bool recording() const { return recording_ != nullptr; }

  private:
    void buildRecordingMenu();
    std::shared_ptr<TakeRecording> recording_;  // shared: TakeRecording is incomplete here
    QString recordingPath_;
    QAction* recordAction_ = nullptr;
    QAction* stopRecordAction_ = nullptr;

    void buildConfigureTab(QWidget* tab);
    void buildCalibrationTab(QWidget* tab);
    void connectSignals();
    void refreshControls();
    void refreshDataRates();
    void appendLog(const QString& text);
    void setJointSliders(int joint, bool notify);
    void updateCalibrationLabels();
    void selectJoint(int joint, bool notify);

    MocapGloveState* state_;
    QMessageBox connectBox_;
    bool downloadPending_ = false;
    std::vector<std::string> portNames_;
    QStringList extraPorts_;
    int currentPort_ = -1;
    int selectedJoint_ = 0;
    std::array<double, glove::kSensorIndexCount> hwOffsetEdit_;
    std::array<double, glove::kSensorIndexCount> hwGainEdit_;
    double baseRate_ = 30.0;
    int frameRateMultiplier_ = 3;
    int sdDivider_ = 1;
    int usbDivider_ = 3;
    int wifiDivider_ = 3;
    QStringList fileNames_;
    QStringListModel* fileNameModel_ = nullptr;
    std::array<QLabel*, glove::kSensorIndexCount - 1> valueLabels_{};
    static int pollCounter_;
    std::string activeFileName_ = "default.txt";
    QTimer* refreshTimer_ = nullptr;

    DirectoryChooser chooseDirectory_;
    FileChooser chooseSaveFile_;
    FileChooser chooseOpenFile_;

    // Configure tab.
    QTabWidget* configureGloveTV_ = nullptr;
    QComboBox* serialPortListCB_ = nullptr;
    QPushButton* serialPortScanPB_ = nullptr;
    QPushButton* serialConnectPB_ = nullptr;
    QSpinBox* TCPPortSpinBox_ = nullptr;
    QPushButton* tcpListenPB_ = nullptr;
    QPushButton* startStreamingPB_ = nullptr;
    QPushButton* serialConfigureWiFiPB_ = nullptr;
    QPushButton* writeWiFiSDCardPB_ = nullptr;
    QTimeEdit* setGloveTimeSB_ = nullptr;
    QPushButton* setGloveTimePB_ = nullptr;
    QPushButton* getGloveTimePB_ = nullptr;
    QLabel* gloveTimeLB_ = nullptr;
    QPushButton* getGloveBatteryPB_ = nullptr;
    QLabel* gloveBatteryLB_ = nullptr;
    QPushButton* setLowPowerPB_ = nullptr;
    QPushButton* rebootGlovePB_ = nullptr;
    QLabel* gloveStatusLB_ = nullptr;
    QSpinBox* frameRateMultSB_ = nullptr;
    QLabel* gloveFrameRateLB_ = nullptr;
    QPushButton* sdCardEnablePB_ = nullptr;
    QPushButton* wiFiEnablePB_ = nullptr;
    QPushButton* usbEnablePB_ = nullptr;
    QSpinBox* sdCardRateDividerSB_ = nullptr;
    QSpinBox* wifiRateDividerSB_ = nullptr;
    QSpinBox* usbRateDividerSB_ = nullptr;
    QLabel* sdCardDataRateLB_ = nullptr;
    QLabel* wifiDataRateLB_ = nullptr;
    QLabel* usbDataRateLB_ = nullptr;
    QPushButton* setDataRatePB_ = nullptr;
    QPushButton* nonIntegerJAMPB_ = nullptr;
    QListView* fileListSDCardLV_ = nullptr;
    QPushButton* fileListPB_ = nullptr;
    QPlainTextEdit* activeFileNameTE_ = nullptr;
    QPushButton* setActiveFilePB_ = nullptr;
    QPushButton* DownloadFilePB_ = nullptr;
    QPlainTextEdit* gloveLogLB_ = nullptr;

    // Calibration tab.
    QGroupBox* sensorGroupBox_ = nullptr;
    QTableWidget* sensorNameTBL_ = nullptr;
    QLabel* selectedJointName_ = nullptr;
    QLabel* currentValueLB_ = nullptr;
    QSlider* gainSlider_ = nullptr;
    QSlider* offsetSlider_ = nullptr;
    QLabel* gainValueLB_ = nullptr;
    QLabel* offsetValueLB_ = nullptr;
    QPushButton* saveCalibrationPB_ = nullptr;
    QPushButton* loadCalibrationPB_ = nullptr;
    QPushButton* flatHandPB_ = nullptr;
    QPushButton* okGesturePB_ = nullptr;
    QPushButton* hardwareCalPB_ = nullptr;
    QPushButton* pollLoopPB_ = nullptr;
    QPushButton* writeEEPROMPB_ = nullptr;
    QSpinBox* serialNumberEB_ = nullptr;
    QRadioButton* rightHandRB_ = nullptr;
    QRadioButton* leftHandRB_ = nullptr;
    QPushButton* writeMDEEPROMPB_ = nullptr;
    GLWidget* glView_ = nullptr;
};
