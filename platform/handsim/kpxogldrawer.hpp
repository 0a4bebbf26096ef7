#pragma once
// Fixed-function OpenGL drawer of a posed hand model (the palm and every link as shaded
// boxes, the joints as small spheres) and of a whole scene graph (groups, transforms, boxes,
// spheres, and a registered hand's parts as the capsules and box the simulation collides).
// Draws into the current GL context; call it on the thread that owns that context, with the
// hand not being updated meanwhile (for a scene: holding the scene-graph lock).

class kpxHumanHand;
class kpxNode;
class kpxShape3D;
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
    // Draws the graph below `scene` (the node's own transform included) at `placement`. A
    // null scene draws nothing. Hand parts take the hand colour, other shapes the scene's.
    virtual void draw(const kpxTransform3D& placement, const kpxNode* scene);

    // Surface colour of the hand, RGB 0..1.
    void setColor(float r, float g, float b);
    // Surface colour of the scene's own shapes, RGB 0..1.
    void setSceneColor(float r, float g, float b);

  private:
    GLUquadric* quadric();
    void drawNode(const kpxNode* node, int depth);
    void drawShape(const kpxShape3D& shape);

    GLUquadric* m_quadric = nullptr;
    float m_color[4] = {0.93f, 0.76f, 0.64f, 1.0f};
    float m_sceneColor[4] = {0.35f, 0.55f, 0.9f, 1.0f};
};
