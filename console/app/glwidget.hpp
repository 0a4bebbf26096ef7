#pragma once
// GLWidget: the 3-D hand view of the calibration page. Draws the state's current hand model,
// posed by the angles the worker feeds in, and turns it with the mouse through the hand's
// 6-DOF input. GUI thread only; the hand is read under the state's hand-model lock.

#include "handsim/kpxogldrawer.hpp"
#include "handsim/kpxtransform3d.hpp"

#include <QColor>
#include <QOpenGLWidget>
#include <QPoint>
#include <QRect>

class kpx6DofDevice;
class kpxHumanHand;

class GLWidget : public QOpenGLWidget {
    Q_OBJECT

  public:
    static constexpr int kFullTurn = 360 * 16;  // rotations are in 1/16 degree
    static constexpr int kRedrawMs = 30;

    explicit GLWidget(QWidget* parent = nullptr);
    ~GLWidget() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    int xRotation() const { return xRot_; }
    int yRotation() const { return yRot_; }
    int zRotation() const { return zRot_; }
    // The square viewport chosen by the last resize, in widget pixels.
    QRect viewportRect() const { return viewport_; }
    const kpxHumanHand* boundHand() const { return hand_; }
    // Into 0..5760 (5760 itself is kept).
    static int normalizeAngle(int angle);

  signals:
    void xRotationChanged(int angle);
    void yRotationChanged(int angle);
    void zRotationChanged(int angle);

  public slots:
    void setXRotation(int angle);
    void setYRotation(int angle);
    void setZRotation(int angle);
    void newGloveConnected(bool rightHand);

  protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    // Camera fitted to a bounding sphere in view coordinates (centimetres).
    void fitCamera(const double centre[3], double radius);

    int xRot_ = 3224;
    int yRot_ = 4375;
    int zRot_ = 1150;
    QPoint lastPos_{0, 0};
    QColor clearColorBase_;
    kpxHumanHand* hand_ = nullptr;          // the state's; not owned
    kpx6DofDevice* handTracker_ = nullptr;  // that hand's 6-DOF input; not owned
    kpxTransform3D placement_;
    kpxOglDrawer drawer_;
    QRect viewport_;
    int timerId_ = 0;
};
