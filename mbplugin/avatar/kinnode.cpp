#include "avatar/kinnode.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Avatar {

KinNode::KinNode() {
    children.setShared(false);
}

KinNode::~KinNode() = default;

void KinNode::update() {
    if (!localFrame || !worldFrame) {
        return;
    }
    computeLocal(*localFrame);
    *worldFrame = *localFrame;
    if (parent && parent->worldFrame) {
        composeFrame(*worldFrame, *parent->worldFrame, Pre);
    }
}

void KinNode::addChild(KinNode* child) {
    if (!child) {
        return;
    }
    children.append(child);
    child->parent = this;
}

void KinNode::setName(const char* text) {
    if (!text) {
        name[0] = '\0';
        return;
    }
    const std::size_t n = ::strnlen(text, kNameSize - 1);
    std::memcpy(name, text, n);
    name[n] = '\0';
}

void ThumbRollKNode::update() {
    KinNode* p = parent;
    KinNode* g = p ? p->parent : nullptr;
    KinNode* b = g ? g->parent : nullptr;
    if (b && b->localFrame && g->localFrame && p->localFrame && localFrame) {
        JointFrame t = *b->localFrame;
        composeFrame(t, *g->localFrame, Post);
        composeFrame(t, *p->localFrame, Post);

        Vec3 ex{1.0, 0.0, 0.0};
        Vec3 ez{0.0, 0.0, 1.0};
        rotateVector(t.rotation, ex);
        rotateVector(t.rotation, ez);
        const Vec3 p1 = t.position + ex;
        const Vec3 p2 = t.position + ez;

        Vec3 n = cross(rollReference, p2);
        normalizeVec3(n);
        // Rounding can push the cosine just past 1; acos would then give NaN.
        double angle = std::acos(std::clamp(dot(n, p1), -1.0, 1.0));
        if (dot(cross(n, p1), p2) > 0.0) {
            angle = -angle;
        }
        rollAngle = angle;
        localFrame->value = rollAngle + offset;
    }
    KinNode::update();
}

}  // namespace Avatar
