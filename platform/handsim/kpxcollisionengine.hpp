#pragma once
// Collision detection over a scene graph. The engine walks the graph below its root, builds
// one collision object per shape through its factory (cached by shape id, dropped when the
// shape leaves the graph) and tests every pair of shapes that can touch: an object of the
// scene against a hand part, or two objects of the scene. Hand parts are never tested
// against each other (neighbouring links always overlap at their joints).
//
// Not internally synchronised: use one engine from one thread. collisionCheck() takes the
// scene-graph lock while it reads the graph; the pairs it returns point at shapes of the
// graph and stay valid while those shapes live.

#include "handsim/kpxvector3d.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace fcl {
template <typename S>
class CollisionGeometry;
}

class kpxNode;
class kpxShape3D;
class kpxGeometry;

// Turns a toolkit geometry into the collision library's own.
class kpxCollisionFactory {
  public:
    virtual ~kpxCollisionFactory();
    // Null when the geometry is not supported (the shape then takes no part in collisions).
    virtual std::shared_ptr<fcl::CollisionGeometry<double>> createGeometry(
        const kpxGeometry& geometry) const = 0;
};

// Exact boxes, spheres and capsules.
class kpxVClipCollisionFactory : public kpxCollisionFactory {
  public:
    std::shared_ptr<fcl::CollisionGeometry<double>> createGeometry(
        const kpxGeometry& geometry) const override;
};

// One touching pair. Points and normals are in world coordinates (the frame of the scene's
// top node). For object `which` (0 or 1): the contact point is the point of that object
// reaching deepest into the other, the normal the unit direction that moves it out of the
// other, and the depth how far it must move.
class kpxCollisionPair {
  public:
    kpxCollisionPair(kpxShape3D* first, kpxShape3D* second, const kpxVector3d& pointOnFirst,
                     const kpxVector3d& pointOnSecond, const kpxVector3d& normalFirstToSecond,
                     double depth);

    kpxShape3D* getObject(int which) const { return m_objects[which != 0 ? 1 : 0]; }
    kpxVector3d getContactPoint(int which) const { return m_points[which != 0 ? 1 : 0]; }
    kpxVector3d getContactNormal(int which) const;
    double getDepth() const { return m_depth; }
    // Exchanges the two objects (and their points).
    void swap();

  private:
    kpxShape3D* m_objects[2];
    kpxVector3d m_points[2];
    kpxVector3d m_normal;  // from object 0 into object 1
    double m_depth;
};

class kpxCollisionEngine {
  public:
    enum Mode {
        DETECT = 1,    // which pairs touch (points and normals left as found)
        CONTACTS = 2,  // also contact points, normals and depths
    };

    // Neither root nor factory is owned; both must outlive the engine. Throws
    // kpxBaseException* for a null root or factory or an unknown mode.
    kpxCollisionEngine(kpxNode* root, kpxCollisionFactory* factory, int mode = CONTACTS);
    ~kpxCollisionEngine();
    kpxCollisionEngine(const kpxCollisionEngine&) = delete;
    kpxCollisionEngine& operator=(const kpxCollisionEngine&) = delete;

    // Tests the scene as it stands; returns the number of colliding pairs.
    int collisionCheck();
    const std::vector<kpxCollisionPair>& getCollidingPairs() const { return m_pairs; }
    int numCollidingPairs() const { return static_cast<int>(m_pairs.size()); }
    const kpxCollisionPair& getCollidingPair(int index) const;

    kpxNode* getRoot() const { return m_root; }
    int getMode() const { return m_mode; }

  private:
    struct Cache;
    kpxNode* m_root;
    kpxCollisionFactory* m_factory;
    int m_mode;
    std::unique_ptr<Cache> m_cache;
    std::vector<kpxCollisionPair> m_pairs;
};
