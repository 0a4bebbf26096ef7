#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxhumanhand.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxogldrawer.hpp"
#include "handsim/kpxshape3d.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexagloveemulator.hpp"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <link.h>

namespace {

constexpr int kSize = 200;

// One hidden GLUT window for the whole program; GLUT cannot be initialised twice.
class GlWindow : public ::testing::Environment {
  public:
    void SetUp() override {
        int argc = 1;
        char name[] = "handsim_draw_tests";
        char* argv[] = {name, nullptr};
        glutInit(&argc, argv);
        glutInitDisplayMode(GLUT_RGBA | GLUT_DEPTH | GLUT_SINGLE);
        glutInitWindowSize(kSize, kSize);
        window_ = glutCreateWindow("handsim");
        pinGlDriver();
    }
    void TearDown() override {
        // Releases the GL context, so the driver's buffers do not outlive the program.
        glutDestroyWindow(window_);
        glutExit();
    }

  private:
    // Mesa's driver keeps context buffers until exit and is unloaded before the leak check,
    // which then cannot name it for its suppression; keeping it loaded lets it be named.
    static void pinGlDriver() {
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void*) {
                const std::string name = info->dlpi_name ? info->dlpi_name : "";
                if (name.find("_dri.so") != std::string::npos ||
                    name.find("libGLX_mesa") != std::string::npos) {
                    dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
                }
                return 0;
            },
            nullptr);
    }

    int window_ = 0;
};

struct Coverage {
    int pixels = 0;
    double meanX = 0.0;  // mean column of covered pixels, relative to the centre
};

// Looks down on the hand frame from +z so the palm plane fills the view, draws, and
// measures which pixels the drawing covers.
Coverage render(const std::function<void()>& draw) {
    glViewport(0, 0, kSize, kSize);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    const float lightPos[4] = {0.0f, 0.0f, 50.0f, 1.0f};
    glLightfv(GL_LIGHT0, GL_POSITION, lightPos);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-15, 15, -5, 25, -50, 50);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    GLint depthBefore = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthBefore);
    draw();
    GLint depthAfter = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthAfter);
    EXPECT_EQ(depthBefore, depthAfter);
    glFinish();

    std::vector<unsigned char> rgb(kSize * kSize * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, kSize, kSize, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Coverage c;
    double sumX = 0.0;
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const unsigned char* p = &rgb[(y * kSize + x) * 3];
            if (p[0] + p[1] + p[2] > 30) {
                ++c.pixels;
                sumX += x - kSize / 2.0;
            }
        }
    }
    if (c.pixels > 0) {
        c.meanX = sumX / c.pixels;
    }
    return c;
}

Coverage render(kpxOglDrawer& drawer, const kpxHumanHand* hand) {
    return render([&] { drawer.draw(kpxTransform3D(), hand); });
}

struct Rig {
    kpxVexaGloveEmulator glove;
    kpxTrackerEmulator tracker;
    kpxHandMaster master{&glove, tracker.getDevice(0)};
    kpxHumanHand right{&master, 1.0, GHM::RIGHT_HAND};
    kpxHumanHand left{&master, 1.0, GHM::LEFT_HAND};
};

TEST(OglDrawer, DrawsShadedHandAndNothingWithoutOne) {
    kpxOglDrawer drawer;
    Rig rig;
    EXPECT_EQ(render(drawer, nullptr).pixels, 0);
    const Coverage flat = render(drawer, &rig.right);
    // The flat hand seen from above covers a good part of the 30 x 30 cm view.
    EXPECT_GT(flat.pixels, kSize * kSize / 12);
}

TEST(OglDrawer, FistCoversLessThanFlatHand) {
    kpxOglDrawer drawer;
    Rig rig;
    const Coverage flat = render(drawer, &rig.right);
    for (int f = 1; f < 5; ++f) {
        rig.glove.setJointValue(f, 0, -1.5);
        rig.glove.setJointValue(f, 1, -1.6);
        rig.glove.setJointValue(f, 2, -1.0);
    }
    rig.right.update(false);
    const Coverage fist = render(drawer, &rig.right);
    EXPECT_LT(fist.pixels, flat.pixels * 0.8);
    EXPECT_GT(fist.pixels, 0);
}

TEST(OglDrawer, LeftHandIsDrawnMirrored) {
    kpxOglDrawer drawer;
    Rig rig;
    const Coverage right = render(drawer, &rig.right);
    const Coverage left = render(drawer, &rig.left);
    // The right thumb points to -x, so its picture leans left of centre; the left's to the right.
    EXPECT_LT(right.meanX, -1.0);
    EXPECT_NEAR(left.meanX, -right.meanX, 1.5);
    EXPECT_NEAR(left.pixels, right.pixels, right.pixels / 50);
}

// A sphere placed by a transform group left of centre, a box placed by its own transform
// right of it: each covers about its outline's area (6.7 pixels a centimetre).
TEST(OglDrawer, DrawsTheSceneGraphsGroupsSpheresAndBoxes) {
    kpxOglDrawer drawer;
    kpxGroup root;
    kpxTransformGroup left;
    kpxShape3D sphere(new kpxVertexSphere(3.0, 20, 20));
    kpxShape3D box(new kpxVertexBox(4.0, 4.0, 4.0));
    kpxTransform3D t;
    t.setTranslation(kpxVector3d(-8.0, 10.0, 0.0));
    left.setTransform(t);
    t.setTranslation(kpxVector3d(8.0, 10.0, 0.0));
    box.setTransform(t);
    root.addChild(&left);
    left.addChild(&sphere);
    root.addChild(&box);
    const double perCm2 = (kSize / 30.0) * (kSize / 30.0);

    EXPECT_EQ(render([&] { drawer.draw(kpxTransform3D(), static_cast<kpxNode*>(nullptr)); }).pixels,
              0);
    const Coverage both = render([&] { drawer.draw(kpxTransform3D(), &root); });
    root.removeChild(&box);
    const Coverage sphereOnly = render([&] { drawer.draw(kpxTransform3D(), &root); });
    const Coverage boxOnly = render([&] { drawer.draw(kpxTransform3D(), &box); });
    EXPECT_NEAR(sphereOnly.pixels, std::numbers::pi * 9.0 * perCm2, 0.2 * 9.0 * 3.14 * perCm2);
    EXPECT_NEAR(sphereOnly.meanX, -8.0 * kSize / 30.0, 2.0);
    EXPECT_NEAR(boxOnly.pixels, 16.0 * perCm2, 0.2 * 16.0 * perCm2);
    EXPECT_NEAR(boxOnly.meanX, 8.0 * kSize / 30.0, 2.0);
    EXPECT_EQ(both.pixels, sphereOnly.pixels + boxOnly.pixels);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new GlWindow);
    return RUN_ALL_TESTS();
}
