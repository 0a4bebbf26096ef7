#include "app/glwidget.hpp"

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "worker/mocapglovestate.hpp"

#include <GL/gl.h>
#include <GL/glu.h>
#include <QMouseEvent>
#include <QMutexLocker>
#include <QSurfaceFormat>
#include <QTimerEvent>
#include <algorithm>
#include <cmath>

GLWidget::GLWidget(QWidget* parent)
    : QOpenGLWidget(parent), clearColorBase_(QColor::fromCmykF(0.39f, 0.39f, 0.0f, 0.0f)) {
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setSamples(4);
    format.setDepthBufferSize(24);
    setFormat(format);
    placement_.identity();
    timerId_ = startTimer(kRedrawMs);
}

GLWidget::~GLWidget() {
    if (timerId_ != 0) {
        killTimer(timerId_);
    }
}

QSize GLWidget::sizeHint() const {
    return QSize(400, 400);
}

QSize GLWidget::minimumSizeHint() const {
    return QSize(50, 50);
}

int GLWidget::normalizeAngle(int angle) {
    while (angle < 0) {
        angle += kFullTurn;
    }
    while (angle > kFullTurn) {
        angle -= kFullTurn;
    }
    return angle;
}

void GLWidget::setXRotation(int angle) {
    angle = normalizeAngle(angle);
    if (angle != xRot_) {
        xRot_ = angle;
        emit xRotationChanged(angle);
        update();
    }
}

void GLWidget::setYRotation(int angle) {
    angle = normalizeAngle(angle);
    if (angle != yRot_) {
        yRot_ = angle;
        emit yRotationChanged(angle);
        update();
    }
}

void GLWidget::setZRotation(int angle) {
    angle = normalizeAngle(angle);
    if (angle != zRot_) {
        zRot_ = angle;
        emit zRotationChanged(angle);
        update();
    }
}

void GLWidget::newGloveConnected(bool) {
    // The state has already chosen the model by handedness.
    MocapGloveState* state = MocapGloveState::instance();
    QMutexLocker hands(&state->handModelMutex());
    hand_ = state->currentHandModel();
    handTracker_ = hand_ != nullptr ? hand_->getMaster()->get6DofDevice() : nullptr;
}

void GLWidget::initializeGL() {
    const QColor clear = clearColorBase_.darker(200);
    glClearColor(clear.redF(), clear.greenF(), clear.blueF(), clear.alphaF());
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glShadeModel(GL_SMOOTH);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
#ifdef GL_MULTISAMPLE
    glEnable(GL_MULTISAMPLE);
#endif
    static const GLfloat lightPosition[4] = {0.0f, 25.0f, -5.0f, 1.0f};
    glLightfv(GL_LIGHT0, GL_POSITION, lightPosition);
}

void GLWidget::resizeGL(int width, int height) {
    const int side = std::min(width, height);
    viewport_ = QRect((width - side) / 2, (height - side) / 2, side, side);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-5.0, 5.0, -5.0, 5.0, 15.0, 100.0);
    gluLookAt(0.0, 50.0, -10.0, 0.0, 10.0, 0.0, 0.0, 1.0, 0.0);
    glMatrixMode(GL_MODELVIEW);
}

void GLWidget::paintGL() {
    // The widget resets the viewport to its whole framebuffer before every paint; the square
    // one chosen at resize is put back here (in device pixels).
    const qreal ratio = devicePixelRatioF();
    glViewport(static_cast<GLint>(viewport_.x() * ratio), static_cast<GLint>(viewport_.y() * ratio),
               static_cast<GLsizei>(viewport_.width() * ratio),
               static_cast<GLsizei>(viewport_.height() * ratio));
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    if (hand_ == nullptr) {
        return;
    }
    constexpr double kToRadians = M_PI / 180.0 / 16.0;
    QMutexLocker hands(&MocapGloveState::instance()->handModelMutex());
    for (int i = 0; i < 3; ++i) {
        handTracker_->setValue(i, 0.0);
    }
    handTracker_->setValue(3, xRot_ * kToRadians);
    handTracker_->setValue(4, yRot_ * kToRadians);
    handTracker_->setValue(5, zRot_ * kToRadians);
    placement_.identity();
    hand_->update(true);
    drawer_.draw(placement_, hand_);
}

void GLWidget::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timerId_) {
        update();
        return;
    }
    QOpenGLWidget::timerEvent(event);
}

void GLWidget::mousePressEvent(QMouseEvent* event) {
    lastPos_ = event->position().toPoint();
}

void GLWidget::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    const int dx = pos.x() - lastPos_.x();
    const int dy = pos.y() - lastPos_.y();
    if (event->buttons() & Qt::LeftButton) {
        setXRotation(xRot_ + 8 * dy);
        setYRotation(yRot_ - 8 * dx);
    } else if (event->buttons() & Qt::RightButton) {
        setXRotation(xRot_ + 8 * dy);
        setZRotation(zRot_ + 8 * dx);
    }
    lastPos_ = pos;
}
