#include "handsim/kpxcollisionengine.hpp"

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxshape3d.hpp"

#include <fcl/geometry/shape/box.h>
#include <fcl/geometry/shape/capsule.h>
#include <fcl/geometry/shape/sphere.h>
#include <fcl/narrowphase/collision.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <utility>

namespace {

// Deeper graphs than this are taken as a mistake, not walked.
constexpr int kMaxDepth = 256;
// Contacts asked of the narrow phase per pair; the deepest is kept.
constexpr int kMaxContacts = 4;

fcl::Transform3d toFcl(const kpxTransform3D& t) {
    fcl::Transform3d out = fcl::Transform3d::Identity();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out.linear()(r, c) = t.element(r, c);
        }
        out.translation()(r) = t.element(r, 3);
    }
    return out;
}

kpxVector3d toKpx(const Eigen::Vector3d& v) {
    return kpxVector3d(v.x(), v.y(), v.z());
}

// Largest x.n over the geometry placed at t: how far it reaches along n.
double support(const kpxGeometry& g, const fcl::Transform3d& t, const Eigen::Vector3d& n) {
    const double centre = t.translation().dot(n);
    switch (g.kind()) {
        case kpxGeometry::SPHERE:
            return centre + static_cast<const kpxVertexSphere&>(g).getRadius();
        case kpxGeometry::CAPSULE: {
            const auto& c = static_cast<const kpxCapsule&>(g);
            const double axis = std::abs(t.linear().col(1).dot(n)) * c.getLength() / 2.0;
            return centre + axis + c.getRadius();
        }
        case kpxGeometry::BOX: {
            const auto& b = static_cast<const kpxVertexBox&>(g);
            const double half[3] = {b.getX() / 2.0, b.getY() / 2.0, b.getZ() / 2.0};
            double reach = centre;
            for (int i = 0; i < 3; ++i) {
                reach += half[i] * std::abs(t.linear().col(i).dot(n));
            }
            return reach;
        }
    }
    return centre;
}

struct Found {
    kpxShape3D* shape;
    fcl::Transform3d pose;  // of the toolkit geometry (capsules along y)
};

void collect(kpxNode* node, const kpxTransform3D& parentWorld, int depth, std::vector<Found>& out) {
    if (depth > kMaxDepth) {
        throw new kpxBaseException("kpxCollisionEngine: scene graph deeper than " +
                                   std::to_string(kMaxDepth));
    }
    kpxTransform3D world = parentWorld;
    world.mul(node->getLocalTransform());
    if (auto* shape = dynamic_cast<kpxShape3D*>(node)) {
        // A pose from broken device data (NaN, infinity) places nothing: the narrow phase
        // is not fed values it cannot converge on.
        const fcl::Transform3d pose = toFcl(world);
        if (pose.matrix().allFinite()) {
            out.push_back({shape, pose});
        }
        return;
    }
    if (auto* group = dynamic_cast<kpxGroup*>(node)) {
        for (int i = 0; i < group->numChildren(); ++i) {
            collect(group->getChild(i), world, depth + 1, out);
        }
    }
}

}  // namespace

kpxCollisionFactory::~kpxCollisionFactory() = default;

std::shared_ptr<fcl::CollisionGeometryd> kpxVClipCollisionFactory::createGeometry(
    const kpxGeometry& g) const {
    switch (g.kind()) {
        case kpxGeometry::SPHERE:
            return std::make_shared<fcl::Sphered>(
                static_cast<const kpxVertexSphere&>(g).getRadius());
        case kpxGeometry::BOX: {
            const auto& b = static_cast<const kpxVertexBox&>(g);
            return std::make_shared<fcl::Boxd>(b.getX(), b.getY(), b.getZ());
        }
        case kpxGeometry::CAPSULE: {
            const auto& c = static_cast<const kpxCapsule&>(g);
            return std::make_shared<fcl::Capsuled>(c.getRadius(), c.getLength());
        }
    }
    return nullptr;
}

kpxCollisionPair::kpxCollisionPair(kpxShape3D* first, kpxShape3D* second,
                                   const kpxVector3d& pointOnFirst,
                                   const kpxVector3d& pointOnSecond,
                                   const kpxVector3d& normalFirstToSecond, double depth)
    : m_objects{first, second},
      m_points{pointOnFirst, pointOnSecond},
      m_normal(normalFirstToSecond),
      m_depth(depth) {}

kpxVector3d kpxCollisionPair::getContactNormal(int which) const {
    return which != 0 ? m_normal : -1.0 * m_normal;
}

void kpxCollisionPair::swap() {
    std::swap(m_objects[0], m_objects[1]);
    std::swap(m_points[0], m_points[1]);
    m_normal.scale(-1.0);
}

struct kpxCollisionEngine::Cache {
    struct Entry {
        std::unique_ptr<fcl::CollisionObjectd> object;  // null: geometry not supported
        std::uint64_t seen = 0;
    };
    std::unordered_map<std::uint64_t, Entry> entries;
    std::uint64_t round = 0;
    std::vector<Found> shapes;
};

kpxCollisionEngine::kpxCollisionEngine(kpxNode* root, kpxCollisionFactory* factory, int mode)
    : m_root(root), m_factory(factory), m_mode(mode), m_cache(std::make_unique<Cache>()) {
    if (root == nullptr || factory == nullptr) {
        throw new kpxBaseException("kpxCollisionEngine: a root and a factory are required");
    }
    if (mode != DETECT && mode != CONTACTS) {
        throw new kpxBaseException("kpxCollisionEngine: unknown mode " + std::to_string(mode));
    }
}

kpxCollisionEngine::~kpxCollisionEngine() = default;

const kpxCollisionPair& kpxCollisionEngine::getCollidingPair(int index) const {
    if (index < 0 || index >= numCollidingPairs()) {
        throw new kpxBaseException("kpxCollisionEngine: no colliding pair " +
                                   std::to_string(index));
    }
    return m_pairs[static_cast<size_t>(index)];
}

int kpxCollisionEngine::collisionCheck() {
    m_pairs.clear();
    Cache& cache = *m_cache;
    const std::uint64_t round = ++cache.round;
    kpxSceneGraphGuard guard;

    cache.shapes.clear();
    kpxTransform3D above;
    if (m_root->getParent() != nullptr) {
        above = m_root->getParent()->getWorldTransform();
    }
    collect(m_root, above, 0, cache.shapes);

    std::vector<std::pair<const Found*, fcl::CollisionObjectd*>> live;
    live.reserve(cache.shapes.size());
    for (const Found& f : cache.shapes) {
        Cache::Entry& e = cache.entries[f.shape->getId()];
        if (e.seen == 0) {
            auto geometry = m_factory->createGeometry(*f.shape->getGeometry());
            if (geometry) {
                e.object = std::make_unique<fcl::CollisionObjectd>(geometry);
            }
        }
        e.seen = round;
        if (!e.object) {
            continue;
        }
        fcl::Transform3d pose = f.pose;
        if (f.shape->getGeometry()->kind() == kpxGeometry::CAPSULE) {
            // The library's capsules lie along z, ours along y.
            pose.linear() = pose.linear() * Eigen::AngleAxisd(-M_PI / 2, Eigen::Vector3d::UnitX());
        }
        e.object->setTransform(pose);
        e.object->computeAABB();
        live.emplace_back(&f, e.object.get());
    }
    std::erase_if(cache.entries, [round](const auto& kv) { return kv.second.seen != round; });

    const fcl::CollisionRequestd request(m_mode == CONTACTS ? kMaxContacts : 1, m_mode == CONTACTS);
    for (size_t i = 0; i < live.size(); ++i) {
        for (size_t j = i + 1; j < live.size(); ++j) {
            const Found& a = *live[i].first;
            const Found& b = *live[j].first;
            if (a.shape->getPhysicalKind() == kpxShape3D::HAND_PART &&
                b.shape->getPhysicalKind() == kpxShape3D::HAND_PART) {
                continue;
            }
            if (!live[i].second->getAABB().overlap(live[j].second->getAABB())) {
                continue;
            }
            fcl::CollisionResultd result;
            if (fcl::collide(live[i].second, live[j].second, request, result) == 0) {
                continue;
            }
            if (m_mode != CONTACTS || result.numContacts() == 0) {
                m_pairs.emplace_back(a.shape, b.shape, kpxVector3d(), kpxVector3d(), kpxVector3d(),
                                     0.0);
                continue;
            }
            const fcl::Contactd* deepest = &result.getContact(0);
            for (size_t k = 1; k < result.numContacts(); ++k) {
                if (result.getContact(k).penetration_depth > deepest->penetration_depth) {
                    deepest = &result.getContact(k);
                }
            }
            // The narrow-phase solvers disagree on where along the normal they put the
            // contact position, so each object's point is placed on that object's own
            // deepest plane along the normal.
            Eigen::Vector3d n = deepest->normal.normalized();
            const Eigen::Vector3d& pos = deepest->pos;
            const double onA = support(*a.shape->getGeometry(), a.pose, n);
            const double onB = -support(*b.shape->getGeometry(), b.pose, -n);
            const Eigen::Vector3d pa = pos + n * (onA - pos.dot(n));
            const Eigen::Vector3d pb = pos + n * (onB - pos.dot(n));
            m_pairs.emplace_back(a.shape, b.shape, toKpx(pa), toKpx(pb), toKpx(n),
                                 deepest->penetration_depth);
        }
    }
    return numCollidingPairs();
}
