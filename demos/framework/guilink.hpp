#pragma once
// The link between a DemoApp and its window. NTGuiLink is the freeglut window: RGBA, double
// buffered, with depth (the nearest format the display offers), the demos' lights and
// material, redrawn every 30 ms, resized with the window.
//
// A process keeps at most kMaxLinks open links; freeglut's callbacks find theirs by window.
//
// For tests and screenshots, the environment may ask (read when the window opens):
//   MANUVIA_DEMO_SCREENSHOT=FILE   save frame MANUVIA_DEMO_SCREENSHOT_FRAME (default 20) as
//                                  FILE (.png, else binary PPM)
//   MANUVIA_DEMO_FRAMES=N          close the window after N frames, as a user would
// GUI thread only.

class DemoApp;

class GuiLink {
  public:
    explicit GuiLink(DemoApp* app) : m_app(app) {}
    virtual ~GuiLink() = default;
    GuiLink(const GuiLink&) = delete;
    GuiLink& operator=(const GuiLink&) = delete;

    DemoApp* getApp() const { return m_app; }

  private:
    DemoApp* m_app;
};

class NTGuiLink : public GuiLink {
  public:
    enum Status { OK = 0, REGISTER_FAILED = -1, WINDOW_FAILED = -2, GL_SETUP_FAILED = -3 };
    static constexpr int kMaxLinks = 32;
    static constexpr int kTimerMs = 30;
    static constexpr int kTimerId = 1001;

    explicit NTGuiLink(DemoApp* app);
    // Destroys the window when it is still open.
    ~NTGuiLink() override;

    // Initialises freeglut (once per process), opens the window and sets GL up. Reports a
    // failure through demoMessageBox and keeps it as the status.
    int createWindow();
    // Until the window closes; the window (and freeglut's state) is gone on return.
    void runLoop();
    int getStatus() const { return m_status; }
    int getWindow() const { return m_window; }
    // Frames drawn so far.
    long getFrameCount() const { return m_frames; }

  private:
    static NTGuiLink* linkOfCurrentWindow();
    static void onDisplay();
    static void onReshape(int width, int height);
    static void onTimer(int value);
    static void onClose();
    void paint();
    void setUpGl();

    int m_window = 0;  // freeglut window id, 0 when none
    int m_slot = -1;   // index in the link table
    int m_status = OK;
    long m_frames = 0;
    long m_closeAfter = 0;  // frames; 0: only the user closes
    long m_shotFrame = 20;
    const char* m_shotFile = nullptr;  // from the environment
};
