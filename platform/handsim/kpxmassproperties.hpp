#pragma once
// Mass properties and motion state of a rigid body, in the scene's units (lengths as the
// shapes give them, mass = density x volume).

#include "handsim/kpxvector3d.hpp"

class kpxShape3D;

class kpxMassProperties {
  public:
    kpxMassProperties() = default;

    // Mass, centre of mass and principal inertia of `shape` filled with uniform `density`,
    // in the shape's own frame. Throws kpxBaseException* for a null shape, a shape without
    // geometry or a density that is not positive.
    void computeHomogeneousMassProp(const kpxShape3D* shape, double density = 1.0);

    double getMass() const { return m_mass; }
    const kpxVector3d& getCenterOfMass() const { return m_center; }
    // Diagonal of the inertia tensor about the centre of mass, along the shape's axes.
    const kpxVector3d& getInertia() const { return m_inertia; }

  private:
    double m_mass = 0.0;
    kpxVector3d m_center;
    kpxVector3d m_inertia;
};

// Motion state of a body; a fixed body is never moved by the simulation.
class kpxDynamicAttributes {
  public:
    kpxDynamicAttributes() = default;

    void setVelocity(const kpxVector3d& v) { m_velocity = v; }
    const kpxVector3d& getVelocity() const { return m_velocity; }
    void setAngularVelocity(const kpxVector3d& w) { m_angularVelocity = w; }
    const kpxVector3d& getAngularVelocity() const { return m_angularVelocity; }
    void setFixed(bool fixed) { m_fixed = fixed; }
    bool isFixed() const { return m_fixed; }

  private:
    kpxVector3d m_velocity;
    kpxVector3d m_angularVelocity;
    bool m_fixed = true;
};
