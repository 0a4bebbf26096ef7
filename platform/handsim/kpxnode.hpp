#pragma once
// The scene graph: groups hold child nodes, transform groups and components place their
// children, shapes (kpxShape3D) are the leaves. One process-wide lock guards the whole graph:
// the engine thread takes it while it moves hand links and checks collisions, the drawing
// thread while it draws. Parents never own their children; whoever creates a node deletes
// it, and a node deleted while attached detaches itself (under the lock) first.

#include "handsim/kpxmassproperties.hpp"
#include "handsim/kpxtransform3d.hpp"

#include <string>
#include <vector>

class kpxGroup;

class kpxNode {
  public:
    kpxNode();
    virtual ~kpxNode();
    kpxNode(const kpxNode&) = delete;
    kpxNode& operator=(const kpxNode&) = delete;

    void setName(const std::string& name) { m_name = name; }
    const std::string& getName() const { return m_name; }
    kpxGroup* getParent() const { return m_parent; }

    // Makes this node the scene root, the place where registered hands put their links.
    void setRoot();
    static kpxNode* getRoot();

    // Placement of this node's content relative to its parent; identity for plain groups.
    virtual kpxTransform3D getLocalTransform() const { return kpxTransform3D(); }
    // Product of the local transforms from the top of the graph down to this node.
    kpxTransform3D getWorldTransform() const;

    // The graph lock (recursive, so a holder may call code that takes it again).
    static void sceneGraphLock();
    static void sceneGraphUnlock();

  private:
    friend class kpxGroup;
    std::string m_name;
    kpxGroup* m_parent = nullptr;
};

// Holds the graph lock for a scope.
class kpxSceneGraphGuard {
  public:
    kpxSceneGraphGuard() { kpxNode::sceneGraphLock(); }
    ~kpxSceneGraphGuard() { kpxNode::sceneGraphUnlock(); }
    kpxSceneGraphGuard(const kpxSceneGraphGuard&) = delete;
    kpxSceneGraphGuard& operator=(const kpxSceneGraphGuard&) = delete;
};

class kpxGroup : public kpxNode {
  public:
    kpxGroup();
    ~kpxGroup() override;

    // Attaches `child` (not owned). Throws kpxBaseException* for a null child, a child that
    // already has a parent, or one that would make a cycle.
    void addChild(kpxNode* child);
    // Detaches `child` when it is one of ours; returns whether it was.
    bool removeChild(kpxNode* child);
    int numChildren() const { return static_cast<int>(m_children.size()); }
    kpxNode* getChild(int index) const;

  private:
    std::vector<kpxNode*> m_children;
};

// A group that places its children with its own transform.
class kpxTransformGroup : public kpxGroup {
  public:
    kpxTransformGroup();
    ~kpxTransformGroup() override;

    void setTransform(const kpxTransform3D& t) { m_transform = t; }
    const kpxTransform3D& getTransform() const { return m_transform; }
    kpxTransform3D getLocalTransform() const override { return m_transform; }

  private:
    kpxTransform3D m_transform;
};

// A rigid body of the scene: its shapes hang below it, and it carries the body's mass
// properties and motion state.
class kpxComponent : public kpxTransformGroup {
  public:
    kpxComponent();
    ~kpxComponent() override;

    void setPhysicalAttributes(const kpxMassProperties& mass, const kpxDynamicAttributes& dyn);
    const kpxMassProperties& getMassProperties() const { return m_mass; }
    const kpxDynamicAttributes& getDynamicAttributes() const { return m_dyn; }

  private:
    kpxMassProperties m_mass;
    kpxDynamicAttributes m_dyn;
};
