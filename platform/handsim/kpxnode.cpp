#include "handsim/kpxnode.hpp"

#include "handsim/kpxbaseexception.hpp"

#include <algorithm>
#include <mutex>

namespace {

std::recursive_mutex& graphMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

kpxNode* g_root = nullptr;  // guarded by the graph lock

}  // namespace

void kpxNode::sceneGraphLock() {
    graphMutex().lock();
}

void kpxNode::sceneGraphUnlock() {
    graphMutex().unlock();
}

kpxNode::kpxNode() = default;

kpxNode::~kpxNode() {
    kpxSceneGraphGuard guard;
    if (m_parent != nullptr) {
        m_parent->removeChild(this);
    }
    if (g_root == this) {
        g_root = nullptr;
    }
}

void kpxNode::setRoot() {
    kpxSceneGraphGuard guard;
    g_root = this;
}

kpxNode* kpxNode::getRoot() {
    kpxSceneGraphGuard guard;
    return g_root;
}

kpxTransform3D kpxNode::getWorldTransform() const {
    kpxTransform3D t = getLocalTransform();
    for (const kpxNode* n = m_parent; n != nullptr; n = n->m_parent) {
        t.mul(n->getLocalTransform(), kpxTransform3D::PreMultiply);
    }
    return t;
}

kpxGroup::kpxGroup() = default;

kpxGroup::~kpxGroup() {
    kpxSceneGraphGuard guard;
    for (kpxNode* child : m_children) {
        child->m_parent = nullptr;
    }
    m_children.clear();
}

void kpxGroup::addChild(kpxNode* child) {
    if (child == nullptr) {
        throw new kpxBaseException("kpxGroup::addChild: null child");
    }
    kpxSceneGraphGuard guard;
    if (child->m_parent != nullptr) {
        throw new kpxBaseException("kpxGroup::addChild: '" + child->getName() +
                                   "' already has a parent");
    }
    for (const kpxNode* n = this; n != nullptr; n = n->m_parent) {
        if (n == child) {
            throw new kpxBaseException("kpxGroup::addChild: a node cannot hold its own ancestor");
        }
    }
    m_children.push_back(child);
    child->m_parent = this;
}

bool kpxGroup::removeChild(kpxNode* child) {
    kpxSceneGraphGuard guard;
    auto it = std::find(m_children.begin(), m_children.end(), child);
    if (it == m_children.end()) {
        return false;
    }
    m_children.erase(it);
    child->m_parent = nullptr;
    return true;
}

kpxNode* kpxGroup::getChild(int index) const {
    if (index < 0 || index >= numChildren()) {
        throw new kpxBaseException("kpxGroup::getChild: no child " + std::to_string(index));
    }
    return m_children[static_cast<size_t>(index)];
}

kpxTransformGroup::kpxTransformGroup() = default;
kpxTransformGroup::~kpxTransformGroup() = default;

kpxComponent::kpxComponent() = default;
kpxComponent::~kpxComponent() = default;

void kpxComponent::setPhysicalAttributes(const kpxMassProperties& mass,
                                         const kpxDynamicAttributes& dyn) {
    m_mass = mass;
    m_dyn = dyn;
}
