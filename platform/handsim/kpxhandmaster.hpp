#pragma once
// Couples the inputs that drive one hand model: a glove for the finger joints and a 6-DOF
// device for the wrist pose. Holds both without owning them; they must outlive the master.

class kpxGlove;
class kpx6DofDevice;

class kpxHandMaster {
  public:
    // Throws kpxBaseException* when either input is null.
    kpxHandMaster(kpxGlove* glove, kpx6DofDevice* device);
    virtual ~kpxHandMaster();
    kpxHandMaster(const kpxHandMaster&) = delete;
    kpxHandMaster& operator=(const kpxHandMaster&) = delete;

    kpxGlove* getGlove() const { return m_glove; }
    kpx6DofDevice* get6DofDevice() const { return m_device; }
    // Polls both inputs.
    void update();

  private:
    kpxGlove* m_glove;
    kpx6DofDevice* m_device;
};
