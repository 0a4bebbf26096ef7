#pragma once
// The grasp demo's world and its contact rule, apart from the window and the devices so
// that tests can step them with emulated inputs.

#include "handsim/kpxcollisionengine.hpp"
#include "handsim/kpxnode.hpp"
#include "handsim/kpxshape3d.hpp"

#include <vector>

class kpxVexaGrasp;

// The scene root (made the scene root on construction), a component under it and a sphere
// of radius 8 (20 x 20 divisions) under that, with homogeneous mass and dynamic attributes.
struct GraspScene {
    GraspScene();
    kpxGroup root;
    kpxComponent component;
    kpxShape3D sphere;
};

// Every pair of a hand part and an object of the scene becomes a contact patch on the
// touching phalanx: the hand part's contact point and normal in the phalanx's frame,
// stiffness 0.45, damping 1.0, the depth in metres (the scene is in centimetres). With a
// grasp whose mode is no longer 2, sets it to 2 again. Caller holds the scene-graph lock.
void applyGraspContacts(const std::vector<kpxCollisionPair>& pairs, kpxVexaGrasp* grasp);
