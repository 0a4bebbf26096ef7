#pragma once
// A contact patch of the hand-simulation toolkit: where and along which normal a finger
// touches an object (in the phalanx's frame), how stiff and damped the contact is, its
// depth, and two state flags (non-zero: set). The grasp device's force packet is built from
// these. Header-only so the device library can read it without the rest of the toolkit.

class kpxContactPatch {
  public:
    kpxContactPatch() = default;
    kpxContactPatch(const double point[3], const double normal[3]) {
        for (int i = 0; i < 3; ++i) {
            m_point[i] = point[i];
            m_normal[i] = normal[i];
        }
    }

    void setStiffness(double v) { m_stiffness = v; }
    void setDamping(double v) { m_damping = v; }
    double getStiffness() const { return m_stiffness; }
    double getDamping() const { return m_damping; }

    // Penetration depth, metres.
    void setDepth(double v) { m_depth = v; }
    double getDepth() const { return m_depth; }
    const double* getPoint() const { return m_point; }
    const double* getNormal() const { return m_normal; }
    void setPoint(double x, double y, double z) {
        m_point[0] = x;
        m_point[1] = y;
        m_point[2] = z;
    }
    void setNormal(double x, double y, double z) {
        m_normal[0] = x;
        m_normal[1] = y;
        m_normal[2] = z;
    }

    // Flag 0: the patch is in contact; flag 1: the contact is sliding.
    int getFlag(int which) const { return which == 0 ? m_flags[0] : m_flags[1]; }
    void setFlag(int which, int v) { m_flags[which == 0 ? 0 : 1] = v; }

  private:
    double m_stiffness = 0.0;
    double m_damping = 0.0;
    double m_depth = 0.0;
    double m_point[3] = {0.0, 0.0, 0.0};
    double m_normal[3] = {0.0, 0.0, 0.0};
    int m_flags[2] = {0, 0};
};
