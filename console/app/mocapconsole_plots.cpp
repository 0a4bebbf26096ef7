// The live plot dock: sampling, health flags and the latency meter (see plotdock.hpp).
#include <QChart>
#include <QChartView>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMainWindow>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <cstdio>

#include "app/plotdock.hpp"
#include "worker/mocapglovestate.hpp"

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Enough for the span at the fastest rate the console reads (one frame per 30 ms tick), with
// room to spare; older samples fall out of the ring.
constexpr std::size_t kRingCapacity = 1024;

// Tick marks the sensors shown by default: the index finger's joints.
constexpr int kDefaultShown[] = {4, 5, 6};

}  // namespace

PlotDock::PlotDock(MocapGloveState* state, QWidget* parent)
    : QDockWidget(QStringLiteral("Live Plot"), parent),
      state_(state),
      ring_(kRingCapacity, kSensors),
      health_(kSensors),
      meter_(600) {
    setObjectName(QStringLiteral("plotDock"));
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);

    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignBottom);
    axisX_ = new QValueAxis;
    axisX_->setRange(-kSpanSeconds, 0.0);
    axisX_->setTitleText(QStringLiteral("s"));
    axisY_ = new QValueAxis;
    axisY_->setRange(0.0, 255.0);
    axisY_->setTitleText(QStringLiteral("counts"));
    chart_->addAxis(axisX_, Qt::AlignBottom);
    chart_->addAxis(axisY_, Qt::AlignLeft);
    for (int i = 0; i < kSensors; ++i) {
        auto* s = new QLineSeries;
        s->setName(QString::fromLatin1(glove::sensorShortCode(i)));
        chart_->addSeries(s);
        s->attachAxis(axisX_);
        s->attachAxis(axisY_);
        s->setVisible(false);
        s->setUseOpenGL(false);
        series_[static_cast<std::size_t>(i)] = s;
    }
    auto* view = new QChartView(chart_);
    view->setObjectName(QStringLiteral("plotView"));
    view->setMinimumSize(360, 240);

    sensorList_ = new QListWidget;
    sensorList_->setObjectName(QStringLiteral("plotSensorList"));
    for (int i = 0; i < kSensors; ++i) {
        auto* item = new QListWidgetItem(QString::fromLatin1(glove::sensorShortCode(i)));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        item->setToolTip(QString::fromLatin1(glove::sensorLongName(i)));
        sensorList_->addItem(item);
    }
    sensorList_->setMaximumWidth(170);
    connect(sensorList_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        int i = sensorList_->row(item);
        if (i >= 0 && i < kSensors) {
            series_[static_cast<std::size_t>(i)]->setVisible(item->checkState() == Qt::Checked);
            if (latencyLB_) {
                redraw();  // a user's click: not throttled
            }
        }
    });
    for (int i : kDefaultShown) {
        setSensorShown(i, true);
    }

    auto* plotRow = new QHBoxLayout;
    plotRow->addWidget(view, 1);
    plotRow->addWidget(sensorList_);
    layout->addLayout(plotRow, 1);

    auto* stampRow = new QHBoxLayout;
    stampRow->addWidget(new QLabel(QStringLiteral("Send stamps:")));
    stampFileLE_ = new QLineEdit;
    stampFileLE_->setObjectName(QStringLiteral("latencyStampFileLE"));
    stampFileLE_->setPlaceholderText(QStringLiteral("glovesim --stamp-file FILE"));
    connect(stampFileLE_, &QLineEdit::editingFinished, this,
            [this] { setStampFile(stampFileLE_->text()); });
    stampRow->addWidget(stampFileLE_, 1);
    auto* browse = new QPushButton(QStringLiteral("..."));
    connect(browse, &QPushButton::clicked, this, [this] {
        QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Send stamp file"));
        if (!path.isEmpty()) {
            stampFileLE_->setText(path);
            setStampFile(path);
        }
    });
    stampRow->addWidget(browse);
    layout->addLayout(stampRow);
    latencyLB_ = new QLabel(QStringLiteral("latency n/a"));
    latencyLB_->setObjectName(QStringLiteral("latencyLB"));
    latencyLB_->setWordWrap(true);
    layout->addWidget(latencyLB_);
    setWidget(body);

    sampleTimer_ = new QTimer(this);
    connect(sampleTimer_, &QTimer::timeout, this, &PlotDock::sample);
    sampleTimer_->start(kSampleMs);
}

PlotDock::~PlotDock() = default;

void PlotDock::setStampFile(const QString& path) {
    if (stampFileLE_->text() != path) {
        stampFileLE_->setText(path);
    }
    stamps_ = path.isEmpty() ? nullptr : std::make_unique<glove::StampFile>(path.toStdString());
    meter_.clear();
}

void PlotDock::setSensorShown(int sensor, bool shown) {
    if (sensor >= 0 && sensor < kSensors) {
        sensorList_->item(sensor)->setCheckState(shown ? Qt::Checked : Qt::Unchecked);
    }
}

int PlotDock::pointsShown(int sensor) const {
    if (sensor < 0 || sensor >= kSensors) {
        return 0;
    }
    const QLineSeries* s = series_[static_cast<std::size_t>(sensor)];
    return s->isVisible() ? static_cast<int>(s->count()) : 0;
}

bool PlotDock::sensorPresent(int sensor) const {
    if (glove::sensorShortCode(sensor)[0] == '\0') {
        return false;  // index 7 carries no sensor
    }
    // An 18-sensor glove has no outer finger joints.
    bool outer = sensor == 6 || sensor == 10 || sensor == 14 || sensor == 18;
    return !(outer && state_->gloveLink()->sensorCount() != 22);
}

void PlotDock::sample() {
    if (!state_->streaming()) {
        return;
    }
    std::array<int, 5> ft{};
    state_->gloveLink()->frameTime(ft.data());
    if (ft == lastFrameTime_) {
        return;  // the worker has not decoded a new frame yet
    }
    lastFrameTime_ = ft;
    const double now = steadySeconds();

    std::array<double, kSensors> counts{};
    for (int i = 0; i < kSensors; ++i) {
        counts[static_cast<std::size_t>(i)] = static_cast<double>(state_->rawValue(i) >> 4);
    }
    ring_.push(now, counts);
    health_.add(now, counts);

    // The fifth field counts frames within the second at the 30 Hz base rate.
    double gloveSec = ft[0] * 3600.0 + ft[1] * 60.0 + ft[2] + ft[4] / 30.0;
    meter_.addFrame(gloveSec, now);
    if (stamps_) {
        stamps_->poll();
        char key[32];
        std::snprintf(key, sizeof key, "%02d:%02d:%02d:%1d:%02d", ft[0], ft[1], ft[2], ft[3],
                      ft[4]);
        if (auto st = stamps_->find(key)) {
            meter_.addLatency(static_cast<double>(st->madeNs) * 1e-9, now);
        }
    }
    if (ring_.takeRedraw(std::chrono::steady_clock::now().time_since_epoch())) {
        redraw();
    }
}

void PlotDock::redraw() {
    const std::size_t n = ring_.size();
    const double newest = n ? ring_.time(n - 1) : 0.0;
    for (int i = 0; i < kSensors; ++i) {
        QLineSeries* s = series_[static_cast<std::size_t>(i)];
        if (!s->isVisible()) {
            continue;
        }
        QList<QPointF> points;
        points.reserve(static_cast<qsizetype>(n));
        for (std::size_t k = 0; k < n; ++k) {
            double x = ring_.time(k) - newest;
            if (x >= -kSpanSeconds) {
                points.append(QPointF(x, ring_.value(k, i)));
            }
        }
        s->replace(points);
    }

    // Health beside the values: in the sensor list and on the window's value labels.
    for (int i = 0; i < kSensors; ++i) {
        std::uint8_t flags = sensorPresent(i) ? health_.flags(i) : 0;
        QString text = QString::fromLatin1(glove::sensorShortCode(i));
        if (flags) {
            text += QStringLiteral("  [%1]").arg(QString::fromLatin1(glove::healthFlagText(flags)));
        }
        QListWidgetItem* item = sensorList_->item(i);
        if (item->text() != text) {
            QSignalBlocker block(sensorList_);
            item->setText(text);
            item->setForeground(flags ? Qt::red : palette().color(QPalette::Text));
        }
        QLabel*& value = valueLabels_[static_cast<std::size_t>(i)];
        if (!value) {
            value = window()->findChild<QLabel*>(QStringLiteral("sensorValue_%1").arg(i + 1));
        }
        if (value) {
            const QString tip = QString::fromLatin1(glove::healthFlagText(flags));
            if (value->toolTip() != tip) {
                value->setToolTip(tip);
                value->setStyleSheet(flags ? QStringLiteral("background: #f6c2c2") : QString());
            }
        }
    }

    auto now = std::chrono::steady_clock::now();
    if (now - lastStatus_ >= std::chrono::milliseconds(500)) {
        lastStatus_ = now;
        const QString text = QString::fromStdString(glove::formatLatency(meter_.stats()));
        latencyLB_->setText(text);
        if (auto* window = qobject_cast<QMainWindow*>(parentWidget())) {
            window->statusBar()->showMessage(text);
        }
    }
}
