// The demo window on a real (virtual) X display: what happens without a display, and a
// window that draws its frames, saves a screenshot and returns from its loop when closed.
// The tests share one process and freeglut initialises once: the no-display case runs first.
#include <GL/gl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/demoapp.hpp"
#include "framework/demomessage.hpp"
#include "framework/guilink.hpp"

// xclose.cpp (kept apart: Xlib's macros clash with GoogleTest's names).
bool closeWindowTitled(const char* title);

namespace {

class CountingApp : public DemoApp {
  public:
    using DemoApp::DemoApp;
    void draw() override {
        double m[16];
        glGetDoublev(GL_PROJECTION_MATRIX, m);
        projections.emplace_back(m, m + 16);
        glGetDoublev(GL_MODELVIEW_MATRIX, m);
        modelviews.emplace_back(m, m + 16);
    }
    std::vector<std::vector<double>> projections, modelviews;
};

TEST(DemoWindow, MissingDisplayIsReportedAsAMessage) {
    std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    setenv("DISPLAY", ":31999", 1);
    setenv("MANUVIA_MESSAGES", "stderr", 1);
    CountingApp app(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(app.openWindow(), NTGuiLink::WINDOW_FAILED);
    EXPECT_EQ(app.runMessageLoop(), NTGuiLink::WINDOW_FAILED) << "no loop without a window";
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error: NTGuiLink::createWindow: cannot open the display \":31999\""),
              std::string::npos)
        << err;
    EXPECT_STREQ(app.getName(), "Untitled");
    setenv("DISPLAY", display.c_str(), 1);
}

TEST(DemoWindow, DrawsFramesFromIdentityAndReturnsWhenClosed) {
    std::string shot = std::string(SCREENSHOT_DIR) + "/demo_framework.png";
    std::remove(shot.c_str());
    setenv("MANUVIA_DEMO_FRAMES", "6", 1);
    setenv("MANUVIA_DEMO_SCREENSHOT", shot.c_str(), 1);
    setenv("MANUVIA_DEMO_SCREENSHOT_FRAME", "2", 1);
    CountingApp app("Framework");
    ASSERT_EQ(app.openWindow(), 0);
    EXPECT_EQ(app.getWidth(), 512);
    EXPECT_EQ(app.runMessageLoop(), 0);
    EXPECT_EQ(app.getGuiLink()->getWindow(), 0) << "the window is gone after the loop";
    ASSERT_EQ(app.projections.size(), 6u);
    // Frustum (-2, 2, -2, 2, 3, 500) alone: x scale 2n/(r-l) = 1.5, every frame.
    EXPECT_NEAR(app.projections.back()[0], 1.5, 1e-9);
    EXPECT_EQ(app.projections.front(), app.projections.back());
    EXPECT_EQ(app.modelviews.front(), app.modelviews.back());
    // Camera at (0, 2, 22) looking at the origin, the model 10 further along -z: the model's
    // origin (0, 0, -10) lies (2 * 2 + 32 * 22) / |(0, 2, 22)| in front of the camera.
    EXPECT_NEAR(app.modelviews.back()[14], -(4.0 + 704.0) / std::sqrt(488.0), 1e-4);
    std::ifstream png(shot, std::ios::binary);
    char magic[8] = {};
    png.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG") << shot;
}

TEST(DemoWindow, ClosingTheWindowReturnsFromTheLoop) {
    unsetenv("MANUVIA_DEMO_SCREENSHOT");
    // Should the close never arrive, the loop still ends (and the test fails, not hangs).
    setenv("MANUVIA_DEMO_FRAMES", "2000", 1);
    CountingApp app("Close me");
    ASSERT_EQ(app.openWindow(), 0);
    bool closed = false;
    std::thread user([&] { closed = closeWindowTitled("Close me"); });
    EXPECT_EQ(app.runMessageLoop(), 0);
    user.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(app.getGuiLink()->getWindow(), 0);
    EXPECT_LT(app.projections.size(), 2000u);
}

TEST(DemoMessage, DialogWaitsForTheUser) {
    unsetenv("MANUVIA_MESSAGES");
    bool closed = false;
    std::thread user([&] { closed = closeWindowTitled("Dialog title"); });
    demoMessageBox("Dialog title", "first line\nsecond line");  // returns once dismissed
    user.join();
    EXPECT_TRUE(closed);
}

}  // namespace
