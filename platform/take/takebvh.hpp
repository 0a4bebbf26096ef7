#pragma once
// A take as BVH of the animation-host plug-in's 21-joint hand, posed by the plug-in's own
// glove-to-hand binding. Separate from take.hpp: it needs the binding (and the host SDK's types
// under it), which the readers of takes (the dummy plug-in) do not.

#include <string>

#include "take.hpp"

namespace take {

// The received frames in order at the take's nominal period, holes not filled in: ROOT palm,
// template names, rest offsets of the take's hand in centimetres, rotations in degrees.
std::string takeToBvh(const Take& t);

}  // namespace take
