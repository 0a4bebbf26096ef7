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
#include <vector>

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

// The posed hand's bounding sphere in view coordinates: the palm's corners, every joint and
// every fingertip, padded by the thickest link. Called with the hand models locked.
static void handBounds(const kpxHumanHand& hand, double out_centre[3], double* out_radius) {
    const kpxTransform3D base = hand.getBaseTransform();
    std::vector<kpxVector3d> points;
    const kpxHumanHand::PalmGeometry palm = hand.getPalm();
    for (double x : {palm.xMin, palm.xMax})
        for (double y : {0.0, palm.length})
            for (double z : {palm.zMin, palm.zMax})
                points.emplace_back(x, y, z);
    double pad = 0.0;
    for (int f = 0; f < GHM::NUM_FINGERS; ++f) {
        for (int j = 0; j < 3; ++j)
            points.push_back(hand.getChainTransform(f, j).getTranslation());
        points.push_back(hand.getFingertipPosition(f));
        pad = std::max({pad, hand.getLinkWidth(f) / 2.0, hand.getLinkThickness(f) / 2.0});
    }
    double lo[3] = {1e300, 1e300, 1e300};
    double hi[3] = {-1e300, -1e300, -1e300};
    for (kpxVector3d& p : points) {
        base.transform(p);
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], p[k]);
            hi[k] = std::max(hi[k], p[k]);
        }
    }
    double r2 = 0.0;
    for (int k = 0; k < 3; ++k)
        out_centre[k] = (lo[k] + hi[k]) / 2.0;
    for (const kpxVector3d& p : points) {
        double d2 = 0.0;
        for (int k = 0; k < 3; ++k)
            d2 += (p[k] - out_centre[k]) * (p[k] - out_centre[k]);
        r2 = std::max(r2, d2);
    }
    *out_radius = std::sqrt(r2) + pad;
}

// Frames the sphere: the camera keeps its viewing direction (from (0, 50, -10) towards
// (0, 10, 0)) and field of view, and moves so the sphere just fits the square viewport.
void GLWidget::fitCamera(const double centre[3], double radius) {
    constexpr double kTanHalf = 5.0 / 15.0;  // the frustum's half-width over its near plane
    const double dir[3] = {0.0, -40.0, 10.0};
    const double len = std::sqrt(dir[1] * dir[1] + dir[2] * dir[2]);
    const double sinHalf = kTanHalf / std::sqrt(1.0 + kTanHalf * kTanHalf);
    radius = std::max(radius, 0.1) * 1.08;  // a small margin around the hand
    const double distance = radius / sinHalf;
    const double nearPlane = std::max(distance - radius, distance * 0.05);
    const double farPlane = distance + radius;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-nearPlane * kTanHalf, nearPlane * kTanHalf, -nearPlane * kTanHalf,
              nearPlane * kTanHalf, nearPlane, farPlane);
    gluLookAt(centre[0] - dir[0] / len * distance, centre[1] - dir[1] / len * distance,
              centre[2] - dir[2] / len * distance, centre[0], centre[1], centre[2], 0.0, 1.0, 0.0);
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
    double centre[3];
    double radius = 0.0;
    handBounds(*hand_, centre, &radius);
    fitCamera(centre, radius);
    glLoadIdentity();
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
