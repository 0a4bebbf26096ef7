#include "avatar/kinematictree.hpp"

#include <cstring>
#include <memory>

namespace Avatar {

namespace {

KinNode* search(const char* name, std::size_t len, KinNode* node) {
    if (std::strncmp(node->name, name, len) == 0) {
        return node;
    }
    const std::uint64_t n = node->children.count();
    for (std::uint64_t i = 0; i < n; ++i) {
        if (KinNode* hit = search(name, len, node->children.at(i))) {
            return hit;
        }
    }
    return nullptr;
}

}  // namespace

KinNode* KinematicTree::findNode(const char* name, KinNode* start) const {
    KinNode* from = start ? start : root;
    if (!name || !from) {
        return nullptr;
    }
    return search(name, std::strlen(name), from);
}

void KinematicTree::attachFrames(KinNode* node, std::uint32_t jointType) {
    if (!node) {
        return;
    }
    node->localFrame = std::make_unique<JointFrame>(jointType);
    node->worldFrame = std::make_unique<JointFrame>(Fixed);
}

}  // namespace Avatar
