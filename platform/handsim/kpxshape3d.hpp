#pragma once
// Shapes of the scene: a kpxShape3D leaf carries one geometry (owned) and a physical kind
// that tells the simulation what it is (0 an object of the scene, 2 a part of a hand).
// Geometries are centred on their shape's origin; kpxVertexBox and kpxVertexSphere also
// hold a triangle-ready vertex mesh for drawing, while collision uses their exact form.

#include "handsim/kpxnode.hpp"

#include <cstdint>
#include <memory>
#include <vector>

class kpxPhalanx;

class kpxGeometry {
  public:
    enum Kind { BOX, SPHERE, CAPSULE };
    virtual ~kpxGeometry();
    virtual Kind kind() const = 0;
    virtual double volume() const = 0;
    // Principal inertia about the centre per unit mass.
    virtual kpxVector3d unitInertia() const = 0;
};

// Box with edge lengths x, y, z, centred.
class kpxVertexBox : public kpxGeometry {
  public:
    // Throws kpxBaseException* unless every edge is positive and finite.
    kpxVertexBox(double x, double y, double z);
    Kind kind() const override { return BOX; }
    double volume() const override;
    kpxVector3d unitInertia() const override;
    double getX() const { return m_size[0]; }
    double getY() const { return m_size[1]; }
    double getZ() const { return m_size[2]; }

  private:
    double m_size[3];
};

// Sphere of `radius` tessellated into `slices` around the axis and `stacks` from pole to
// pole (for drawing).
class kpxVertexSphere : public kpxGeometry {
  public:
    // Throws kpxBaseException* for a radius that is not positive or fewer than 3 slices or
    // 2 stacks (more than 512 of either is capped).
    explicit kpxVertexSphere(double radius, int slices = 16, int stacks = 16);
    Kind kind() const override { return SPHERE; }
    double volume() const override;
    kpxVector3d unitInertia() const override;
    double getRadius() const { return m_radius; }
    int getSlices() const { return m_slices; }
    int getStacks() const { return m_stacks; }
    // (stacks + 1) x (slices + 1) unit normals, row by row from the -z pole; the vertices are
    // these times the radius.
    const std::vector<kpxVector3d>& getNormals() const { return m_normals; }

  private:
    double m_radius;
    int m_slices;
    int m_stacks;
    std::vector<kpxVector3d> m_normals;
};

// Capsule along y: a cylinder of `length` between two hemispheres of `radius`, centred.
class kpxCapsule : public kpxGeometry {
  public:
    // Throws kpxBaseException* for a radius that is not positive or a negative length.
    kpxCapsule(double radius, double length);
    Kind kind() const override { return CAPSULE; }
    double volume() const override;
    kpxVector3d unitInertia() const override;
    double getRadius() const { return m_radius; }
    double getLength() const { return m_length; }

  private:
    double m_radius;
    double m_length;
};

class kpxShape3D : public kpxNode {
  public:
    enum PhysicalKind { SCENE_OBJECT = 0, HAND_PART = 2 };

    // Takes ownership of `geometry`. Throws kpxBaseException* (and deletes nothing) for null.
    explicit kpxShape3D(kpxGeometry* geometry);
    ~kpxShape3D() override;

    const kpxGeometry* getGeometry() const { return m_geometry.get(); }
    int getPhysicalKind() const { return m_kind; }
    void setPhysicalKind(int kind) { m_kind = kind; }
    // The phalanx this shape stands for; null for objects of the scene.
    virtual kpxPhalanx* getPhalanx() { return nullptr; }

    // Placement of the geometry relative to the parent.
    void setTransform(const kpxTransform3D& t) { m_transform = t; }
    const kpxTransform3D& getTransform() const { return m_transform; }
    kpxTransform3D getLocalTransform() const override { return m_transform; }

    // Unique for the life of the process: caches keyed by it never mistake a new shape for
    // a deleted one at the same address.
    std::uint64_t getId() const { return m_id; }

  private:
    std::unique_ptr<kpxGeometry> m_geometry;
    int m_kind = SCENE_OBJECT;
    kpxTransform3D m_transform;
    std::uint64_t m_id;
};
