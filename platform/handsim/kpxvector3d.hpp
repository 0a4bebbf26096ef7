#pragma once
// Three-component vector (points and directions alike), in the units of the caller
// (the hand model works in centimetres).

class kpxVector3d {
  public:
    kpxVector3d() = default;
    kpxVector3d(double x, double y, double z) : m_v{x, y, z} {}

    double getX() const { return m_v[0]; }
    double getY() const { return m_v[1]; }
    double getZ() const { return m_v[2]; }
    void setX(double v) { m_v[0] = v; }
    void setY(double v) { m_v[1] = v; }
    void setZ(double v) { m_v[2] = v; }
    void set(double x, double y, double z);
    // Component 0..2; no range check (hot path of the kinematics).
    double operator[](int i) const { return m_v[i]; }
    double& operator[](int i) { return m_v[i]; }

    double length() const;
    double lengthSquared() const;
    double dot(const kpxVector3d& other) const;

    // this := this - other
    void sub(const kpxVector3d& other);
    // this := a - b
    void sub(const kpxVector3d& a, const kpxVector3d& b);
    // this := this + other
    void add(const kpxVector3d& other);
    void scale(double factor);
    // this := a x b
    void cross(const kpxVector3d& a, const kpxVector3d& b);
    // Scales to unit length. A zero vector has no direction and is left unchanged;
    // returns false in that case.
    bool normalize();

    bool operator==(const kpxVector3d& other) const = default;

  private:
    double m_v[3] = {0.0, 0.0, 0.0};
};

kpxVector3d operator+(const kpxVector3d& a, const kpxVector3d& b);
kpxVector3d operator-(const kpxVector3d& a, const kpxVector3d& b);
kpxVector3d operator*(double s, const kpxVector3d& v);
