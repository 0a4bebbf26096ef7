#include "handsim/kpxogldrawer.hpp"

#include "handsim/ghm.hpp"
#include "handsim/kpxhumanhand.hpp"
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

}  // namespace

kpxOglDrawer::kpxOglDrawer() = default;

kpxOglDrawer::~kpxOglDrawer() {
    if (m_quadric != nullptr) {
        gluDeleteQuadric(m_quadric);
    }
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
