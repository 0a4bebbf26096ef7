#include "framework/guilink.hpp"

#include <GL/freeglut.h>
#include <GL/glu.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <link.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "framework/demoapp.hpp"
#include "framework/demomessage.hpp"
#include "framework/screenshot.hpp"

void demoModuleArguments(int** out_argc, char*** out_argv);

namespace {

NTGuiLink* gLinks[NTGuiLink::kMaxLinks] = {};
unsigned gUsed = 0;  // bit i: slot i holds a link
bool gGlutReady = false;

long envNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    return (errno == 0 && *end == '\0' && v >= 0) ? v : fallback;
}

// Mesa's GL driver keeps context buffers until exit but is unloaded when freeglut shuts
// down; kept loaded, a leak checker can still name it (and its suppression apply).
void pinGlDriver() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("_dri.so") != std::string::npos ||
                name.find("libGLX_mesa") != std::string::npos)
                dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}

}  // namespace

NTGuiLink::NTGuiLink(DemoApp* app) : GuiLink(app) {
    for (int i = 0; i < kMaxLinks; ++i) {
        if (!(gUsed & (1u << i))) {
            gUsed |= 1u << i;
            gLinks[i] = this;
            m_slot = i;
            break;
        }
    }
}

NTGuiLink::~NTGuiLink() {
    if (m_window != 0 && gGlutReady) {
        glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_CONTINUE_EXECUTION);
        glutDestroyWindow(m_window);
    }
    if (m_slot >= 0) {
        gLinks[m_slot] = nullptr;
        gUsed &= ~(1u << m_slot);
    }
}

NTGuiLink* NTGuiLink::linkOfCurrentWindow() {
    int window = glutGetWindow();
    for (int i = 0; i < kMaxLinks; ++i)
        if ((gUsed & (1u << i)) && gLinks[i]->m_window == window)
            return gLinks[i];
    return nullptr;
}

int NTGuiLink::createWindow() {
    if (m_window != 0)
        return m_status;
    if (m_slot < 0) {
        m_status = REGISTER_FAILED;
        demoMessageBox("Error -- RZi Demo", "NTGuiLink::createWindow: too many windows open");
        return m_status;
    }
    // freeglut ends the process when it cannot open the display: ask first. An X server
    // refuses connections for a moment while it resets after its last client left, so a
    // refusal is retried briefly, and the probe stays connected until freeglut is.
    if (!gGlutReady) {
        Display* display = XOpenDisplay(nullptr);
        for (int tries = 0; !display && tries < 20 && std::getenv("DISPLAY"); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            display = XOpenDisplay(nullptr);
        }
        if (!display) {
            m_status = WINDOW_FAILED;
            const char* name = std::getenv("DISPLAY");
            std::string text = std::string("NTGuiLink::createWindow: cannot open the display \"") +
                               (name ? name : "") + "\"";
            demoMessageBox("Error", text.c_str());
            return m_status;
        }
        int fallbackArgc = 1;
        char fallbackName[] = "demo";
        char* fallbackArgv[] = {fallbackName, nullptr};
        int* argc = nullptr;
        char** argv = nullptr;
        demoModuleArguments(&argc, &argv);
        if (!argc || !argv) {
            argc = &fallbackArgc;
            argv = fallbackArgv;
        }
        glutInit(argc, argv);
        XCloseDisplay(display);
        gGlutReady = true;
    }
    // Return from the loop on close, so the demo stops its simulation before teardown.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    // Nearest format to RGBA, double buffering and a 32-bit depth buffer.
    glutInitDisplayString("rgba double depth>=16 depth~32");
    if (!glutGet(GLUT_DISPLAY_MODE_POSSIBLE))
        glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    if (!glutGet(GLUT_DISPLAY_MODE_POSSIBLE)) {
        m_status = GL_SETUP_FAILED;
        demoMessageBox("Error",
                       "NTGuiLink::createWindow: no RGBA double-buffered format with depth");
        return m_status;
    }
    DemoApp* app = getApp();
    glutInitWindowSize(app->getWidth(), app->getHeight());
    m_window = glutCreateWindow(app->getName());
    if (m_window <= 0) {
        m_window = 0;
        m_status = WINDOW_FAILED;
        demoMessageBox("Error", "NTGuiLink::createWindow: the window could not be created");
        return m_status;
    }
    glutDisplayFunc(onDisplay);
    glutReshapeFunc(onReshape);
    glutCloseFunc(onClose);
    pinGlDriver();
    setUpGl();
    if (m_status != OK)
        return m_status;

    m_closeAfter = envNumber("MANUVIA_DEMO_FRAMES", 0);
    m_shotFrame = envNumber("MANUVIA_DEMO_SCREENSHOT_FRAME", 20);
    const char* shot = std::getenv("MANUVIA_DEMO_SCREENSHOT");
    m_shotFile = (shot && *shot) ? shot : nullptr;
    glutShowWindow();
    glutTimerFunc(kTimerMs, onTimer, m_window);
    return m_status;
}

void NTGuiLink::setUpGl() {
    if (!glutGet(GLUT_WINDOW_RGBA) || !glutGet(GLUT_WINDOW_DOUBLEBUFFER)) {
        m_status = GL_SETUP_FAILED;
        demoMessageBox("Error", "NTGuiLink::createWindow: the window has no RGBA double buffer");
        return;
    }
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glShadeModel(GL_SMOOTH);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    const GLfloat modelAmbient[] = {1.0f, 1.0f, 1.0f, 1.0f};
    const GLfloat ambient[] = {0.1f, 0.1f, 0.1f, 1.0f};
    const GLfloat diffuse[] = {0.5f, 1.0f, 1.0f, 1.0f};
    const GLfloat position[] = {90.0f, 90.0f, 150.0f, 0.0f};
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, modelAmbient);
    glLightfv(GL_LIGHT0, GL_AMBIENT, ambient);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
    glLightfv(GL_LIGHT0, GL_POSITION, position);
    glEnable(GL_LIGHT0);
    glEnable(GL_LIGHTING);
    int w = glutGet(GLUT_WINDOW_WIDTH);
    int h = glutGet(GLUT_WINDOW_HEIGHT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(60.0, h > 0 ? static_cast<double>(w) / h : 1.0, 1.0, 2000.0);
    glMatrixMode(GL_MODELVIEW);
    glDrawBuffer(GL_BACK);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void NTGuiLink::runLoop() {
    if (m_window == 0)
        return;
    glutMainLoop();
    // freeglut shuts itself down when its loop returns, windows included; the next window
    // initialises it again.
    m_window = 0;
    gGlutReady = false;
}

void NTGuiLink::paint() {
    DemoApp* app = getApp();
    app->beginFrame();
    app->draw();
    app->endFrame();
    ++m_frames;
    if (m_shotFile && m_frames == m_shotFrame) {
        std::string error;
        glReadBuffer(GL_BACK);
        if (!saveScreenshot(m_shotFile, glutGet(GLUT_WINDOW_WIDTH), glutGet(GLUT_WINDOW_HEIGHT),
                            error))
            demoMessageBox("Error", error.c_str());
    }
    glutSwapBuffers();
    if (m_closeAfter > 0 && m_frames >= m_closeAfter)
        glutLeaveMainLoop();
}

void NTGuiLink::onDisplay() {
    if (NTGuiLink* link = linkOfCurrentWindow())
        link->paint();
}

void NTGuiLink::onReshape(int width, int height) {
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(90.0, height > 0 ? static_cast<double>(width) / height : 1.0, 1.0, 2000.0);
    glMatrixMode(GL_MODELVIEW);
}

void NTGuiLink::onTimer(int window) {
    // The timer outlives nothing: a closed window's timer finds no link and stops.
    for (int i = 0; i < kMaxLinks; ++i) {
        if ((gUsed & (1u << i)) && gLinks[i]->m_window == window && window != 0) {
            glutSetWindow(window);
            glutPostRedisplay();
            glutTimerFunc(kTimerMs, onTimer, window);
            return;
        }
    }
}

void NTGuiLink::onClose() {
    // freeglut destroys the window after this returns and leaves the loop.
    if (NTGuiLink* link = linkOfCurrentWindow())
        link->m_window = 0;
}
