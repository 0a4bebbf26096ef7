#include "handsim/kpxhumanhand.hpp"

#include "handsim/kpx6dofdevice.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxglove.hpp"
#include "handsim/kpxhandmaster.hpp"
#include "handsim/kpxphalanx.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace {

constexpr double kDeg = std::numbers::pi / 180.0;

// An adult hand of about 19.5 cm from wrist crease to middle fingertip. The thumb's
// carpometacarpal joint sits low on the radial side, its rest direction splayed 40 degrees
// from the index, tilted 35 degrees to the palm side and its nail turned 55 degrees towards
// the palm, so that flexing it sweeps across the palm and it can meet a curled index tip.
const kpxHumanHand::DigitGeometry kDigits[GHM::NUM_FINGERS] = {
    {kpxVector3d(-2.6, 2.2, -0.8),
     40.0 * kDeg,
     -35.0 * kDeg,
     -55.0 * kDeg,
     {4.6, 3.2, 2.7},
     2.0,
     1.8},
    {kpxVector3d(-2.3, 9.5, 0.0), 4.0 * kDeg, 0.0, 0.0, {4.6, 2.6, 2.0}, 1.8, 1.6},
    {kpxVector3d(-0.4, 9.8, 0.0), 0.0, 0.0, 0.0, {5.0, 3.0, 2.1}, 1.8, 1.6},
    {kpxVector3d(1.5, 9.3, 0.0), -4.0 * kDeg, 0.0, 0.0, {4.7, 2.9, 2.1}, 1.7, 1.5},
    {kpxVector3d(3.2, 8.4, 0.0), -9.0 * kDeg, 0.0, 0.0, {3.8, 2.1, 1.9}, 1.5, 1.3},
};

const kpxHumanHand::PalmGeometry kPalm = {-3.4, 4.1, 9.2, -1.3, 1.0};

kpxTransform3D translation(double x, double y, double z) {
    kpxTransform3D t;
    t.setTranslation(kpxVector3d(x, y, z));
    return t;
}

// Conjugation by the reflection x -> -x: maps a right-hand frame onto its left-hand mirror
// while keeping the transform a proper rotation.
kpxTransform3D mirrorX(const kpxTransform3D& t) {
    double r[3][3];
    t.getRotationMatrix(r);
    r[0][1] = -r[0][1];
    r[0][2] = -r[0][2];
    r[1][0] = -r[1][0];
    r[2][0] = -r[2][0];
    kpxVector3d p = t.getTranslation();
    p.setX(-p.getX());
    kpxTransform3D m;
    m.setRotationMatrix(r);
    m.setTranslation(p);
    return m;
}

}  // namespace

const kpxHumanHand::DigitGeometry& kpxHumanHand::restGeometry(int finger) {
    checkFinger("kpxHumanHand::restGeometry", finger);
    return kDigits[finger];
}

const kpxHumanHand::PalmGeometry& kpxHumanHand::restPalm() {
    return kPalm;
}

kpxHumanHand::kpxHumanHand(kpxHandMaster* master, double scale, GHM::Handedness handedness)
    : m_master(master), m_scale(scale), m_handedness(handedness) {
    if (master == nullptr) {
        throw new kpxBaseException("kpxHumanHand: a hand master is required");
    }
    if (!(scale > 0.0) || !std::isfinite(scale)) {
        throw new kpxBaseException("kpxHumanHand: scale must be positive");
    }
    // Links as capsules as thick as the link (the narrower of width and thickness), reaching
    // half a radius past each joint so that neighbours meet; the palm as its box.
    for (int f = 0; f < GHM::NUM_FINGERS; ++f) {
        const double radius = scale * std::min(kDigits[f].width, kDigits[f].thickness) / 2.0;
        for (int l = 0; l < 3; ++l) {
            const double length = scale * kDigits[f].length[l];
            const int index = f * 3 + l;
            m_phalanxes[index] = std::make_unique<kpxPhalanx>(
                this, index, new kpxCapsule(radius, std::max(length - radius, 0.0)),
                translation(0.0, length / 2.0, 0.0), &m_patches[index]);
        }
    }
    const PalmGeometry palm = getPalm();
    m_phalanxes[kpxPhalanx::kPalm] = std::make_unique<kpxPhalanx>(
        this, kpxPhalanx::kPalm,
        new kpxVertexBox(palm.xMax - palm.xMin, palm.length, palm.zMax - palm.zMin),
        translation((palm.xMin + palm.xMax) / 2.0, palm.length / 2.0,
                    (palm.zMin + palm.zMax) / 2.0),
        &m_patches[kpxPhalanx::kPalm]);
    update(false);
}

kpxHumanHand::~kpxHumanHand() = default;

kpxPhalanx* kpxHumanHand::getPhalanx(int index) const {
    if (index < 0 || index >= kpxPhalanx::kCount) {
        throw new kpxBaseException("kpxHumanHand::getPhalanx: no part " + std::to_string(index));
    }
    return m_phalanxes[index].get();
}

void kpxHumanHand::clearContactPatches() {
    for (auto& p : m_phalanxes) {
        p->clearContactPatch();
    }
}

void kpxHumanHand::pollDevices() {
    m_master->update();
}

void kpxHumanHand::setBaseTransform(const kpxTransform3D& base) {
    m_base = base;
    placePhalanxes();
}

void kpxHumanHand::placePhalanxes() {
    for (int f = 0; f < GHM::NUM_FINGERS; ++f) {
        kpxTransform3D t = m_base;
        for (int l = 0; l < 3; ++l) {
            t.mul(m_links[f][l]);
            m_phalanxes[f * 3 + l]->setFrame(t);
        }
    }
    m_phalanxes[kpxPhalanx::kPalm]->setFrame(m_base);
}

void kpxHumanHand::checkFinger(const char* where, int finger) {
    if (finger < 0 || finger >= GHM::NUM_FINGERS) {
        throw new kpxBaseException(std::string(where) + ": no finger " + std::to_string(finger));
    }
}

void kpxHumanHand::update(bool updateDevices) {
    if (updateDevices) {
        m_master->update();
    }
    const kpxGlove* glove = m_master->getGlove();
    for (int f = 0; f < GHM::NUM_FINGERS; ++f) {
        double values[4];
        for (int j = 0; j < 4; ++j) {
            values[j] = glove->getJointValue(f, j);
        }
        pose(f, values);
    }
    m_base = m_master->get6DofDevice()->getTransform();
    m_base.setTranslation(m_scale * m_base.getTranslation());
    placePhalanxes();
}

void kpxHumanHand::pose(int f, const double v[4]) {
    const DigitGeometry& g = kDigits[f];
    const double s = m_scale;
    const bool left = m_handedness == GHM::LEFT_HAND;
    // The left hand is built as the mirror of a right hand; its spread arrives negated from
    // the glove, and mirroring a rotation about z negates it again, so feeding the right-hand
    // chain the negated spread keeps the left spread in its mirrored sense.
    const double spread = left ? -v[3] : v[3];

    kpxTransform3D yaw, pitch, second;
    yaw.rotZ(g.yaw + spread);
    pitch.rotX(g.pitch);
    if (f == GHM::THUMB) {
        second.rotY(g.roll + v[0]);
    } else {
        second.rotX(v[0]);
    }
    kpxTransform3D j0 = translation(s * g.base.getX(), s * g.base.getY(), s * g.base.getZ());
    j0.mul(yaw);
    j0.mul(pitch);
    j0.mul(second);

    kpxTransform3D j1 = translation(0.0, s * g.length[0], 0.0);
    kpxTransform3D j2 = translation(0.0, s * g.length[1], 0.0);
    kpxTransform3D flex;
    // The thumb's column 0 is its roll, so its two outer joints take columns 1 and 2; the
    // fingers flex at all three.
    flex.rotX(v[1]);
    j1.mul(flex);
    flex.rotX(v[2]);
    j2.mul(flex);
    const kpxTransform3D tip = translation(0.0, s * g.length[2], 0.0);

    const kpxTransform3D chain[4] = {j0, j1, j2, tip};
    for (int j = 0; j < 4; ++j) {
        m_links[f][j] = left ? mirrorX(chain[j]) : chain[j];
    }
}

kpxTransform3D kpxHumanHand::getLinkTransform(int finger, int joint) const {
    checkFinger("kpxHumanHand::getLinkTransform", finger);
    if (joint < 0 || joint >= GHM::NUM_JOINTS) {
        throw new kpxBaseException("kpxHumanHand::getLinkTransform: no joint " +
                                   std::to_string(joint));
    }
    return m_links[finger][joint];
}

kpxTransform3D kpxHumanHand::getChainTransform(int finger, int joint) const {
    kpxTransform3D t;
    for (int j = 0; j <= joint; ++j) {
        t.mul(getLinkTransform(finger, j));
    }
    return t;
}

kpxVector3d kpxHumanHand::getFingertipPosition(int finger) const {
    return getChainTransform(finger, GHM::TIP).getTranslation();
}

double kpxHumanHand::getLinkLength(int finger, int link) const {
    checkFinger("kpxHumanHand::getLinkLength", finger);
    if (link < 0 || link > 2) {
        throw new kpxBaseException("kpxHumanHand::getLinkLength: no link " + std::to_string(link));
    }
    return m_scale * kDigits[finger].length[link];
}

double kpxHumanHand::getLinkWidth(int finger) const {
    checkFinger("kpxHumanHand::getLinkWidth", finger);
    return m_scale * kDigits[finger].width;
}

double kpxHumanHand::getLinkThickness(int finger) const {
    checkFinger("kpxHumanHand::getLinkThickness", finger);
    return m_scale * kDigits[finger].thickness;
}

kpxHumanHand::PalmGeometry kpxHumanHand::getPalm() const {
    PalmGeometry p = kPalm;
    if (m_handedness == GHM::LEFT_HAND) {
        p.xMin = -kPalm.xMax;
        p.xMax = -kPalm.xMin;
    }
    p.xMin *= m_scale;
    p.xMax *= m_scale;
    p.length *= m_scale;
    p.zMin *= m_scale;
    p.zMax *= m_scale;
    return p;
}
