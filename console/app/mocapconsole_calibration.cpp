// The calibration page of MoCapConsole: joint buttons over the hand picture, the gain and
// offset sliders in software and hardware mode, flat hand, OK gesture, EEPROM and the
// calibration files. Changes of the software calibration table are made with the state's
// command machine locked, so they never overlap the worker's angle computation.

#include "app/calibrationscales.hpp"
#include "app/glwidget.hpp"
#include "app/handpicture.hpp"
#include "app/mocapconsole.hpp"
#include "link/glovelink.hpp"
#include "worker/mocapglovestate.hpp"

#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

using namespace palmdesk;

namespace {

constexpr int kPictureMargin = 8;
constexpr int kJointButtonSize = 18;

QString softwareCalibrationFolder() {
    return QDir::homePath() + QStringLiteral("/Software Calibration");
}

QString hardwareCalibrationFolder() {
    return QDir::homePath() + QStringLiteral("/Hardware Calibration");
}

const QString kSwcalFilter = QStringLiteral("Mocap Glove Software Calibration Files (*.swcal)");
const QString kHwcalFilter = QStringLiteral("Mocap Glove Hardware Calibration Files (*.hwcal)");

QPushButton* pageButton(const char* name, const char* text) {
    auto* b = new QPushButton(QString::fromLatin1(text));
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

}  // namespace

void MoCapConsole::buildCalibrationTab(QWidget* tab) {
    // Joint buttons over the hand picture, placed by hand: the picture fixes the positions.
    sensorGroupBox_ = new QGroupBox(QStringLiteral("Joints"));
    sensorGroupBox_->setObjectName(QStringLiteral("sensorGroupBox"));
    auto* picture = new QLabel(sensorGroupBox_);
    picture->setObjectName(QStringLiteral("handPictureLB"));
    picture->setPixmap(QPixmap(QStringLiteral(":/palmdesk/images/hand.png")));
    const int top = sensorGroupBox_->fontMetrics().height() + kPictureMargin;
    picture->setGeometry(kPictureMargin, top, kHandPictureWidth, kHandPictureHeight);
    for (const JointSpot& spot : kJointSpots) {
        auto* joint = new QRadioButton(sensorGroupBox_);
        joint->setObjectName(QString::fromLatin1(spot.code));
        const int idx = glove::sensorIndexFromCode(spot.code);
        joint->setToolTip(QString::fromLatin1(glove::sensorLongName(idx)));
        joint->setGeometry(kPictureMargin + spot.x - kJointButtonSize / 2,
                           top + spot.y - kJointButtonSize / 2, kJointButtonSize, kJointButtonSize);
    }
    sensorGroupBox_->setFixedSize(kHandPictureWidth + 2 * kPictureMargin,
                                  kHandPictureHeight + top + kPictureMargin);

    selectedJointName_ = new QLabel(QString::fromLatin1(glove::sensorLongName(selectedJoint_)));
    selectedJointName_->setObjectName(QStringLiteral("selectedJointName"));
    QFont bold = selectedJointName_->font();
    bold.setBold(true);
    selectedJointName_->setFont(bold);
    auto slider = [](const char* name) {
        auto* s = new QSlider(Qt::Horizontal);
        s->setObjectName(QString::fromLatin1(name));
        s->setRange(0, kSliderMax);
        return s;
    };
    gainSlider_ = slider("gainSlider");
    offsetSlider_ = slider("offsetSlider");
    gainValueLB_ = new QLabel;
    gainValueLB_->setObjectName(QStringLiteral("gainValueLB"));
    gainValueLB_->setMinimumWidth(60);
    offsetValueLB_ = new QLabel;
    offsetValueLB_->setObjectName(QStringLiteral("offsetValueLB"));
    offsetValueLB_->setMinimumWidth(60);
    currentValueLB_ = new QLabel;
    currentValueLB_->setObjectName(QStringLiteral("currentValueLB"));
    currentValueLB_->setFrameShape(QFrame::StyledPanel);
    currentValueLB_->setMinimumWidth(90);
    auto* sliderGrid = new QGridLayout;
    sliderGrid->addWidget(selectedJointName_, 0, 0, 1, 3);
    sliderGrid->addWidget(new QLabel(QStringLiteral("Gain")), 1, 0);
    sliderGrid->addWidget(gainSlider_, 1, 1);
    sliderGrid->addWidget(gainValueLB_, 1, 2);
    sliderGrid->addWidget(new QLabel(QStringLiteral("Offset")), 2, 0);
    sliderGrid->addWidget(offsetSlider_, 2, 1);
    sliderGrid->addWidget(offsetValueLB_, 2, 2);
    sliderGrid->addWidget(new QLabel(QStringLiteral("Value")), 3, 0);
    sliderGrid->addWidget(currentValueLB_, 3, 1, 1, 2, Qt::AlignLeft);

    sensorNameTBL_ = new QTableWidget;
    sensorNameTBL_->setObjectName(QStringLiteral("sensorNameTBL"));
    sensorNameTBL_->setColumnCount(2);
    sensorNameTBL_->setHorizontalHeaderLabels({QStringLiteral("Code"), QStringLiteral("Joint")});
    sensorNameTBL_->horizontalHeader()->setStretchLastSection(true);
    sensorNameTBL_->verticalHeader()->setVisible(false);
    sensorNameTBL_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    sensorNameTBL_->setSelectionMode(QAbstractItemView::NoSelection);
    sensorNameTBL_->setMinimumWidth(230);

    saveCalibrationPB_ = pageButton("saveCalibrationPB", "Save\nCalibration");
    loadCalibrationPB_ = pageButton("loadCalibrationPB", "Load\nCalibration");
    flatHandPB_ = pageButton("flatHandPB", "Flat Hand");
    okGesturePB_ = pageButton("okGesturePB", "OK Gesture");
    hardwareCalPB_ = pageButton("hardwareCalPB", "Start\nHardware\nCalibration");
    pollLoopPB_ = pageButton("pollLoopPB", "Poll Loop");
    writeEEPROMPB_ = pageButton("writeEEPROMPB", "Write\nEEPROM");
    auto* buttons = new QGridLayout;
    buttons->addWidget(flatHandPB_, 0, 0);
    buttons->addWidget(okGesturePB_, 0, 1);
    buttons->addWidget(saveCalibrationPB_, 1, 0);
    buttons->addWidget(loadCalibrationPB_, 1, 1);
    buttons->addWidget(hardwareCalPB_, 2, 0);
    buttons->addWidget(writeEEPROMPB_, 2, 1);
    buttons->addWidget(pollLoopPB_, 3, 0);

    auto* info = new QGroupBox(QStringLiteral("Glove Info"));
    info->setObjectName(QStringLiteral("gloveInfoGroup"));
    serialNumberEB_ = new QSpinBox;
    serialNumberEB_->setObjectName(QStringLiteral("serialNumberEB"));
    serialNumberEB_->setRange(0, 10000);
    rightHandRB_ = new QRadioButton(QStringLiteral("Right Hand"));
    rightHandRB_->setObjectName(QStringLiteral("rightHandRB"));
    rightHandRB_->setChecked(true);
    leftHandRB_ = new QRadioButton(QStringLiteral("Left Hand"));
    leftHandRB_->setObjectName(QStringLiteral("leftHandRB"));
    writeMDEEPROMPB_ = pageButton("writeMDEEPROMPB", "Write to\nEEPROM");
    auto* infoGrid = new QGridLayout(info);
    infoGrid->addWidget(new QLabel(QStringLiteral("S/N")), 0, 0);
    infoGrid->addWidget(serialNumberEB_, 0, 1);
    infoGrid->addWidget(rightHandRB_, 1, 0);
    infoGrid->addWidget(leftHandRB_, 1, 1);
    infoGrid->addWidget(writeMDEEPROMPB_, 2, 0, 1, 2);

    glView_ = new GLWidget;
    glView_->setObjectName(QStringLiteral("GLView"));

    auto* left = new QVBoxLayout;
    left->addWidget(sensorGroupBox_);
    left->addLayout(sliderGrid);
    left->addStretch(1);
    auto* middle = new QVBoxLayout;
    middle->addWidget(sensorNameTBL_, 1);
    middle->addLayout(buttons);
    middle->addWidget(info);
    auto* columns = new QHBoxLayout(tab);
    columns->addLayout(left);
    columns->addLayout(middle);
    columns->addWidget(glView_, 1);
}

// ---- joints and sliders ---------------------------------------------------------------------

void MoCapConsole::setCalibrationJointSelection() {
    auto* pressed = qobject_cast<QAbstractButton*>(sender());
    if (pressed == nullptr) {
        return;
    }
    const QByteArray code = pressed->objectName().toLatin1();
    selectJoint(glove::sensorIndexFromCode(code.constData()), true);
}

void MoCapConsole::selectJoint(int joint, bool notify) {
    selectedJoint_ = joint;
    if (joint < 0 || joint >= glove::kSensorIndexCount) {
        return;
    }
    if (state_->hwCalMode()) {
        MocapGloveState::HardwareBlock offsets, gains;
        state_->hardwareCalibration(offsets, gains);
        hwOffsetEdit_[joint] = fromHW(offsets[joint]);
        hwGainEdit_[joint] = fromHW(gains[joint]);
        selectedJointName_->setText(QString::fromLatin1(glove::sensorLongName(joint)) +
                                    QLatin1Char(' ') + QString::asprintf("%2d", joint));
    } else {
        selectedJointName_->setText(QString::fromLatin1(glove::sensorLongName(joint)));
    }
    setJointSliders(joint, notify);
    updateCalibrationLabels();
}

// Puts the sliders on the joint's values. With notify the change handlers run as for a
// user's move (writing the positions back); without, the values stay exactly as they are.
void MoCapConsole::setJointSliders(int joint, bool notify) {
    if (joint < 0 || joint >= glove::kSensorIndexCount) {
        return;
    }
    int gainPosition;
    int offsetPosition;
    if (state_->hwCalMode()) {
        MocapGloveState::HardwareBlock offsets, gains;
        state_->hardwareCalibration(offsets, gains);
        gainPosition = fromHW(gains[joint]);
        offsetPosition = fromHW(offsets[joint]);
    } else {
        const glove::SensorCalibration c = state_->calibration(joint);
        gainPosition = sliderFromGain(c.gain);
        offsetPosition = sliderFromOffset(c.offset);
    }
    const QSignalBlocker quietGain(notify ? nullptr : gainSlider_);
    const QSignalBlocker quietOffset(notify ? nullptr : offsetSlider_);
    gainSlider_->setValue(gainPosition);
    offsetSlider_->setValue(offsetPosition);
}

void MoCapConsole::updateCalibrationLabels() {
    if (state_->hwCalMode()) {
        gainValueLB_->setText(QString::asprintf("%3d", hardwareLabelValue(gainSlider_->value())));
        offsetValueLB_->setText(
            QString::asprintf("%3d", hardwareLabelValue(offsetSlider_->value())));
        return;
    }
    if (selectedJoint_ < 0 || selectedJoint_ >= glove::kSensorIndexCount) {
        return;
    }
    const glove::SensorCalibration c = state_->calibration(selectedJoint_);
    gainValueLB_->setText(QString::asprintf("%5.4f", c.gain));
    offsetValueLB_->setText(QString::asprintf("%3d", static_cast<int>(c.offset)));
}

void MoCapConsole::setCalibrationGainChanged(int value) {
    const int joint = selectedJoint_;
    if (joint < 0 || joint >= glove::kSensorIndexCount) {
        return;  // no joint chosen: nothing to change
    }
    if (state_->hwCalMode()) {
        hwGainEdit_[joint] = value;
        gainValueLB_->setText(QString::asprintf("%3d", hardwareLabelValue(value)));
        gloveSyncHWCal();
        return;
    }
    const double gain = gainFromSlider(value);
    state_->withLinkLocked([&](GloveLink& link) { link.setCalibrationGain(joint, gain); });
    gainValueLB_->setText(QString::asprintf("%5.4f", gain));
}

void MoCapConsole::setCalibrationOffsetChanged(int value) {
    const int joint = selectedJoint_;
    if (joint < 0 || joint >= glove::kSensorIndexCount) {
        return;
    }
    if (state_->hwCalMode()) {
        hwOffsetEdit_[joint] = value;
        offsetValueLB_->setText(QString::asprintf("%3d", hardwareLabelValue(value)));
        gloveSyncHWCal();
        return;
    }
    const double offset = offsetFromSlider(value);
    state_->withLinkLocked([&](GloveLink& link) { link.setCalibrationOffset(joint, offset); });
    offsetValueLB_->setText(QString::asprintf("%3d", static_cast<int>(offset)));
}

void MoCapConsole::gloveSyncHWCal() {
    MocapGloveState::HardwareBlock offsets, gains;
    state_->hardwareCalibration(offsets, gains);
    for (int i = 0; i < glove::kSensorIndexCount; ++i) {
        if (hwOffsetEdit_[i] >= 0) {
            offsets[i] = static_cast<uint8_t>(toHW(static_cast<int>(hwOffsetEdit_[i])));
        }
        if (hwGainEdit_[i] >= 0) {
            gains[i] = static_cast<uint8_t>(toHW(static_cast<int>(hwGainEdit_[i])));
        }
    }
    state_->setHardwareCalibration(offsets, gains);
    state_->syncHWCal();
}

// ---- buttons --------------------------------------------------------------------------------

void MoCapConsole::flatHandCalibration() {
    state_->withLinkLocked([](GloveLink& link) { link.zeroOffsetsFromRaw(); });
    updateCalibrationLabels();
}

void MoCapConsole::okGestureCalibration() {
    state_->okGestureCalibration();
    updateCalibrationLabels();
}

void MoCapConsole::hardwareCalPressed() {
    if (state_->hwCalMode()) {
        state_->setHWCalState(false);
        hardwareCalPB_->setText(QStringLiteral("Start\nHardware\nCalibration"));
        return;
    }
    state_->setHWCalState(true);
    hardwareCalPB_->setText(QStringLiteral("Stop\nHardware\nCalibration"));
    hwOffsetEdit_.fill(-1);
    hwGainEdit_.fill(-1);
}

void MoCapConsole::pollLoop() {
    state_->startPollLoop();
}

void MoCapConsole::writeEEPROM() {
    state_->writeEEPROM();
}

// ---- files ----------------------------------------------------------------------------------

void MoCapConsole::saveCalibration() {
    if (!state_->hwCalMode()) {
        const QString path = chooseSaveFile_(QStringLiteral("Save Calibration"),
                                             softwareCalibrationFolder(), kSwcalFilter);
        if (!path.isEmpty()) {
            state_->withLinkLocked([&](GloveLink& link) { link.saveSoftwareCalibration(path); });
        }
        return;
    }
    const QString proposed =
        hardwareCalibrationFolder() + QString::asprintf("/MoCapGloveHWCAL_%s_%d.hwcal",
                                                        state_->rightHand() ? "Right" : "Left",
                                                        state_->serialNumber());
    const QString path =
        chooseSaveFile_(QStringLiteral("Save Calibration"), proposed, kHwcalFilter);
    if (!path.isEmpty() && !state_->saveHardwareCalibration(path)) {
        appendLog(QStringLiteral("Cannot write %1").arg(path));
    }
}

void MoCapConsole::loadCalibration() {
    if (!state_->hwCalMode()) {
        const QString path = chooseOpenFile_(QStringLiteral("Load Calibration"),
                                             softwareCalibrationFolder(), kSwcalFilter);
        if (path.isEmpty()) {
            return;
        }
        state_->withLinkLocked([&](GloveLink& link) { link.loadSoftwareCalibration(path); });
        // Quietly: moving the sliders would round the loaded values to slider steps.
        setJointSliders(selectedJoint_, false);
        updateCalibrationLabels();
        return;
    }
    const QString path = chooseOpenFile_(QStringLiteral("Load Calibration"),
                                         hardwareCalibrationFolder(), kHwcalFilter);
    if (path.isEmpty()) {
        return;
    }
    if (!state_->loadHardwareCalibration(path)) {
        appendLog(QStringLiteral("Cannot read %1").arg(path));
        return;
    }
    // The loaded block replaces every edit; earlier edits must not overwrite it later.
    hwOffsetEdit_.fill(-1);
    hwGainEdit_.fill(-1);
    state_->syncHWCal();
    setJointSliders(selectedJoint_, false);
    updateCalibrationLabels();
    appendLog(QStringLiteral("Loaded ") + path);
}
