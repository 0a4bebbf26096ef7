#pragma once
// The ghost demo's world, apart from the window and the devices so that tests can step it
// with emulated inputs: the root group "Root" (made the scene root), a transform group under
// it, a 5 x 5 x 5 box under that, and a collision engine over the root (V-Clip factory,
// mode 2).

#include "handsim/kpxcollisionengine.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxshape3d.hpp"

#include <memory>

struct GhostScene {
    GhostScene();
    kpxGroup root;
    kpxTransformGroup transform;
    kpxShape3D box;
    kpxVClipCollisionFactory factory;
    // Created after the scene, as the demo does (createCollisionEngine()).
    std::unique_ptr<kpxCollisionEngine> collision;

    void createCollisionEngine();
};
