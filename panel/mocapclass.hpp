// The form of the glove control console: every widget by object name, laid out on a
// fixed 554 x 753 window with the background picture behind them.
#pragma once

#include <array>

class QLabel;
class QLineEdit;
class QListWidget;
class QMainWindow;
class QPushButton;
class QTimeEdit;
class QWidget;

namespace Ui {

class mocapClass {
  public:
    // Sensor codes in the order their values appear in a streaming frame.
    static constexpr std::array<const char*, 22> kSensorCodes = {
        "TR", "IT", "OT", "TA", "II", "MI", "OI", "IM", "MM", "OM", "MA",
        "IR", "MR", "OR", "RA", "IP", "MP", "OP", "PA", "PR", "TW", "SW"};

    // Builds the widgets as children of `window`, which owns them.
    void setupUi(QMainWindow* window);

    QWidget* centralWidget = nullptr;
    QLabel* logo = nullptr;

    QLabel* ipLabel = nullptr;
    QLineEdit* ipEdit = nullptr;
    QLabel* portLabel = nullptr;
    QLineEdit* portEdit = nullptr;
    QPushButton* startListeningButton = nullptr;
    QLabel* statusLabel = nullptr;

    QPushButton* checkBatteryButton = nullptr;
    QLabel* batteryImageLabel = nullptr;
    QPushButton* lowPowerButton = nullptr;

    QTimeEdit* setTimeEdit = nullptr;
    QPushButton* setTimeButton = nullptr;
    QPushButton* getTimeButton = nullptr;
    QLabel* receivedTimeLabel = nullptr;

    QPushButton* showFilesButton = nullptr;
    QListWidget* listWidget = nullptr;
    QLabel* fileNameLabel = nullptr;
    QLineEdit* fileNameEdit = nullptr;
    QPushButton* setActiveFileButton = nullptr;
    QPushButton* startRecordingButton = nullptr;

    QLabel* hourLabel = nullptr;
    QLabel* minuteLabel = nullptr;
    QLabel* secondLabel = nullptr;
    QLabel* frameLabel = nullptr;
    QLabel* hourDataLabel = nullptr;
    QLabel* minuteDataLabel = nullptr;
    QLabel* secondDataLabel = nullptr;
    QLabel* frameDataLabel = nullptr;

    // Value labels named after the code in lower case plus "DataLabel", frame order;
    // their caption labels carry the code itself.
    std::array<QLabel*, 22> sensorDataLabels{};
    std::array<QLabel*, 22> sensorCaptionLabels{};
};

}  // namespace Ui
