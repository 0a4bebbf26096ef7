#include "worker/mocapglovestate.hpp"

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"

#include <QCoreApplication>
#include <QFile>
#include <QMetaMethod>
#include <QMetaObject>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QTimerEvent>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

std::uint64_t nextSlot(std::uint64_t slot, int code) {
    return ((slot >> 32) + 1) << 32 | static_cast<std::uint32_t>(code);
}

constexpr int kActiveFileNameMax = 253;  // the link builds "1A" name 0x01 in 256 bytes

// The debug output the console writes its calibration maps to (silent unless asked for).
void debugBlock(const char* title, const uint8_t* offsets, const uint8_t* gains, int n) {
    if (!GloveLink::debugLog()) {
        return;
    }
    std::fputs(title, stderr);
    for (const uint8_t* row : {offsets, gains}) {
        for (int i = 0; i < n; ++i) {
            std::fprintf(stderr, "%3d ", row[i]);
        }
        std::fputc('\n', stderr);
    }
}

}  // namespace

MocapGloveState* MocapGloveState::instance() {
    static MocapGloveState state;
    // Stop the worker while the application still exists, so no glove I/O or timer outlives
    // it; hooked once per application object.
    static QMutex hookMutex;
    static QPointer<QCoreApplication> hooked;
    QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr) {
        QMutexLocker locker(&hookMutex);
        if (hooked != app) {
            hooked = app;
            QObject::connect(app, &QCoreApplication::aboutToQuit, app,
                             [] { MocapGloveState::instance()->shutdown(); });
        }
    }
    return &state;
}

const QEvent::Type MocapGloveState::kRunJobsEvent =
    static_cast<QEvent::Type>(QEvent::registerEventType());

MocapGloveState::MocapGloveState() : QObject(nullptr) {
    qRegisterMetaType<QString*>("QString*");

    thread_ = new QThread;
    thread_->setObjectName(QStringLiteral("glove worker"));
    moveToThread(thread_);

    link_ = new GloveLink(nullptr);
    link_->moveToThread(thread_);

    trackerEmulator_ = new kpxTrackerEmulator;
    gloveEmulator_ = new kpxVexaGloveEmulator;
    rightMaster_ = new kpxHandMaster(gloveEmulator_, trackerEmulator_->getDevice(0));
    leftMaster_ = new kpxHandMaster(gloveEmulator_, trackerEmulator_->getDevice(0));
    rightHandModel_ = new kpxHumanHand(rightMaster_, 1.0, GHM::RIGHT_HAND);
    leftHandModel_ = new kpxHumanHand(leftMaster_, 1.0, GHM::LEFT_HAND);
    currentHand_.store(rightHandModel_);
    for (int i = 0; i < 6; ++i) {
        rightHandModel_->getMaster()->get6DofDevice()->setValue(i, 0.0);
    }
    gloveEmulator_->setJointValues(angleBlock_);

    QObject::connect(thread_, &QThread::started, this, &MocapGloveState::onThreadStarted);
    QObject::connect(this, &MocapGloveState::terminateThread, this,
                     &MocapGloveState::onThreadFinished);
    // Queued: the accept runs from the worker's event loop, never inside a tick that holds
    // the (non-recursive) lock.
    QObject::connect(link_, &QTcpServer::newConnection, this, &MocapGloveState::connectTCP,
                     Qt::QueuedConnection);
    // finished is emitted on the worker thread just before it ends: the last moment at which
    // its timer and sockets can be released where they live.
    QObject::connect(
        thread_, &QThread::finished, this, [this] { teardownOnWorker(); }, Qt::DirectConnection);

    thread_->start(QThread::InheritPriority);
    // Return with the worker's loop and timer in place; this also orders everything the
    // worker set up before it for thread checkers.
    std::unique_lock<std::mutex> lock(teardownMutex_);
    teardownCv_.wait_for(lock, std::chrono::seconds(30), [&] { return workerStarted_; });
}

MocapGloveState::~MocapGloveState() {
    shutdown();
    if (thread_->isRunning()) {
        thread_->quit();
        thread_->wait();
    }
    awaitTeardown();
    delete link_;
    delete rightHandModel_;
    delete leftHandModel_;
    delete rightMaster_;
    delete leftMaster_;
    delete gloveEmulator_;
    delete trackerEmulator_;
    delete thread_;
}

// ---- requests -------------------------------------------------------------------------

void MocapGloveState::request(int code) {
    QMutexLocker locker(&lock_);
    storeCommand(code);
}

void MocapGloveState::startStreaming() {
    if (connected_.load()) {
        request(StartStreaming);
    }
}

void MocapGloveState::stopStreaming() {
    if (connected_.load()) {
        request(StopStreaming);
    }
}

void MocapGloveState::setActiveFile(const std::string& name) {
    if (!connected_.load()) {
        return;
    }
    QMutexLocker locker(&lock_);
    activeFileName_ = name.substr(0, kActiveFileNameMax);
    storeCommand(SetActiveFile);
}

void MocapGloveState::requestFileList() {
    if (connected_.load()) {
        request(FileList);
    }
}

void MocapGloveState::downloadActiveFile() {
    if (connected_.load()) {
        request(Download);
    }
}

void MocapGloveState::setSerialAndHand(int serialNumber, bool rightHand) {
    if (!connected_.load()) {
        return;
    }
    QMutexLocker locker(&lock_);
    serialNumber_.store(serialNumber);
    rightHand_.store(rightHand);
    storeCommand(WriteSerialAndHand);
}

void MocapGloveState::connect() {
    if (!connected_.load()) {
        storeCommand(Connect);
    }
}

void MocapGloveState::disconnect() {
    if (connected_.load() || reconnecting_.load()) {
        request(Disconnect);
    }
}

void MocapGloveState::reboot() {
    if (connected_.load()) {
        request(Reboot);
    }
}

void MocapGloveState::getBatteryStatus() {
    if (connected_.load()) {
        request(BatteryStatus);
    }
}

void MocapGloveState::setLowPowerMode() {
    if (connected_.load()) {
        request(ToggleLowPower);
    }
}

void MocapGloveState::setTime(int hours, int minutes, int seconds) {
    if (!connected_.load()) {
        return;
    }
    QMutexLocker locker(&lock_);
    if (commandCode(command_.load()) != None) {
        return;  // one slot: a pending request is not replaced by a clock change
    }
    setTimeHMS_[0] = hours;
    setTimeHMS_[1] = minutes;
    setTimeHMS_[2] = seconds;
    storeCommand(SetTime);
}

void MocapGloveState::getTime() {
    if (connected_.load()) {
        request(GetTime);
    }
}

void MocapGloveState::syncStreamConfig() {
    if (connected_.load()) {
        request(SyncStreamConfig);
    }
}

void MocapGloveState::setHWCalState(bool on) {
    hwCalMode_.store(on);
    storeCommand(on ? EnterHardwareCalibration : LeaveHardwareCalibration);
}

void MocapGloveState::syncHWCal() {
    if (hwCalMode_.load()) {
        storeCommand(SyncHardwareCalibration);
    }
}

void MocapGloveState::startPollLoop() {
    storeCommand(PollLoop);
}

void MocapGloveState::writeEEPROM() {
    if (hwCalMode_.load()) {
        storeCommand(CommitEEPROM);
    }
}

void MocapGloveState::toggleJAMSync(bool on) {
    if (!connected_.load()) {
        return;
    }
    auto send = [this, on] {
        QMutexLocker locker(&lock_);
        if (connected_.load()) {
            link_->setJamSync(on);
        }
    };
    // The glove's socket belongs to the worker thread, so the exchange runs there, between
    // two ticks, while the caller waits: "at once" and never overlapping a tick.
    if (QThread::currentThread() == thread_) {
        send();
        return;
    }
    runOnWorker(send);
}

void MocapGloveState::sendRebootNow() {
    if (!connected_.load()) {
        return;
    }
    auto send = [this] {
        QMutexLocker locker(&lock_);
        if (connected_.load()) {
            link_->reboot();
        }
    };
    if (QThread::currentThread() == thread_) {
        send();
        return;
    }
    runOnWorker(send);
}

// ---- values -----------------------------------------------------------------------------

MocapGloveState::StreamConfig MocapGloveState::streamConfig() const {
    QMutexLocker locker(&valuesMutex_);
    return streamConfig_;
}

void MocapGloveState::setStreamConfig(const StreamConfig& config) {
    QMutexLocker locker(&valuesMutex_);
    streamConfig_ = config;
}

std::string MocapGloveState::portName() const {
    QMutexLocker locker(&valuesMutex_);
    return std::string(portName_);
}

void MocapGloveState::setPortName(const std::string& name) {
    QMutexLocker locker(&valuesMutex_);
    const size_t n = std::min(name.size(), static_cast<size_t>(kPortNameSize - 1));
    std::memcpy(portName_, name.data(), n);
    portName_[n] = '\0';
}

void MocapGloveState::setListenAddress(const QHostAddress& address) {
    QMutexLocker locker(&valuesMutex_);
    listenAddress_ = address;
}

void MocapGloveState::hardwareCalibration(HardwareBlock& out_offsets,
                                          HardwareBlock& out_gains) const {
    QMutexLocker locker(&valuesMutex_);
    out_offsets = hwCalOffsets_;
    out_gains = hwCalGains_;
}

void MocapGloveState::setHardwareCalibration(const HardwareBlock& offsets,
                                             const HardwareBlock& gains) {
    QMutexLocker locker(&valuesMutex_);
    hwCalOffsets_ = offsets;
    hwCalGains_ = gains;
}

bool MocapGloveState::saveHardwareCalibration(const QString& path) const {
    HardwareBlock offsets, gains;
    hardwareCalibration(offsets, gains);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const qint64 n1 = file.write(reinterpret_cast<const char*>(offsets.data()), offsets.size());
    const qint64 n2 = file.write(reinterpret_cast<const char*>(gains.data()), gains.size());
    return n1 == static_cast<qint64>(offsets.size()) && n2 == static_cast<qint64>(gains.size()) &&
           file.flush();
}

bool MocapGloveState::loadHardwareCalibration(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray bytes = file.read(2 * glove::kSensorIndexCount);
    QMutexLocker locker(&valuesMutex_);
    glove::readHwcalBytes(reinterpret_cast<const uint8_t*>(bytes.constData()),
                          static_cast<size_t>(bytes.size()), hwCalOffsets_, hwCalGains_);
    debugBlock("Loaded HW Cal\n", hwCalOffsets_.data(), hwCalGains_.data(),
               glove::kSensorIndexCount);
    return true;
}

void MocapGloveState::copyAngleBlock(double out[glove::kSensorIndexCount]) const {
    QMutexLocker locker(&handModelMutex_);
    std::copy(std::begin(angleBlock_), std::end(angleBlock_), out);
}

double MocapGloveState::angleBlockValue(int index) const {
    if (index < 0 || index >= glove::kSensorIndexCount) {
        return 0.0;
    }
    QMutexLocker locker(&handModelMutex_);
    return angleBlock_[index];
}

void MocapGloveState::withLinkLocked(const std::function<void(GloveLink&)>& f) {
    QMutexLocker locker(&lock_);
    f(*link_);
}

void MocapGloveState::setLinkTiming(const GloveTiming& timing) {
    QMutexLocker locker(&lock_);
    link_->setTiming(timing);
}

// ---- thread and timer ---------------------------------------------------------------------

void MocapGloveState::onThreadStarted() {
    if (timerId_ == 0) {
        timerId_ = startTimer(kTickMs);
    }
    std::lock_guard<std::mutex> lock(teardownMutex_);
    workerStarted_ = true;
    teardownCv_.notify_all();
}

void MocapGloveState::onThreadFinished() {
    if (timerId_ != 0) {
        killTimer(timerId_);
        timerId_ = 0;
    }
}

void MocapGloveState::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId_) {
        QObject::timerEvent(event);
        return;
    }
    if (!ticksPaused_.load()) {
        tick();
    }
}

void MocapGloveState::runTickNow() {
    if (QThread::currentThread() == thread_) {
        tick();
        return;
    }
    runOnWorker([this] { tick(); });
}

void MocapGloveState::runOnWorker(const std::function<void()>& job) {
    // The job waits in a queue of our own and an event wakes the worker's loop, so it runs
    // between two ticks. Caller and worker meet only on standard mutexes, which thread
    // checkers see even where the Qt build is not instrumented.
    struct Completion {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto completion = std::make_shared<Completion>();
    QMutexLocker guard(&shutdownMutex_);  // shutdown waits until the job has run
    if (stopped_.load()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        jobs_.push_back([job, completion] {
            job();
            std::lock_guard<std::mutex> done(completion->mutex);
            completion->done = true;
            completion->cv.notify_all();
        });
    }
    QCoreApplication::postEvent(this, new QEvent(kRunJobsEvent));
    std::unique_lock<std::mutex> lock(completion->mutex);
    completion->cv.wait(lock, [&] { return completion->done; });
}

bool MocapGloveState::event(QEvent* e) {
    if (e->type() != kRunJobsEvent) {
        return QObject::event(e);
    }
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard<std::mutex> lock(jobsMutex_);
            if (jobs_.empty()) {
                break;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
    return true;
}

void MocapGloveState::shutdown() {
    {
        QMutexLocker guard(&shutdownMutex_);
        if (stopped_.exchange(true)) {
            return;
        }
    }
    thread_->quit();
    if (QThread::currentThread() != thread_) {
        thread_->wait();
        awaitTeardown();
    }
}

void MocapGloveState::awaitTeardown() {
    // QThread::wait() synchronises inside Qt; meeting the worker's last act on a standard
    // mutex as well makes that order visible to thread checkers.
    std::unique_lock<std::mutex> lock(teardownMutex_);
    // The worker has finished by now, so the flag is normally set already.
    teardownCv_.wait_for(lock, std::chrono::seconds(10), [&] { return teardownDone_; });
}

bool MocapGloveState::workerRunning() const {
    return thread_->isRunning();
}

void MocapGloveState::teardownOnWorker() {
    onThreadFinished();
    QMutexLocker locker(&lock_);
    link_->close();
    connected_.store(false);
    reconnecting_.store(false);
    streaming_.store(false);
    listeningPort_.store(0);
    storeCommand(None);
    locker.unlock();
    std::lock_guard<std::mutex> done(teardownMutex_);
    teardownDone_ = true;
    teardownCv_.notify_all();
}

// ---- the command machine ------------------------------------------------------------------

void MocapGloveState::tick() {
    QMutexLocker locker(&lock_);
    const std::uint64_t slot = command_.load();
    const int code = commandCode(slot);
    if (reconnecting_.load()) {
        // Only a disconnect is carried out while the glove is away; other requests would
        // talk to nobody. A connect request retries at once.
        int next = None;
        if (code == Disconnect) {
            runCommand_locked(Disconnect);
        } else if (useSerial_.load()) {
            next = retrySerial_locked(code == Connect);
        }
        if (code != None || next != None) {
            std::uint64_t expected = slot;
            command_.compare_exchange_strong(expected, nextSlot(slot, next));
        }
        return;
    }
    if (streaming_.load() && code == None) {
        const bool read = link_->streaming() && link_->readFrame();
        if (link_->connectionLost()) {
            connectionLost_locked();
            return;
        }
        if (!handUpdateSuspended_.load()) {
            updateHand_locked();
        }
        notifyFrame_locked(read);
        return;
    }
    if (code == None) {
        // Idle: a serial hang-up or a closed socket is noticed here, not at the next command.
        if (connected_.load() && link_->connectionLost()) {
            connectionLost_locked();
        }
        return;
    }
    int next = runCommand_locked(code);
    if (connected_.load() && link_->connectionLost()) {
        connectionLost_locked();
        next = None;
    }
    // A request stored without the lock while the command ran (connect, hardware
    // calibration, poll loop) is newer than the follow-up and is kept.
    std::uint64_t expected = slot;
    command_.compare_exchange_strong(expected, nextSlot(slot, next));
}

void MocapGloveState::storeCommand(int code) {
    std::uint64_t slot = command_.load();
    while (!command_.compare_exchange_weak(slot, nextSlot(slot, code))) {
    }
}

void MocapGloveState::emitText(void (MocapGloveState::*signal)(QString*), const char* text) {
    // The receiver owns the string; with nobody listening it would only leak.
    if (isSignalConnected(QMetaMethod::fromSignal(signal))) {
        emit(this->*signal)(new QString(QString::fromUtf8(text)));
    }
}

void MocapGloveState::updateHand_locked() {
    link_->computeAngles();
    double angles[glove::kSensorIndexCount];
    link_->copyAngles(angles);
    QMutexLocker hands(&handModelMutex_);
    std::copy(std::begin(angles), std::end(angles), angleBlock_);
    // Rows 0..4 are the digits; row 5 (palm arch, wrist) has no place in the hand model.
    for (int row = 0; row < 5; ++row) {
        for (int col = 0; col < 4; ++col) {
            gloveEmulator_->setJointValue(row, col, angles[row * 4 + col]);
        }
    }
    currentHand_.load()->update(false);
}

void MocapGloveState::configureAfterConnect_locked() {
    link_->stopStreaming();
    link_->setActiveFile("default.txt", "HEADER String");
    activeFileName_ = "default.txt";
    link_->applyDefaultStreamConfig();
}

int MocapGloveState::serialConnected_locked(bool again) {
    streaming_.store(false);
    configureAfterConnect_locked();
    connected_.store(true);
    reconnecting_.store(false);
    emit serialConnectStatus(true);
    emit batteryStatus(link_->batteryLevel());
    serialNumber_.store(link_->readSerialNumber());
    emit gloveSerialNumber(serialNumber_.load());
    const bool right = link_->queryRightHand();
    rightHand_.store(right);
    currentHand_.store(right ? rightHandModel_ : leftHandModel_);
    emit gloveIsRightHand(right);
    link_->querySensorCount();
    if (link_->connectionLost()) {
        connectionLost_locked();
        return None;
    }
    return again ? restoreAfterReconnect_locked() : FileList;
}

int MocapGloveState::restoreAfterReconnect_locked() {
    if (sentConfig_) {
        const StreamConfig& c = *sentConfig_;
        link_->setFrameRateMultiplier(c.frameRateMultiplier);
        link_->configureOutputs(c.wifiEnable, c.wifiDivider, c.usbEnable, c.usbDivider, c.sdEnable,
                                c.sdDivider);
    }
    emitText(&MocapGloveState::commandStatus, "Glove reconnected");
    const bool resume = resumeStreaming_;
    resumeStreaming_ = false;
    if (hwCalMode_.load()) {
        return PollLoop;
    }
    if (resume) {
        link_->startStreaming();
        streaming_.store(true);
        return None;
    }
    return FileList;
}

void MocapGloveState::setFrameObserver(std::function<void(const FrameSample*)> observer) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    frameObserver_ = std::move(observer);
}

void MocapGloveState::notifyFrame_locked(bool read) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    if (!frameObserver_ || !read) {
        return;
    }
    // The angles are those of the hand update just run (the last ones while it is suspended).
    FrameSample sample;
    link_->frameTime(sample.time);
    link_->copyRaw(sample.raw);
    link_->copyAngles(sample.angles);
    frameObserver_(&sample);
}

void MocapGloveState::connectionLost_locked() {
    {
        std::lock_guard<std::mutex> lock(observerMutex_);
        if (frameObserver_) {
            frameObserver_(nullptr);
        }
    }
    resumeStreaming_ = resumeStreaming_ || streaming_.load();
    link_->dropConnection();
    connected_.store(false);
    streaming_.store(false);
    reconnecting_.store(true);
    nextRetry_ = std::chrono::steady_clock::now() + link_->timing().reconnectInterval;
    emitText(&MocapGloveState::commandStatus,
             useSerial_.load() ? "Glove connection lost, reopening the port until it is back"
                               : "Glove connection lost, waiting for it to connect again");
}

int MocapGloveState::retrySerial_locked(bool now) {
    const auto at = std::chrono::steady_clock::now();
    if (!now && at < nextRetry_) {
        return None;
    }
    nextRetry_ = at + link_->timing().reconnectInterval;
    if (!link_->openSerial(QString::fromStdString(portName()), false)) {
        return None;
    }
    return serialConnected_locked(true);
}

int MocapGloveState::runCommand_locked(int code) {
    switch (code) {
        case Connect: {
            if (useSerial_.load()) {
                if (!link_->openSerial(QString::fromStdString(portName()))) {
                    emit serialConnectStatus(false);
                    return None;
                }
                sentConfig_.reset();
                return serialConnected_locked(false);
            }
            QHostAddress address;
            {
                QMutexLocker values(&valuesMutex_);
                address = listenAddress_;
            }
            const int port = tcpPort_.load();
            if (link_->isListening()) {
                // Asked again while waiting for the glove: keep waiting on the same port rather
                // than report a failure; a changed port is taken up afresh.
                if (port == 0 || link_->serverPort() == port) {
                    return None;
                }
                link_->close();
                listeningPort_.store(0);
            }
            if (port < 0 || port > 65535 || !link_->listen(static_cast<quint16>(port), address)) {
                emitText(&MocapGloveState::socketConnectStatus, "Error: Cannot open listen port");
                return None;
            }
            listeningPort_.store(link_->serverPort());
            return None;
        }
        case Disconnect:
            link_->close();
            connected_.store(false);
            reconnecting_.store(false);
            resumeStreaming_ = false;
            // The stream ends with the connection; a later connection must not show one.
            streaming_.store(false);
            listeningPort_.store(0);
            return None;
        case StartStreaming:
            emitText(&MocapGloveState::commandStatus, "Requesting Start Streaming");
            if (link_->lowPower()) {
                link_->setLowPower(false);
            }
            link_->startStreaming();
            streaming_.store(true);
            return None;
        case StopStreaming:
            link_->stopStreaming();
            streaming_.store(false);
            return None;
        case Reboot:
            emitText(&MocapGloveState::commandStatus, "Rebooting glove");
            link_->reboot();
            link_->close();
            streaming_.store(false);
            connected_.store(false);
            listeningPort_.store(0);
            return None;
        case BatteryStatus:
            if (!streaming_.load()) {
                emit batteryStatus(link_->batteryLevel());
            }
            return None;
        case ToggleLowPower:
            link_->setLowPower(!link_->lowPower());
            return None;
        case SetTime:
            link_->setTime(setTimeHMS_[0], setTimeHMS_[1], setTimeHMS_[2]);
            return None;
        case GetTime:
            link_->getTime(gloveTime_);
            emit gloveTime(gloveTime_);
            return None;
        case SyncStreamConfig: {
            emitText(&MocapGloveState::commandStatus, "Configure streaming parameters.");
            const StreamConfig c = streamConfig();
            link_->setFrameRateMultiplier(c.frameRateMultiplier);
            link_->configureOutputs(c.wifiEnable, c.wifiDivider, c.usbEnable, c.usbDivider,
                                    c.sdEnable, c.sdDivider);
            sentConfig_ = c;
            return None;
        }
        case SetActiveFile:
            emitText(&MocapGloveState::commandStatus, "Setting active file...");
            link_->setActiveFile(activeFileName_.c_str(), nullptr);
            emitText(&MocapGloveState::commandStatus, "Active file set");
            return SyncStreamConfig;
        case FileList: {
            emitText(&MocapGloveState::commandStatus, "Requesting file list...");
            std::vector<char> buffer(GloveLink::kFileListSize, '\0');
            const int n = std::clamp(link_->getFileList(buffer.data(), GloveLink::kFileListSize), 0,
                                     GloveLink::kFileListSize);
            const auto end = std::find(buffer.begin(), buffer.begin() + n, '\0');
            fileListText_.assign(buffer.begin(), end);
            emit fileList(&fileListText_);
            return None;
        }
        case Download:
            link_->downloadActiveFile(activeFileData_);
            link_->clearLog();
            emit activeFileData(&activeFileData_);
            return None;
        case EnterHardwareCalibration: {
            if (streaming_.load()) {
                link_->stopStreaming();
                streaming_.store(false);
            }
            link_->configureOutputs(false, 1, true, 1, false, 1);
            // Seeded with the current block, so a failed read leaves it as it was.
            uint8_t block[glove::kHardwareBlockReadSize];
            {
                QMutexLocker values(&valuesMutex_);
                std::copy(hwCalOffsets_.begin(), hwCalOffsets_.end(), block);
                std::copy(hwCalGains_.begin(), hwCalGains_.end(), block + glove::kSensorIndexCount);
            }
            link_->readHardwareCalibration(block);
            QMutexLocker values(&valuesMutex_);
            std::copy(block, block + glove::kSensorIndexCount, hwCalOffsets_.begin());
            std::copy(block + glove::kSensorIndexCount, block + glove::kHardwareBlockReadSize,
                      hwCalGains_.begin());
            debugBlock("Map HW Cal\n", hwCalOffsets_.data(), hwCalGains_.data(),
                       glove::kSensorIndexCount);
            return PollLoop;
        }
        case LeaveHardwareCalibration:
            return SyncStreamConfig;
        case SyncHardwareCalibration: {
            if (streaming_.load()) {
                link_->stopStreaming();
                streaming_.store(false);
            }
            HardwareBlock offsets, gains;
            hardwareCalibration(offsets, gains);
            const auto block = glove::encodeHardwareBlock(offsets, gains);
            link_->writeHardwareCalibration(block.data());
            return PollLoop;
        }
        case PollLoop:
            link_->pollSample();
            if (!handUpdateSuspended_.load()) {
                updateHand_locked();
            }
            return PollLoop;
        case CommitEEPROM:
            link_->commitEEPROM();
            return None;
        case WriteSerialAndHand:
            // The glove has no handedness entry to write; only the number is sent.
            link_->writeSerialNumber(serialNumber_.load());
            return None;
        default:
            return None;  // unknown codes are dropped
    }
}

// ---- TCP connection -----------------------------------------------------------------------

void MocapGloveState::connectTCP() {
    QMutexLocker locker(&lock_);
    if (stopped_.load()) {
        return;
    }
    if (connected_.load() && link_->connectionLost()) {
        // The glove is back before its old connection was noticed to be gone.
        connectionLost_locked();
    }
    if (connected_.load()) {
        // One glove at a time: a second connection must not take over the first one's link.
        while (link_->hasPendingConnections()) {
            QTcpSocket* extra = link_->nextPendingConnection();
            if (extra != nullptr) {
                extra->abort();
                delete extra;
            }
        }
        return;
    }
    emitText(&MocapGloveState::socketConnectStatus, "Glove Connection Request Received");
    if (!link_->acceptConnection()) {
        return;
    }
    const bool again = reconnecting_.load();
    if (!again) {
        sentConfig_.reset();
    }
    emitText(&MocapGloveState::socketConnectStatus, "Configuring Glove...");
    streaming_.store(false);
    configureAfterConnect_locked();
    link_->setTime(0, 0, 0);
    const bool right = link_->queryRightHand();
    rightHand_.store(right);
    currentHand_.store(right ? rightHandModel_ : leftHandModel_);
    emit gloveIsRightHand(right);
    link_->querySensorCount();
    if (link_->connectionLost()) {
        // Gone again during the set-up: stay (or start) waiting for it.
        connected_.store(true);
        connectionLost_locked();
        return;
    }
    emitText(&MocapGloveState::socketConnectStatus, "Glove Connected");
    connected_.store(true);
    reconnecting_.store(false);
    // Set directly: requesting would take the non-recursive lock held here again.
    storeCommand(again ? restoreAfterReconnect_locked() : FileList);
}

// ---- OK gesture ---------------------------------------------------------------------------

double MocapGloveState::okGestureCost_locked(int x, int y) {
    link_->setCalibrationOffset(0, x);
    link_->setCalibrationOffset(3, y);
    updateHand_locked();
    QMutexLocker hands(&handModelMutex_);
    const kpxHumanHand* hand = currentHand_.load();
    kpxTransform3D t1, t2;
    for (int j = 0; j <= GHM::TIP; ++j) {
        t1.mul(hand->getLinkTransform(GHM::THUMB, j), 0);
        t2.mul(hand->getLinkTransform(GHM::INDEX, j), 0);
    }
    kpxVector3d thumbTip, indexTip;
    t1.transform(kpxVector3d(0, 0, 0), thumbTip);
    t2.transform(kpxVector3d(0, 0, 0), indexTip);
    kpxVector3d d;
    d.sub(thumbTip, indexTip);
    return d.length();
}

void MocapGloveState::okGestureCalibration() {
    // The lock keeps the worker's angle computation away from the calibration table while
    // the search rewrites it; the search does no glove I/O.
    QMutexLocker locker(&lock_);
    handUpdateSuspended_.store(true);
    constexpr int kGrid = 256;
    std::vector<bool> visited(kGrid * kGrid, false);
    int x = 127, y = 127;
    int dx = 0, dy = 0;
    double best = -0.000001;
    while (best <= 0 && x >= 0 && x < kGrid && y >= 0 && y < kGrid && !visited[x * kGrid + y]) {
        const double c = okGestureCost_locked(x, y);
        visited[x * kGrid + y] = true;
        double delta[3][3];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                delta[i][j] = (i == 1 && j == 1)
                                  ? 0.0
                                  : okGestureCost_locked(x + 2 * (i - 1), y + 2 * (j - 1)) - c;
            }
        }
        best = 0;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                if (delta[i][j] < best) {
                    best = delta[i][j];
                    dx = i - 1;
                    dy = j - 1;
                }
            }
        }
        const int step = static_cast<int>(c + 1);
        x += step * dx;
        y += step * dy;
    }
    link_->setCalibrationOffset(0, x);
    link_->setCalibrationOffset(3, y);
    handUpdateSuspended_.store(false);
}
