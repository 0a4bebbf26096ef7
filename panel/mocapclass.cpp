#include "mocapclass.hpp"

#include <QDate>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QPixmap>
#include <QPushButton>
#include <QTimeEdit>

namespace Ui {

namespace {

constexpr int kWindowWidth = 554;
constexpr int kWindowHeight = 753;

template <typename W>
W* make(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& text, int x, int y, int w, int h) {
    auto* l = make<QLabel>(parent, name, x, y, w, h);
    l->setText(text);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const QString& text, int x, int y, int w) {
    auto* b = make<QPushButton>(parent, name, x, y, w, 30);
    b->setText(text);
    return b;
}

}  // namespace

void mocapClass::setupUi(QMainWindow* window) {
    window->setObjectName(QStringLiteral("mocapClass"));
    window->resize(kWindowWidth, kWindowHeight);
    window->setWindowTitle(QStringLiteral("MOCAP Glove Control Console"));

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));
    window->setCentralWidget(centralWidget);
    QWidget* c = centralWidget;

    // Created first and lowered, so every other widget paints over it.
    logo = make<QLabel>(c, "logo", 0, 0, kWindowWidth, kWindowHeight);
    logo->setPixmap(QPixmap(QStringLiteral(":/mocap/Resources/background.PNG")));
    logo->setScaledContents(true);
    logo->lower();

    ipLabel = label(c, "ipLabel", QStringLiteral("IP:"), 12, 14, 24, 22);
    ipEdit = make<QLineEdit>(c, "ipEdit", 38, 12, 150, 26);
    ipEdit->setText(QStringLiteral("192.168.1.2"));
    portLabel = label(c, "portLabel", QStringLiteral("Port:"), 200, 14, 36, 22);
    portEdit = make<QLineEdit>(c, "portEdit", 238, 12, 80, 26);
    portEdit->setText(QStringLiteral("5003"));
    startListeningButton =
        button(c, "startListeningButton", QStringLiteral("Start Listening"), 330, 10, 140);
    statusLabel = label(c, "statusLabel", QStringLiteral("status: Not connected"), 12, 46, 530, 22);

    checkBatteryButton =
        button(c, "checkBatteryButton", QStringLiteral("check battery"), 12, 84, 130);
    batteryImageLabel = make<QLabel>(c, "batteryImageLabel", 156, 82, 80, 35);
    lowPowerButton =
        button(c, "lowPowerButton", QStringLiteral("Enter Low Power Mode"), 300, 84, 200);

    setTimeEdit = make<QTimeEdit>(c, "setTimeEdit", 12, 134, 110, 28);
    setTimeEdit->setDisplayFormat(QStringLiteral("hh:mm:ss"));
    setTimeEdit->setMinimumDate(QDate(2000, 1, 1));
    setTimeButton = button(c, "setTimeButton", QStringLiteral("set glove time"), 132, 133, 130);
    getTimeButton = button(c, "getTimeButton", QStringLiteral("get glove time"), 272, 133, 130);
    receivedTimeLabel =
        label(c, "receivedTimeLabel", QStringLiteral("00:00:00"), 416, 137, 120, 22);

    showFilesButton = button(c, "showFilesButton", QStringLiteral("show files"), 12, 180, 130);
    listWidget = make<QListWidget>(c, "listWidget", 12, 216, 250, 150);
    fileNameLabel = label(c, "fileNameLabel", QStringLiteral("File Name:"), 280, 216, 80, 22);
    fileNameEdit = make<QLineEdit>(c, "fileNameEdit", 280, 240, 200, 26);
    setActiveFileButton =
        button(c, "setActiveFileButton", QStringLiteral("set active file"), 280, 276, 150);
    startRecordingButton =
        button(c, "startRecordingButton", QStringLiteral("Start Recording"), 280, 330, 150);

    // Time stamp of the last frame: caption above, value below.
    const char* stampCaptions[] = {"hour", "minute", "second", "frame"};
    const char* stampCaptionNames[] = {"hourLabel", "minuteLabel", "secondLabel", "frameLabel"};
    const char* stampDataNames[] = {"hourDataLabel", "minuteDataLabel", "secondDataLabel",
                                    "frameDataLabel"};
    QLabel** stampCaptionSlots[] = {&hourLabel, &minuteLabel, &secondLabel, &frameLabel};
    QLabel** stampDataSlots[] = {&hourDataLabel, &minuteDataLabel, &secondDataLabel,
                                 &frameDataLabel};
    for (int i = 0; i < 4; ++i) {
        const int x = 12 + i * 90;
        *stampCaptionSlots[i] =
            label(c, stampCaptionNames[i], QString::fromLatin1(stampCaptions[i]), x, 384, 80, 20);
        *stampDataSlots[i] = label(c, stampDataNames[i], QStringLiteral("00"), x, 404, 80, 22);
    }

    // Two columns of eleven sensor rows: code, then value.
    QFont valueFont = window->font();
    valueFont.setBold(true);
    for (std::size_t i = 0; i < kSensorCodes.size(); ++i) {
        const QString code = QString::fromLatin1(kSensorCodes[i]);
        const int column = static_cast<int>(i) / 11;
        const int row = static_cast<int>(i) % 11;
        const int x = 12 + column * 270;
        const int y = 440 + row * 27;
        const QByteArray captionName = (code.toLower() + QStringLiteral("Label")).toLatin1();
        const QByteArray dataName = (code.toLower() + QStringLiteral("DataLabel")).toLatin1();
        sensorCaptionLabels[i] = label(c, captionName.constData(), code, x, y, 40, 22);
        sensorDataLabels[i] =
            label(c, dataName.constData(), QStringLiteral("0"), x + 44, y, 90, 22);
        sensorDataLabels[i]->setFont(valueFont);
    }
}

}  // namespace Ui
