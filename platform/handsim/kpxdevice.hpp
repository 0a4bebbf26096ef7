#pragma once
// Base of every toolkit device: something that is polled by update() and remembers when.
// Devices are not internally locked; a caller that shares one between threads guards it.

class kpxDevice {
  public:
    kpxDevice();
    virtual ~kpxDevice();
    kpxDevice(const kpxDevice&) = delete;
    kpxDevice& operator=(const kpxDevice&) = delete;

    // Polls the device; the base only stamps the update time.
    virtual void update();
    // Seconds on a monotonic clock of the last update (or of construction).
    double getLastUpdateTime() const { return m_lastUpdateTime; }

  protected:
    void stampUpdateTime();

  private:
    double m_lastUpdateTime = 0.0;
};

// Seconds on the monotonic clock shared by all devices.
double kpxNowSeconds();
