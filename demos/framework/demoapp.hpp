#pragma once
// Base of a demo's application: its name, its window (a NTGuiLink on freeglut, created by
// openWindow) and the frame every demo draws in.
//
// A demo builds its devices first, then opens the window: freeglut is initialised only in
// openWindow, so a demo without its devices ends before any window exists. runMessageLoop
// returns when the window is closed (or a test's frame budget runs out, see guilink.hpp),
// so the demo can stop its simulation and join its thread before anything is torn down.
//
// All of it runs on the GUI thread (the one that calls main).

class NTGuiLink;

class DemoApp {
  public:
    // Null name: "Untitled". The name is copied.
    explicit DemoApp(const char* name);
    virtual ~DemoApp();
    DemoApp(const DemoApp&) = delete;
    DemoApp& operator=(const DemoApp&) = delete;

    // Remembers the program's arguments for freeglut (called from main before anything).
    static void setModuleInstance(int* argc, char** argv);

    // Opens the window titled with the name: 0 when open, else the link's status (-2 no
    // display or no window, -3 no GL set-up), already reported through demoMessageBox.
    virtual int openWindow();
    // Clears, sets up the projection (frustum (-2, 2, -2, 2, 3, 500)) and the camera (at
    // (0, 2, 22) looking at the origin, y up, then translated by (0, 0, -10)), each from
    // identity, and draws the wire cube of size 24.
    virtual void beginFrame();
    // The demo's own drawing (its scene, under the scene-graph lock).
    virtual void draw() {}
    // Flushes.
    virtual void endFrame();
    virtual void reserved() {}
    // Runs the window's message loop until the window closes; gives 0, or the window's
    // status when it never opened.
    virtual int runMessageLoop();
    virtual const char* getName() const { return m_name; }

    int getWidth() const { return m_width; }
    int getHeight() const { return m_height; }
    NTGuiLink* getGuiLink() const { return m_link; }

  private:
    NTGuiLink* m_link = nullptr;  // owned
    int m_width = 512;
    int m_height = 512;
    int m_placeX = 100;  // kept for the demos; the window manager places the window
    int m_placeY = 80;
    char* m_name;  // owned copy
};
