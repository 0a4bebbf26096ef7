#pragma once
// The "Live Plot" dock of palmdesk: the chosen sensors over the last seconds, a health flag per
// sensor and the stream's latency, rate and clock drift. It samples the glove state on the GUI
// thread whenever the worker has decoded a new frame (a changed frame time) and redraws from a
// ring of samples at most 30 times a second, so a fast stream never waits for the chart.

#include <QDockWidget>
#include <array>
#include <chrono>
#include <memory>

#include "link/glovetables.hpp"
#include "meters/latencymeter.hpp"
#include "meters/plotbuffer.hpp"
#include "meters/sensorhealth.hpp"
#include "meters/stampfile.hpp"

class MocapGloveState;
class QChart;
class QLabel;
class QLineEdit;
class QLineSeries;
class QListWidget;
class QTimer;
class QValueAxis;

class PlotDock : public QDockWidget {
    Q_OBJECT

  public:
    static constexpr int kSensors = glove::kSensorIndexCount - 1;  // 0..22, as the window shows
    static constexpr double kSpanSeconds = 10.0;
    static constexpr int kSampleMs = 5;

    explicit PlotDock(MocapGloveState* state, QWidget* parent = nullptr);
    ~PlotDock() override;

    // A simulator's send-stamp file for the latency (empty: none).
    void setStampFile(const QString& path);
    void setSensorShown(int sensor, bool shown);

    // Read-outs for the window and tests.
    const glove::PlotBuffer& samples() const { return ring_; }
    std::uint8_t healthFlags(int sensor) const { return health_.flags(sensor); }
    glove::LatencyStats latency() const { return meter_.stats(); }
    int pointsShown(int sensor) const;

  private:
    void sample();
    void redraw();
    bool sensorPresent(int sensor) const;

    MocapGloveState* state_;
    glove::PlotBuffer ring_;
    glove::SensorHealth health_;
    glove::LatencyMeter meter_;
    std::unique_ptr<glove::StampFile> stamps_;
    std::array<int, 5> lastFrameTime_{-1, -1, -1, -1, -1};
    std::chrono::steady_clock::time_point lastStatus_{};

    QTimer* sampleTimer_ = nullptr;
    QChart* chart_ = nullptr;
    QValueAxis* axisX_ = nullptr;
    QValueAxis* axisY_ = nullptr;
    std::array<QLineSeries*, kSensors> series_{};
    QListWidget* sensorList_ = nullptr;
    QLineEdit* stampFileLE_ = nullptr;
    QLabel* latencyLB_ = nullptr;
    std::array<QLabel*, kSensors> valueLabels_{};  // the window's, found on first use
};
