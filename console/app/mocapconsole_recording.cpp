// The window's take recording: Record/Stop in the menu bar; frames come from the worker's
// frame observer and go to a CSV take, exported as BVH next to it when the take ends.

#include <QAction>
#include <QFileInfo>
#include <QMenuBar>
#include <chrono>
#include <fstream>
#include <mutex>

#include "mocapconsole.hpp"
#include "takebvh.hpp"
#include "worker/mocapglovestate.hpp"

// A take in progress. add() and lost() run on the worker thread, the rest on the GUI thread;
// the mutex keeps them apart. Unregisters itself from the state before it goes away, so no
// observer call can reach a freed recording.
class TakeRecording {
  public:
    TakeRecording(MocapGloveState* state, const std::string& path, bool rightHand, double period)
        : state_(state),
          file_(path, std::ios::binary | std::ios::trunc),
          recorder_(file_, rightHand, period),
          start_(std::chrono::steady_clock::now()) {
        recorder_.keepFrames(true);
        if (file_) {
            state_->setFrameObserver([this](const MocapGloveState::FrameSample* s) { observe(s); });
        }
    }
    ~TakeRecording() { state_->setFrameObserver(nullptr); }

    bool ok() const { return static_cast<bool>(file_); }

    // Ends the take; false when the file could not be written.
    bool finish(const std::string& bvhPath, long* out_frames, long* out_gaps) {
        state_->setFrameObserver(nullptr);
        std::lock_guard<std::mutex> lock(mutex_);
        recorder_.finish(seconds());
        file_.close();
        *out_frames = recorder_.frames();
        *out_gaps = recorder_.gaps();
        std::ofstream bvh(bvhPath, std::ios::binary | std::ios::trunc);
        bvh << take::takeToBvh(recorder_.take());
        bvh.close();
        return !file_.fail() && !bvh.fail();
    }

  private:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    void observe(const MocapGloveState::FrameSample* s) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!s) {
            recorder_.connectionLost();
            return;
        }
        std::int32_t raw[take::kValues];
        for (int i = 0; i < take::kValues; ++i) {
            raw[i] = static_cast<std::int32_t>(s->raw[i]);
        }
        recorder_.add(seconds(), s->time, raw, s->angles);
    }

    MocapGloveState* state_;
    std::mutex mutex_;
    std::ofstream file_;
    take::Recorder recorder_;  // guarded by mutex_
    std::chrono::steady_clock::time_point start_;
};

void MoCapConsole::buildRecordingMenu() {
    QMenu* menu = menuBar()->addMenu(QStringLiteral("&Recording"));
    recordAction_ =
        menu->addAction(QStringLiteral("&Record Take..."), this, &MoCapConsole::startRecording);
    recordAction_->setObjectName(QStringLiteral("recordTakeAction"));
    stopRecordAction_ =
        menu->addAction(QStringLiteral("&Stop Recording"), this, &MoCapConsole::stopRecording);
    stopRecordAction_->setObjectName(QStringLiteral("stopRecordingAction"));
    stopRecordAction_->setEnabled(false);
}

void MoCapConsole::startRecording() {
    if (recording_) {
        return;
    }
    QString path =
        chooseSaveFile_(QStringLiteral("Record take"), QString(), QStringLiteral("Takes (*.csv)"));
    if (path.isEmpty()) {
        return;
    }
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QStringLiteral(".csv");
    }
    // The frames arrive at the rate of the transport's output, at most 30 per second.
    const int divider = state_->useSerial() ? usbDivider_ : wifiDivider_;
    const double rate = std::min(30.0, frameRateMultiplier_ * baseRate_ / std::max(divider, 1));
    auto recording = std::make_shared<TakeRecording>(state_, path.toStdString(),
                                                     state_->rightHand(), 1.0 / rate);
    if (!recording->ok()) {
        appendLog(QStringLiteral("Cannot record to %1\n").arg(path));
        return;
    }
    recording_ = std::move(recording);
    recordingPath_ = path;
    recordAction_->setEnabled(false);
    stopRecordAction_->setEnabled(true);
    appendLog(QStringLiteral("Recording take to %1\n").arg(path));
}

void MoCapConsole::stopRecording() {
    if (!recording_) {
        return;
    }
    const QFileInfo info(recordingPath_);
    const QString bvh =
        info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".bvh");
    long frames = 0;
    long gaps = 0;
    const bool written = recording_->finish(bvh.toStdString(), &frames, &gaps);
    recording_.reset();
    recordAction_->setEnabled(true);
    stopRecordAction_->setEnabled(false);
    appendLog(written ? QStringLiteral("Take saved: %1 frames, %2 gaps, %3 and %4\n")
                            .arg(frames)
                            .arg(gaps)
                            .arg(recordingPath_, bvh)
                      : QStringLiteral("Take could not be written to %1\n").arg(recordingPath_));
}
