#include "handsim/kpxogldrawer.hpp"

#include "handsim/ghm.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxshape3d.hpp"
#include "handsim/kpxtransform3d.hpp"

#include <GL/gl.h>
#include <GL/glu.h>

namespace {

void multMatrix(const kpxTransform3D& t) {
    double m[16];
    t.getOpenGLMatrix(m);
    glMultMatrixd(m);
}

// Axis-aligned box with outward normals, so lighting shades each face.
void box(double x0, double x1, double y0, double y1, double z0, double z1) {
    glBegin(GL_QUADS);
    glNormal3d(0, 0, 1);
    glVertex3d(x0, y0, z1);
    glVertex3d(x1, y0, z1);
    glVertex3d(x1, y1, z1);
    glVertex3d(x0, y1, z1);
    glNormal3d(0, 0, -1);
    glVertex3d(x0, y0, z0);
    glVertex3d(x0, y1, z0);
    glVertex3d(x1, y1, z0);
    glVertex3d(x1, y0, z0);
    glNormal3d(0, 1, 0);
    glVertex3d(x0, y1, z0);
    glVertex3d(x0, y1, z1);
    glVertex3d(x1, y1, z1);
    glVertex3d(x1, y1, z0);
    glNormal3d(0, -1, 0);
    glVertex3d(x0, y0, z0);
    glVertex3d(x1, y0, z0);
    glVertex3d(x1, y0, z1);
    glVertex3d(x0, y0, z1);
    glNormal3d(1, 0, 0);
    glVertex3d(x1, y0, z0);
    glVertex3d(x1, y1, z0);
    glVertex3d(x1, y1, z1);
    glVertex3d(x1, y0, z1);
    glNormal3d(-1, 0, 0);
    glVertex3d(x0, y0, z0);
    glVertex3d(x0, y0, z1);
    glVertex3d(x0, y1, z1);
    glVertex3d(x0, y1, z0);
    glEnd();
}

// Deeper graphs than this are not drawn further (the graph refuses cycles; this bounds the
// recursion all the same).
constexpr int kMaxDepth = 256;

void sphere(const kpxVertexSphere& s) {
    const auto& n = s.getNormals();
    const int row = s.getSlices() + 1;
    const double r = s.getRadius();
    for (int i = 0; i < s.getStacks(); ++i) {
        glBegin(GL_QUAD_STRIP);
        for (int j = 0; j < row; ++j) {
            for (int k : {i + 1, i}) {
                const kpxVector3d& v = n[static_cast<size_t>(k * row + j)];
                glNormal3d(v.getX(), v.getY(), v.getZ());
                glVertex3d(r * v.getX(), r * v.getY(), r * v.getZ());
            }
        }
        glEnd();
    }
}

}  // namespace

kpxOglDrawer::kpxOglDrawer() = default;

kpxOglDrawer::~kpxOglDrawer() {
    if (m_quadric != nullptr) {
        gluDeleteQuadric(m_quadric);
    }
}

void kpxOglDrawer::setSceneColor(float r, float g, float b) {
    m_sceneColor[0] = r;
    m_sceneColor[1] = g;
    m_sceneColor[2] = b;
}

void kpxOglDrawer::setColor(float r, float g, float b) {
    m_color[0] = r;
    m_color[1] = g;
    m_color[2] = b;
}

GLUquadric* kpxOglDrawer::quadric() {
    if (m_quadric == nullptr) {
        m_quadric = gluNewQuadric();
        if (m_quadric != nullptr) {
            gluQuadricNormals(m_quadric, GLU_SMOOTH);
        }
    }
    return m_quadric;
}

void kpxOglDrawer::draw(const kpxTransform3D& placement, const kpxHumanHand* hand) {
    if (hand == nullptr) {
        return;
    }
    glPushAttrib(GL_LIGHTING_BIT | GL_ENABLE_BIT);
    glEnable(GL_NORMALIZE);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, m_color);
    glColor4fv(m_color);

    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    multMatrix(placement);
    multMatrix(hand->getBaseTransform());

    const kpxHumanHand::PalmGeometry palm = hand->getPalm();
    box(palm.xMin, palm.xMax, 0.0, palm.length, palm.zMin, palm.zMax);

    GLUquadric* q = quadric();
    for (int f = 0; f < GHM::NUM_FINGERS; ++f) {
        const double w = hand->getLinkWidth(f) / 2.0;
        const double t = hand->getLinkThickness(f) / 2.0;
        glPushMatrix();
        for (int j = 0; j < 3; ++j) {
            multMatrix(hand->getLinkTransform(f, j));
            if (q != nullptr) {
                gluSphere(q, t * 1.05, 12, 8);
            }
            // Links shrink a little towards the tip, as real phalanges do.
            const double taper = 1.0 - 0.08 * j;
            box(-w * taper, w * taper, 0.0, hand->getLinkLength(f, j), -t * taper, t * taper);
        }
        glPopMatrix();
    }

    glPopMatrix();
    glPopAttrib();
}

void kpxOglDrawer::draw(const kpxTransform3D& placement, const kpxNode* scene) {
    if (scene == nullptr) {
        return;
    }
    glPushAttrib(GL_LIGHTING_BIT | GL_ENABLE_BIT | GL_CURRENT_BIT);
    glEnable(GL_NORMALIZE);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    multMatrix(placement);
    drawNode(scene, 0);
    glPopMatrix();
    glPopAttrib();
}

void kpxOglDrawer::drawNode(const kpxNode* node, int depth) {
    if (depth > kMaxDepth) {
        return;
    }
    glPushMatrix();
    multMatrix(node->getLocalTransform());
    if (const auto* shape = dynamic_cast<const kpxShape3D*>(node)) {
        drawShape(*shape);
    } else if (const auto* group = dynamic_cast<const kpxGroup*>(node)) {
        for (int i = 0; i < group->numChildren(); ++i) {
            drawNode(group->getChild(i), depth + 1);
        }
    }
    glPopMatrix();
}

void kpxOglDrawer::drawShape(const kpxShape3D& shape) {
    const float* colour = shape.getPhysicalKind() == kpxShape3D::HAND_PART ? m_color : m_sceneColor;
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, colour);
    glColor4fv(colour);
    const kpxGeometry* g = shape.getGeometry();
    switch (g->kind()) {
        case kpxGeometry::BOX: {
            const auto& b = static_cast<const kpxVertexBox&>(*g);
            box(-b.getX() / 2, b.getX() / 2, -b.getY() / 2, b.getY() / 2, -b.getZ() / 2,
                b.getZ() / 2);
            break;
        }
        case kpxGeometry::SPHERE:
            sphere(static_cast<const kpxVertexSphere&>(*g));
            break;
        case kpxGeometry::CAPSULE: {
            const auto& c = static_cast<const kpxCapsule&>(*g);
            GLUquadric* q = quadric();
            if (q == nullptr) {
                break;
            }
            const double r = c.getRadius(), h = c.getLength();
            // GLU's cylinders run along z; the capsule runs along y.
            glPushMatrix();
            glTranslated(0.0, -h / 2.0, 0.0);
            glRotated(-90.0, 1.0, 0.0, 0.0);
            gluCylinder(q, r, r, h, 12, 1);
            gluSphere(q, r, 12, 8);
            glTranslated(0.0, 0.0, h);
            gluSphere(q, r, 12, 8);
            glPopMatrix();
            break;
        }
    }
}
