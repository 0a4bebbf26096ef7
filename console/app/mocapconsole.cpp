#include "app/mocapconsole.hpp"

#include "app/glwidget.hpp"
#include "app/plotdock.hpp"
#include "link/glovelink.hpp"
#include "link/portdiscovery.hpp"
#include "worker/mocapglovestate.hpp"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QStringListModel>
#include <QTabWidget>
#include <QTableWidget>
#include <QTime>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

int MoCapConsole::pollCounter_ = 1;

namespace {

template <class W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QPushButton* button(const char* name, const char* text) {
    return named(new QPushButton(QString::fromLatin1(text)), name);
}

QString degrees(double radians) {
    return QString::asprintf("%3.1f", radians * 180.0 / M_PI);
}

}  // namespace

MoCapConsole::MoCapConsole(const QStringList& extraPorts, QWidget* parent)
    : QMainWindow(parent), state_(MocapGloveState::instance()), extraPorts_(extraPorts) {
    setWindowTitle(QStringLiteral("MoCapConsole"));
    connectBox_.setWindowTitle(QStringLiteral("MoCapConsole"));
    connectBox_.setModal(true);
    hwOffsetEdit_.fill(-1);
    hwGainEdit_.fill(-1);

    chooseDirectory_ = [this] {
        QFileDialog dialog(this);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return QString();
        }
        return dialog.selectedFiles().first();
    };
    chooseSaveFile_ = [this](const QString& caption, const QString& start, const QString& filter) {
        return QFileDialog::getSaveFileName(this, caption, start, filter);
    };
    chooseOpenFile_ = [this](const QString& caption, const QString& start, const QString& filter) {
        return QFileDialog::getOpenFileName(this, caption, start, filter);
    };

    configureGloveTV_ = named(new QTabWidget, "configureGloveTV");
    auto* configureTab = named(new QWidget, "configureTab");
    auto* calibrationTab = named(new QWidget, "calibrationTab");
    configureGloveTV_->addTab(configureTab, QStringLiteral("Configure"));
    configureGloveTV_->addTab(calibrationTab, QStringLiteral("Calibration"));
    setCentralWidget(configureGloveTV_);
    buildConfigureTab(configureTab);
    buildCalibrationTab(calibrationTab);
    buildRecordingMenu();

    pollLoopPB_->hide();
    serialConfigureWiFiPB_->hide();
    writeWiFiSDCardPB_->hide();

    for (int i = 0; i < glove::kSensorIndexCount - 1; ++i) {
        findChild<QLabel*>(QStringLiteral("sensorName_%1").arg(i + 1))
            ->setText(QString::fromLatin1(glove::sensorShortCode(i)));
        valueLabels_[i]->setText(QString());
    }
    sensorNameTBL_->setColumnCount(2);
    sensorNameTBL_->setRowCount(glove::kSensorIndexCount - 1);
    for (int i = 0; i < glove::kSensorIndexCount - 1; ++i) {
        sensorNameTBL_->setItem(
            i, 0, new QTableWidgetItem(QString::fromLatin1(glove::sensorShortCode(i))));
        sensorNameTBL_->setItem(
            i, 1, new QTableWidgetItem(QString::fromLatin1(glove::sensorLongName(i))));
    }
    sensorNameTBL_->resizeColumnsToContents();
    currentValueLB_->clear();

    connectSignals();

    fileNameModel_ = new QStringListModel(this);
    fileListSDCardLV_->setModel(fileNameModel_);
    QObject::connect(fileListSDCardLV_, &QListView::doubleClicked, this,
                     &MoCapConsole::selectActiveFile);

    frameRateMultSB_->setValue(3);
    sdCardRateDividerSB_->setValue(1);
    usbRateDividerSB_->setValue(3);
    wifiRateDividerSB_->setValue(3);
    refreshDataRates();
    gloveStatusLB_->setText(QStringLiteral("Not Connected"));

    addDockWidget(Qt::RightDockWidgetArea, new PlotDock(state_, this));

    refreshTimer_ = new QTimer(this);
    QObject::connect(refreshTimer_, &QTimer::timeout, this, &MoCapConsole::refresh);
    refreshTimer_->start(kRefreshMs);
}

MoCapConsole::~MoCapConsole() = default;

// ---- layout ---------------------------------------------------------------------------------

void MoCapConsole::buildConfigureTab(QWidget* tab) {
    // Connect.
    auto* connectGroup = named(new QGroupBox(QStringLiteral("Connect")), "groupBox");
    serialPortListCB_ = named(new QComboBox, "serialPortListCB");
    serialPortListCB_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    serialPortListCB_->setMinimumContentsLength(22);
    serialPortScanPB_ = button("serialPortScanPB", "Scan Ports");
    serialConnectPB_ = button("serialConnectPB", "Connect");
    TCPPortSpinBox_ = named(new QSpinBox, "TCPPortSpinBox");
    TCPPortSpinBox_->setRange(500, 65535);
    // The port the state listens on, so the glove and the user see the same number.
    TCPPortSpinBox_->setValue(state_->tcpPort());
    tcpListenPB_ = button("tcpListenPB", "Listen");
    startStreamingPB_ = button("startStreamingPB", "Start \nStreaming");
    startStreamingPB_->setMinimumHeight(48);
    serialConfigureWiFiPB_ = button("serialConfigureWiFiPB", "Config WiFi");
    writeWiFiSDCardPB_ = button("writeWiFiSDCardPB", "Write to SDCARD");
    auto* connectGrid = new QGridLayout(connectGroup);
    connectGrid->addWidget(new QLabel(QStringLiteral("Serial port")), 0, 0);
    connectGrid->addWidget(serialPortListCB_, 0, 1, 1, 2);
    connectGrid->addWidget(serialPortScanPB_, 1, 1);
    connectGrid->addWidget(serialConnectPB_, 1, 2);
    connectGrid->addWidget(new QLabel(QStringLiteral("TCP port")), 2, 0);
    connectGrid->addWidget(TCPPortSpinBox_, 2, 1);
    connectGrid->addWidget(tcpListenPB_, 2, 2);
    connectGrid->addWidget(startStreamingPB_, 3, 1, 1, 2);
    connectGrid->addWidget(serialConfigureWiFiPB_, 4, 1);
    connectGrid->addWidget(writeWiFiSDCardPB_, 4, 2);

    // Status.
    auto* statusGroup = named(new QGroupBox(QStringLiteral("Status")), "gloveStatusGB");
    setGloveTimeSB_ = named(new QTimeEdit, "setGloveTimeSB");
    setGloveTimeSB_->setDisplayFormat(QStringLiteral("hh:mm:ss"));
    setGloveTimeSB_->setTime(QTime::currentTime());
    setGloveTimePB_ = button("setGloveTimePB", "Set Time");
    getGloveTimePB_ = button("getGloveTimePB", "Get Time");
    gloveTimeLB_ = named(new QLabel(QStringLiteral("00:00:00")), "gloveTimeLB");
    getGloveBatteryPB_ = button("getGloveBatteryPB", "Battery");
    gloveBatteryLB_ = named(new QLabel(QStringLiteral("Unknown")), "gloveBatteryLB");
    setLowPowerPB_ = button("setLowPowerPB", "Low Power Mode");
    rebootGlovePB_ = button("rebootGlovePB", "Reboot\nGlove");
    gloveStatusLB_ = named(new QLabel, "gloveStatusLB");
    gloveStatusLB_->setFrameShape(QFrame::StyledPanel);
    gloveStatusLB_->setAlignment(Qt::AlignCenter);
    auto* statusGrid = new QGridLayout(statusGroup);
    statusGrid->addWidget(setGloveTimeSB_, 0, 0);
    statusGrid->addWidget(setGloveTimePB_, 0, 1);
    statusGrid->addWidget(gloveTimeLB_, 1, 0);
    statusGrid->addWidget(getGloveTimePB_, 1, 1);
    statusGrid->addWidget(gloveBatteryLB_, 2, 0);
    statusGrid->addWidget(getGloveBatteryPB_, 2, 1);
    statusGrid->addWidget(setLowPowerPB_, 3, 0);
    statusGrid->addWidget(rebootGlovePB_, 3, 1);
    statusGrid->addWidget(gloveStatusLB_, 4, 0, 1, 2);

    // Data rates.
    auto* rateGroup =
        named(new QGroupBox(QStringLiteral("Data Rate Configuration")), "dataRateGroup");
    frameRateMultSB_ = named(new QSpinBox, "frameRateMultSB");
    frameRateMultSB_->setRange(1, 4);
    frameRateMultSB_->setValue(3);
    gloveFrameRateLB_ = named(new QLabel(QStringLiteral("30Hz")), "gloveFrameRateLB");
    auto enableButton = [](const char* name, const char* text) {
        QPushButton* b = button(name, text);
        b->setCheckable(true);
        b->setChecked(true);
        return b;
    };
    sdCardEnablePB_ = enableButton("sdCardEnablePB", "SD Card");
    wiFiEnablePB_ = enableButton("wiFiEnablePB", "WiFi");
    usbEnablePB_ = enableButton("usbEnablePB", "USB");
    auto divider = [](const char* name, int value) {
        auto* s = named(new QSpinBox, name);
        s->setRange(1, 255);
        s->setValue(value);
        return s;
    };
    sdCardRateDividerSB_ = divider("sdCardRateDividerSB", 1);
    wifiRateDividerSB_ = divider("wifiRateDividerSB", 3);
    usbRateDividerSB_ = divider("usbRateDividerSB", 3);
    sdCardDataRateLB_ = named(new QLabel(QStringLiteral("30Hz")), "sdCardDataRateLB");
    wifiDataRateLB_ = named(new QLabel(QStringLiteral("30Hz")), "wifiDataRateLB");
    usbDataRateLB_ = named(new QLabel(QStringLiteral("30Hz")), "usbDataRateLB");
    setDataRatePB_ = button("setDataRatePB", "Sync With Glove");
    nonIntegerJAMPB_ = button("nonIntegerJAMPB", "Enable Non Integer JAMSYNC");
    nonIntegerJAMPB_->setCheckable(true);
    nonIntegerJAMPB_->setChecked(false);
    auto* rateGrid = new QGridLayout(rateGroup);
    rateGrid->addWidget(new QLabel(QStringLiteral("Samples Per Frame")), 0, 0);
    rateGrid->addWidget(frameRateMultSB_, 0, 1);
    rateGrid->addWidget(new QLabel(QStringLiteral("Frame rate")), 1, 0);
    rateGrid->addWidget(gloveFrameRateLB_, 1, 1);
    rateGrid->addWidget(new QLabel(QStringLiteral("Output")), 2, 0);
    rateGrid->addWidget(new QLabel(QStringLiteral("Divider")), 2, 1);
    rateGrid->addWidget(new QLabel(QStringLiteral("Rate")), 2, 2);
    rateGrid->addWidget(sdCardEnablePB_, 3, 0);
    rateGrid->addWidget(sdCardRateDividerSB_, 3, 1);
    rateGrid->addWidget(sdCardDataRateLB_, 3, 2);
    rateGrid->addWidget(wiFiEnablePB_, 4, 0);
    rateGrid->addWidget(wifiRateDividerSB_, 4, 1);
    rateGrid->addWidget(wifiDataRateLB_, 4, 2);
    rateGrid->addWidget(usbEnablePB_, 5, 0);
    rateGrid->addWidget(usbRateDividerSB_, 5, 1);
    rateGrid->addWidget(usbDataRateLB_, 5, 2);
    rateGrid->addWidget(setDataRatePB_, 6, 0, 1, 3);
    rateGrid->addWidget(nonIntegerJAMPB_, 7, 0, 1, 3);

    // Glove data: one row per finger group, one name/value pair per joint.
    auto* dataGroup = named(new QGroupBox(QStringLiteral("Glove Data")), "gloveDataGroup");
    auto* dataGrid = new QGridLayout(dataGroup);
    dataGrid->setHorizontalSpacing(10);
    for (int i = 0; i < glove::kSensorIndexCount - 1; ++i) {
        auto* name = named(new QLabel, "");
        name->setObjectName(QStringLiteral("sensorName_%1").arg(i + 1));
        name->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* value = new QLabel;
        value->setObjectName(QStringLiteral("sensorValue_%1").arg(i + 1));
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setMinimumWidth(56);
        value->setFrameShape(QFrame::StyledPanel);
        valueLabels_[i] = value;
        const int row = i / 4;
        const int column = (i % 4) * 2;
        dataGrid->addWidget(name, row, column);
        dataGrid->addWidget(value, row, column + 1);
    }

    // SD card.
    auto* sdGroup = named(new QGroupBox(QStringLiteral("SDCard")), "SDCardFileGroup");
    fileListSDCardLV_ = named(new QListView, "fileListSDCardLV");
    fileListSDCardLV_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fileListPB_ = button("fileListPB", "Update");
    activeFileNameTE_ =
        named(new QPlainTextEdit(QStringLiteral("default.txt")), "activeFileNameTE");
    activeFileNameTE_->setFixedHeight(activeFileNameTE_->fontMetrics().height() * 2 + 6);
    activeFileNameTE_->setLineWrapMode(QPlainTextEdit::NoWrap);
    setActiveFilePB_ = button("setActiveFilePB", "Set");
    DownloadFilePB_ = button("DownloadFilePB", "Download Active File");
    auto* sdGrid = new QGridLayout(sdGroup);
    sdGrid->addWidget(fileListSDCardLV_, 0, 0, 3, 1);
    sdGrid->addWidget(fileListPB_, 0, 1);
    sdGrid->addWidget(new QLabel(QStringLiteral("Active file")), 3, 0, 1, 2);
    sdGrid->addWidget(activeFileNameTE_, 4, 0);
    sdGrid->addWidget(setActiveFilePB_, 4, 1);
    sdGrid->addWidget(DownloadFilePB_, 5, 0, 1, 2);

    // Log.
    gloveLogLB_ = named(new QPlainTextEdit, "gloveLogLB");
    gloveLogLB_->setReadOnly(true);
    gloveLogLB_->setMaximumBlockCount(5000);
    auto* logTitle = named(new QLabel(QStringLiteral("Log")), "logLabel");

    auto* left = new QVBoxLayout;
    left->addWidget(connectGroup);
    left->addWidget(statusGroup);
    left->addWidget(rateGroup);
    left->addStretch(1);
    auto* right = new QVBoxLayout;
    right->addWidget(dataGroup);
    right->addWidget(sdGroup);
    right->addWidget(logTitle);
    right->addWidget(gloveLogLB_, 1);
    auto* columns = new QHBoxLayout(tab);
    columns->addLayout(left);
    columns->addLayout(right, 1);
}

void MoCapConsole::connectSignals() {
    auto* state = state_;
    QObject::connect(serialPortListCB_, &QComboBox::currentIndexChanged, this,
                     &MoCapConsole::setSerialPort);
    QObject::connect(serialPortScanPB_, &QPushButton::pressed, this,
                     &MoCapConsole::setSerialPortList);
    QObject::connect(tcpListenPB_, &QPushButton::pressed, this, &MoCapConsole::tcpPortListen);
    QObject::connect(serialConnectPB_, &QPushButton::pressed, this,
                     &MoCapConsole::serialPortConnect);
    QObject::connect(&connectBox_, &QMessageBox::buttonClicked, this, &MoCapConsole::cancelConnect);
    QObject::connect(state, &MocapGloveState::serialConnectStatus, this,
                     &MoCapConsole::serialConnectStatus);
    QObject::connect(state, &MocapGloveState::gloveIsRightHand, glView_,
                     &GLWidget::newGloveConnected);
    QObject::connect(state, &MocapGloveState::socketConnectStatus, this,
                     &MoCapConsole::socketConnectStatus);
    QObject::connect(state, &MocapGloveState::commandStatus, this, &MoCapConsole::commandStatus);
    setSerialPortList();
    QObject::connect(TCPPortSpinBox_, &QSpinBox::valueChanged, this, &MoCapConsole::setTCPPort);
    QObject::connect(startStreamingPB_, &QPushButton::pressed, this, &MoCapConsole::startStreaming);
    QObject::connect(setGloveTimePB_, &QPushButton::pressed, this, &MoCapConsole::setTime);
    QObject::connect(getGloveTimePB_, &QPushButton::pressed, this, &MoCapConsole::getTime);
    QObject::connect(state, &MocapGloveState::gloveTime, this, &MoCapConsole::receiveGloveTime);
    QObject::connect(getGloveBatteryPB_, &QPushButton::pressed, this,
                     &MoCapConsole::getBatteryStatus);
    QObject::connect(state, &MocapGloveState::batteryStatus, this,
                     &MoCapConsole::receiveBatteryStatus);
    QObject::connect(setLowPowerPB_, &QPushButton::pressed, this, &MoCapConsole::setLowPowerMode);
    QObject::connect(rebootGlovePB_, &QPushButton::pressed, this, &MoCapConsole::rebootGlove);
    refreshControls();

    for (QRadioButton* joint : sensorGroupBox_->findChildren<QRadioButton*>()) {
        QObject::connect(joint, &QRadioButton::pressed, this,
                         &MoCapConsole::setCalibrationJointSelection);
    }
    QObject::connect(gainSlider_, &QSlider::valueChanged, this,
                     &MoCapConsole::setCalibrationGainChanged);
    QObject::connect(offsetSlider_, &QSlider::valueChanged, this,
                     &MoCapConsole::setCalibrationOffsetChanged);
    QObject::connect(saveCalibrationPB_, &QPushButton::pressed, this,
                     &MoCapConsole::saveCalibration);
    QObject::connect(loadCalibrationPB_, &QPushButton::pressed, this,
                     &MoCapConsole::loadCalibration);
    QObject::connect(flatHandPB_, &QPushButton::pressed, this, &MoCapConsole::flatHandCalibration);
    QObject::connect(okGesturePB_, &QPushButton::pressed, this,
                     &MoCapConsole::okGestureCalibration);
    QObject::connect(hardwareCalPB_, &QPushButton::pressed, this,
                     &MoCapConsole::hardwareCalPressed);
    QObject::connect(pollLoopPB_, &QPushButton::pressed, this, &MoCapConsole::pollLoop);
    QObject::connect(writeEEPROMPB_, &QPushButton::pressed, this, &MoCapConsole::writeEEPROM);
    QObject::connect(writeMDEEPROMPB_, &QPushButton::pressed, this,
                     &MoCapConsole::writeMetaDataEEPROM);

    QObject::connect(this, &MoCapConsole::connectGlove, state, &MocapGloveState::connect);
    QObject::connect(state, &MocapGloveState::gloveSerialNumber, this,
                     &MoCapConsole::gloveSerialNumber);
    QObject::connect(state, &MocapGloveState::gloveIsRightHand, this,
                     &MoCapConsole::gloveIsRightHand);
    QObject::connect(frameRateMultSB_, &QSpinBox::valueChanged, this,
                     &MoCapConsole::setFrameRateMultiplier);
    QObject::connect(sdCardEnablePB_, &QPushButton::toggled, this, &MoCapConsole::enbleSDCard);
    QObject::connect(usbEnablePB_, &QPushButton::toggled, this, &MoCapConsole::enableUSB);
    QObject::connect(wiFiEnablePB_, &QPushButton::toggled, this, &MoCapConsole::enableWiFi);
    QObject::connect(sdCardRateDividerSB_, &QSpinBox::valueChanged, this,
                     &MoCapConsole::setSDCardFrameRateDivider);
    QObject::connect(usbRateDividerSB_, &QSpinBox::valueChanged, this,
                     &MoCapConsole::setUSBFrameRateDivider);
    QObject::connect(wifiRateDividerSB_, &QSpinBox::valueChanged, this,
                     &MoCapConsole::setWiFiFrameRateDivider);
    QObject::connect(setDataRatePB_, &QPushButton::pressed, this, &MoCapConsole::setDataRate);
    QObject::connect(setActiveFilePB_, &QPushButton::pressed, this, &MoCapConsole::setActiveFile);
    QObject::connect(fileListPB_, &QPushButton::pressed, this, &MoCapConsole::getFileList);
    QObject::connect(DownloadFilePB_, &QPushButton::pressed, this,
                     &MoCapConsole::downloadActiveFile);
    QObject::connect(state, &MocapGloveState::fileList, this, &MoCapConsole::receiveFileList);
    QObject::connect(state, &MocapGloveState::activeFileData, this,
                     &MoCapConsole::receiveActiveFileData);
    QObject::connect(nonIntegerJAMPB_, &QPushButton::toggled, this,
                     &MoCapConsole::enableNonIntegerJamSync);
}

// ---- refresh --------------------------------------------------------------------------------

void MoCapConsole::setRefreshTimerActive(bool active) {
    if (active) {
        refreshTimer_->start(kRefreshMs);
    } else {
        refreshTimer_->stop();
    }
}

void MoCapConsole::refresh() {
    refreshControls();
    if (!state_->connected()) {
        if (state_->reconnecting()) {
            // Why the glove went away ("Glove connection lost"); the values stay on show.
            const QString message = state_->takeLinkMessage();
            if (!message.isEmpty()) {
                appendLog(message);
            }
            gloveStatusLB_->setText(QString::fromLatin1(kReconnectingText));
            return;
        }
        gloveStatusLB_->setText(QStringLiteral("Not Connected"));
        return;
    }
    const QString message = state_->takeLinkMessage();
    if (!message.isEmpty()) {
        appendLog(message);
    }
    if (!state_->streaming()) {
        if (!state_->hwCalMode()) {
            startStreamingPB_->setText(QStringLiteral("Start\nStreaming"));
            if (downloadPending_) {
                return;
            }
            // Nothing, battery, nothing, time, battery, nothing, time, ... A request still
            // waiting in the state's single slot is the user's: a poll must not replace it.
            const bool slotFree = state_->pendingCommand() == 0;
            if (pollCounter_ % 4 == 0) {
                if (slotFree) {
                    getTime();
                }
                pollCounter_ = 1;
            } else if (pollCounter_ % 2 == 0 && slotFree) {
                getBatteryStatus();
            }
            ++pollCounter_;
        } else {
            gloveStatusLB_->setText(QStringLiteral("HW Cal Mode"));
            double angles[glove::kSensorIndexCount];
            state_->copyAngleBlock(angles);
            for (int i = 0; i < glove::kSensorIndexCount - 1; ++i) {
                valueLabels_[i]->setText(degrees(angles[i]));
            }
        }
        return;
    }
    startStreamingPB_->setText(QStringLiteral("Stop\nStreaming"));
    double angles[glove::kSensorIndexCount];
    state_->copyAngleBlock(angles);
    for (int i = 0; i < glove::kSensorIndexCount - 1; ++i) {
        valueLabels_[i]->setText(degrees(angles[i]));
    }
}

void MoCapConsole::refreshControls() {
    const bool valid = selectedJoint_ >= 0 && selectedJoint_ < glove::kSensorIndexCount;
    if (state_->connected()) {
        serialConnectPB_->setText(QStringLiteral("Disconnect"));
        startStreamingPB_->setEnabled(!state_->lowPower());
        if (state_->streaming()) {
            for (QWidget* w : std::initializer_list<QWidget*>{
                     serialConfigureWiFiPB_, setGloveTimePB_, getGloveTimePB_, getGloveBatteryPB_,
                     setLowPowerPB_, serialPortListCB_, rebootGlovePB_, setDataRatePB_,
                     serialNumberEB_, frameRateMultSB_, sdCardEnablePB_, wiFiEnablePB_,
                     usbEnablePB_, sdCardRateDividerSB_, wifiRateDividerSB_, usbRateDividerSB_,
                     nonIntegerJAMPB_}) {
                w->setEnabled(false);
            }
            currentValueLB_->setText(
                QString::asprintf("%3f", state_->angleBlockValue(selectedJoint_)));
            gloveStatusLB_->setText(QStringLiteral("Streaming"));
        } else {
            for (QWidget* w : std::initializer_list<QWidget*>{setGloveTimePB_, getGloveTimePB_,
                                                              getGloveBatteryPB_, setLowPowerPB_,
                                                              rebootGlovePB_, hardwareCalPB_}) {
                w->setEnabled(true);
            }
            serialPortListCB_->setEnabled(false);
            if (state_->hwCalMode()) {
                okGesturePB_->setEnabled(false);
                flatHandPB_->setEnabled(false);
                for (QWidget* w : std::initializer_list<QWidget*>{
                         pollLoopPB_, writeEEPROMPB_, writeMDEEPROMPB_, serialNumberEB_}) {
                    w->setEnabled(true);
                }
                const int raw = valid ? static_cast<int>(state_->rawValue(selectedJoint_) >> 4) : 0;
                currentValueLB_->setText(QString::asprintf("%3d", raw));
            } else {
                for (QWidget* w :
                     std::initializer_list<QWidget*>{loadCalibrationPB_, saveCalibrationPB_,
                                                     okGesturePB_, flatHandPB_, pollLoopPB_}) {
                    w->setEnabled(true);
                }
                for (QWidget* w : std::initializer_list<QWidget*>{writeEEPROMPB_, writeMDEEPROMPB_,
                                                                  serialNumberEB_}) {
                    w->setEnabled(false);
                }
                currentValueLB_->setText(
                    QString::asprintf("%3f", state_->angleBlockValue(selectedJoint_)));
            }
            for (QWidget* w : std::initializer_list<QWidget*>{
                     frameRateMultSB_, sdCardEnablePB_, wiFiEnablePB_, usbEnablePB_,
                     sdCardRateDividerSB_, wifiRateDividerSB_, usbRateDividerSB_,
                     nonIntegerJAMPB_}) {
                w->setEnabled(true);
            }
        }
        if (!state_->useSerial()) {
            tcpListenPB_->setText(QStringLiteral("Disconnect"));
            tcpListenPB_->setEnabled(true);
            serialConnectPB_->setEnabled(false);
        } else {
            serialConfigureWiFiPB_->setEnabled(true);
            tcpListenPB_->setEnabled(false);
            serialConnectPB_->setEnabled(true);
        }
        if (state_->linkError() != 0) {
            // Taken here so the refresh that follows does not log it a second time.
            const QString message = state_->takeLinkMessage();
            if (!message.isEmpty()) {
                appendLog(message);
            }
        } else {
            gloveStatusLB_->setText(QStringLiteral("Connected"));
        }
        return;
    }
    for (QWidget* w :
         std::initializer_list<QWidget*>{serialPortListCB_, tcpListenPB_, serialConnectPB_}) {
        w->setEnabled(true);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{
             serialConfigureWiFiPB_, startStreamingPB_,  setGloveTimePB_,   getGloveTimePB_,
             getGloveBatteryPB_,     setLowPowerPB_,     rebootGlovePB_,    setDataRatePB_,
             hardwareCalPB_,         writeEEPROMPB_,     writeMDEEPROMPB_,  serialNumberEB_,
             frameRateMultSB_,       sdCardEnablePB_,    wiFiEnablePB_,     usbEnablePB_,
             sdCardRateDividerSB_,   wifiRateDividerSB_, usbRateDividerSB_, nonIntegerJAMPB_}) {
        w->setEnabled(false);
    }
    if (state_->reconnecting()) {
        // Waiting for the glove to come back: the button of the line in use stops the wait.
        const bool serial = state_->useSerial();
        serialPortListCB_->setEnabled(false);
        serialConnectPB_->setText(serial ? QStringLiteral("Disconnect")
                                         : QStringLiteral("Connect"));
        serialConnectPB_->setEnabled(serial);
        tcpListenPB_->setText(serial ? QStringLiteral("Listen") : QStringLiteral("Disconnect"));
        tcpListenPB_->setEnabled(!serial);
        gloveStatusLB_->setText(QString::fromLatin1(kReconnectingText));
        return;
    }
    gloveStatusLB_->setText(QStringLiteral("Disconnected"));
    serialConnectPB_->setText(QStringLiteral("Connect"));
}

void MoCapConsole::refreshDataRates() {
    const double full = frameRateMultiplier_ * baseRate_;
    sdCardDataRateLB_->setText(QString::number(full / sdDivider_, 'g', 6) + QStringLiteral("Hz"));
    // USB and WiFi carry at most 30 Hz; the SD card takes every frame.
    const int minimum = static_cast<int>(full / 30.0 + 0.5);
    auto limit = [&](int& divider, QSpinBox* box, QLabel* label) {
        double rate = full / divider;
        if (rate > 30.0) {
            divider = minimum;
            rate = 30.0;
        }
        const QSignalBlocker quiet(box);
        box->setMinimum(minimum);
        box->setValue(divider);
        label->setText(QString::number(rate, 'g', 6) + QStringLiteral("Hz"));
    };
    limit(usbDivider_, usbRateDividerSB_, usbDataRateLB_);
    limit(wifiDivider_, wifiRateDividerSB_, wifiDataRateLB_);

    MocapGloveState::StreamConfig config = state_->streamConfig();
    config.frameRateMultiplier = frameRateMultiplier_;
    config.sdDivider = sdDivider_;
    config.usbDivider = usbDivider_;
    config.wifiDivider = wifiDivider_;
    state_->setStreamConfig(config);
    if (state_->connected() && !state_->streaming()) {
        setDataRatePB_->setEnabled(true);
    }
}

void MoCapConsole::appendLog(const QString& text) {
    QString line = text;
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) {
        line.chop(1);
    }
    gloveLogLB_->appendPlainText(line);
    gloveLogLB_->verticalScrollBar()->setValue(gloveLogLB_->verticalScrollBar()->maximum());
}

// ---- connection -----------------------------------------------------------------------------

void MoCapConsole::setSerialPortList() {
    serialPortListCB_->clear();
    portNames_.clear();
    QStringList ports;
    QStringList descriptions;
    listSerialPorts(ports, descriptions);
    // Paths given on the command line first: the user asked for them.
    for (const QString& extra : extraPorts_) {
        if (!ports.contains(extra)) {
            ports.prepend(extra);
            descriptions.prepend(QStringLiteral("(command line)"));
        }
    }
    const QSignalBlocker quiet(serialPortListCB_);
    for (int i = 0; i < ports.size(); ++i) {
        portNames_.push_back(ports[i].toStdString());
        serialPortListCB_->addItem(ports[i] + QLatin1Char(' ') + descriptions.value(i));
    }
    currentPort_ = portNames_.empty() ? -1 : 0;
    serialPortListCB_->setCurrentIndex(currentPort_);
}

void MoCapConsole::setSerialPort(int index) {
    currentPort_ = index;
}

void MoCapConsole::setTCPPort(int port) {
    state_->setTcpPort(port);
}

void MoCapConsole::serialPortConnect() {
    if (!state_->connected() && !state_->reconnecting()) {
        if (currentPort_ < 0 || currentPort_ >= static_cast<int>(portNames_.size())) {
            return;  // no port to open
        }
        // The whole path: a cut one could name another device.
        state_->setPortName(portNames_[currentPort_]);
        state_->setUseSerial(true);
        state_->connect();
        connectBox_.setText(QStringLiteral("Connecting..."));
        connectBox_.setStandardButtons(QMessageBox::Cancel);
        connectBox_.show();
        return;
    }
    if (state_->streaming()) {
        state_->stopStreaming();
    }
    state_->disconnect();
}

void MoCapConsole::tcpPortListen() {
    if (!state_->connected() && !state_->reconnecting()) {
        state_->setUseSerial(false);
        emit connectGlove();
        tcpListenPB_->setText(QStringLiteral("Listening"));
        return;
    }
    if (state_->streaming()) {
        state_->stopStreaming();
    }
    state_->disconnect();
    tcpListenPB_->setText(QStringLiteral("Listen"));
}

void MoCapConsole::cancelConnect(QAbstractButton*) {
    connectBox_.hide();
}

void MoCapConsole::serialConnectStatus(bool ok) {
    connectBox_.hide();
    if (ok) {
        nonIntegerJAMPB_->setChecked(false);
        serialConnectPB_->setText(QStringLiteral("Disconnect"));
        activeFileName_ = "default.txt";
        return;
    }
    const QString message = state_->takeLinkMessage();
    if (!message.isEmpty()) {
        appendLog(message);
    } else {
        appendLog(QStringLiteral("Connect failed\n"));
    }
}

void MoCapConsole::socketConnectStatus(QString* text) {
    if (*text == QLatin1String("Glove Connected")) {
        activeFileName_ = "default.txt";
    }
    appendLog(*text);
    delete text;
}

void MoCapConsole::commandStatus(QString* text) {
    appendLog(*text);
    delete text;
}

// ---- glove commands ---------------------------------------------------------------------------

void MoCapConsole::startStreaming() {
    if (!state_->connected()) {
        return;
    }
    if (state_->streaming()) {
        state_->stopStreaming();
    } else {
        state_->startStreaming();
    }
}

void MoCapConsole::getBatteryStatus() {
    state_->getBatteryStatus();
}

void MoCapConsole::receiveBatteryStatus(int level) {
    static const char* const kLevels[] = {"Low", "Medium", "High"};
    gloveBatteryLB_->setText(level >= 0 && level <= 2 ? QString::fromLatin1(kLevels[level])
                                                      : QStringLiteral("Reading.."));
}

void MoCapConsole::setTime() {
    if (state_->connected()) {
        const QTime t = setGloveTimeSB_->time();
        state_->setTime(t.hour(), t.minute(), t.second());
    }
}

void MoCapConsole::getTime() {
    if (state_->connected()) {
        state_->getTime();
    }
}

void MoCapConsole::receiveGloveTime(void* fields) {
    const int* t = static_cast<const int*>(fields);
    gloveTimeLB_->setText(QString::asprintf("%2.2d:%2.2d:%2.2d", t[0], t[1], t[2]));
}

void MoCapConsole::setLowPowerMode() {
    state_->setLowPowerMode();
    if (state_->connected()) {
        // The toggle will leave the mode the glove is in now.
        setLowPowerPB_->setText(state_->lowPower() ? QStringLiteral("Enable Low Power")
                                                   : QStringLiteral("Disable Low Power"));
    }
}

void MoCapConsole::rebootGlove() {
    if (!state_->connected()) {
        return;
    }
    // Request 5 reboots and closes on the worker, so it never overlaps a tick.
    state_->reboot();
    serialConnectPB_->setText(QStringLiteral("Connect"));
}

void MoCapConsole::gloveSerialNumber(int number) {
    serialNumberEB_->setValue(number);
}

void MoCapConsole::gloveIsRightHand(bool right) {
    rightHandRB_->setEnabled(false);
    leftHandRB_->setEnabled(false);
    (right ? rightHandRB_ : leftHandRB_)->setChecked(true);
}

void MoCapConsole::writeMetaDataEEPROM() {
    state_->setSerialAndHand(serialNumberEB_->value(), rightHandRB_->isChecked());
}

// ---- data rates -----------------------------------------------------------------------------

void MoCapConsole::setFrameRateMultiplier(int value) {
    frameRateMultiplier_ = value;
    refreshDataRates();
}

void MoCapConsole::setSDCardFrameRateDivider(int value) {
    sdDivider_ = value;
    refreshDataRates();
}

void MoCapConsole::setUSBFrameRateDivider(int value) {
    usbDivider_ = value;
    refreshDataRates();
}

void MoCapConsole::setWiFiFrameRateDivider(int value) {
    wifiDivider_ = value;
    refreshDataRates();
}

void MoCapConsole::enbleSDCard(bool on) {
    MocapGloveState::StreamConfig config = state_->streamConfig();
    config.sdEnable = on;
    state_->setStreamConfig(config);
    if (state_->connected() && !state_->streaming()) {
        setDataRatePB_->setEnabled(true);
    }
}

void MoCapConsole::enableUSB(bool on) {
    MocapGloveState::StreamConfig config = state_->streamConfig();
    config.usbEnable = on;
    state_->setStreamConfig(config);
    if (state_->connected() && !state_->streaming()) {
        setDataRatePB_->setEnabled(true);
    }
}

void MoCapConsole::enableWiFi(bool on) {
    MocapGloveState::StreamConfig config = state_->streamConfig();
    config.wifiEnable = on;
    state_->setStreamConfig(config);
    if (state_->connected() && !state_->streaming()) {
        setDataRatePB_->setEnabled(true);
    }
}

void MoCapConsole::setDataRate() {
    state_->syncStreamConfig();
    setDataRatePB_->setEnabled(false);
}

void MoCapConsole::enableNonIntegerJamSync(bool on) {
    state_->toggleJAMSync(on);
}

// ---- SD card --------------------------------------------------------------------------------

void MoCapConsole::getFileList() {
    state_->requestFileList();
}

void MoCapConsole::receiveFileList(void* text) {
    const std::string reply = *static_cast<const std::string*>(text);
    if (reply.size() <= 2) {
        return;
    }
    fileNames_.clear();
    // Lines end with CR LF; text after the last line feed is not a complete name.
    std::size_t start = 0;
    for (std::size_t lf = reply.find('\n'); lf != std::string::npos; lf = reply.find('\n', start)) {
        const std::size_t end = lf > start ? lf - 1 : start;
        fileNames_.append(
            QString::fromLocal8Bit(reply.data() + start, static_cast<qsizetype>(end - start)));
        start = lf + 1;
    }
    fileNameModel_->setStringList(fileNames_);
}

void MoCapConsole::selectActiveFile(QModelIndex index) {
    activeFileNameTE_->setPlainText(index.data().toString());
    setActiveFile();
}

void MoCapConsole::setActiveFile() {
    const QString name = activeFileNameTE_->toPlainText();
    if (name.isEmpty()) {
        return;
    }
    if (state_->connected()) {
        activeFileName_ = name.toStdString();
    }
    state_->setActiveFile(name.toStdString());
}

void MoCapConsole::downloadActiveFile() {
    downloadPending_ = true;
    state_->downloadActiveFile();
}

void MoCapConsole::receiveActiveFileData(void* data) {
    const std::vector<uint8_t> bytes = *static_cast<const std::vector<uint8_t>*>(data);
    downloadPending_ = false;
    if (bytes.empty()) {
        appendLog(QStringLiteral("Active file download: No Data Received"));
        return;
    }
    QString folder = chooseDirectory_();
    if (folder.isEmpty()) {
        folder = QDir::homePath();
    }
    // The name comes from the glove side: it must stay a plain file inside the folder.
    if (!glove::isSafeFileName(activeFileName_)) {
        appendLog(QStringLiteral("Active file download: refusing to save under the name \"%1\"")
                      .arg(QString::fromStdString(activeFileName_)));
        return;
    }
    const QString path = QDir(folder).filePath(QString::fromStdString(activeFileName_));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size())) {
        appendLog(QStringLiteral("Active file download: cannot write %1").arg(path));
        return;
    }
    file.close();
    appendLog(QString::asprintf("Download complete %d bytes saved to %s",
                                static_cast<int>(bytes.size()), path.toLocal8Bit().constData()));
}
