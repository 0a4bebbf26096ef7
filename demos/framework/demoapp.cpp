#include "framework/demoapp.hpp"

#include <GL/freeglut.h>
#include <GL/glu.h>

#include <cstring>

#include "framework/guilink.hpp"

namespace {
int* gArgc = nullptr;
char** gArgv = nullptr;
}  // namespace

// Read by NTGuiLink when it initialises freeglut.
void demoModuleArguments(int** out_argc, char*** out_argv) {
    *out_argc = gArgc;
    *out_argv = gArgv;
}

DemoApp::DemoApp(const char* name) : m_name(strdup(name ? name : "Untitled")) {
    (void)m_placeX;
    (void)m_placeY;
}

DemoApp::~DemoApp() {
    delete m_link;
    free(m_name);
}

void DemoApp::setModuleInstance(int* argc, char** argv) {
    gArgc = argc;
    gArgv = argv;
}

int DemoApp::openWindow() {
    if (!m_link)
        m_link = new NTGuiLink(this);
    return m_link->createWindow();
}

void DemoApp::beginFrame() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    // Each from identity: the frame must not compound the last one's transforms.
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-2.0, 2.0, -2.0, 2.0, 3.0, 500.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    gluLookAt(0.0, 2.0, 22.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0);
    glTranslated(0.0, 0.0, -10.0);
    glutWireCube(24.0);
}

void DemoApp::endFrame() {
    glFlush();
}

int DemoApp::runMessageLoop() {
    if (!m_link || m_link->getStatus() != NTGuiLink::OK || m_link->getWindow() == 0)
        return m_link ? m_link->getStatus() : NTGuiLink::WINDOW_FAILED;
    m_link->runLoop();
    return 0;
}
