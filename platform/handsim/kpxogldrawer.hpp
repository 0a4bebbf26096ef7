#pragma once
// Fixed-function OpenGL drawer of a posed hand model: the palm and every link as shaded
// boxes, the joints as small spheres. Draws into the current GL context; call it on the
// thread that owns that context, with the hand not being updated meanwhile.

class kpxHumanHand;
class kpxTransform3D;
struct GLUquadric;

class kpxOglDrawer {
  public:
    kpxOglDrawer();
    virtual ~kpxOglDrawer();
    kpxOglDrawer(const kpxOglDrawer&) = delete;
    kpxOglDrawer& operator=(const kpxOglDrawer&) = delete;

    // Draws the hand at `placement` (applied before the hand's own 6-DOF pose). A null hand
    // draws nothing. The model-view matrix is left as it was.
    virtual void draw(const kpxTransform3D& placement, const kpxHumanHand* hand);

    // Surface colour of the hand, RGB 0..1.
    void setColor(float r, float g, float b);

  private:
    GLUquadric* quadric();

    GLUquadric* m_quadric = nullptr;
    float m_color[4] = {0.93f, 0.76f, 0.64f, 1.0f};
};
