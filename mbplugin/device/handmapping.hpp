#pragma once
// Geometry of the glove-to-hand mapping that stands on its own.

#include "fbsdk/fbtypes.h"

namespace Manuvia {

// Roll of the thumb's middle joint, degrees: the angle between the thumb frame's first row
// and the normal of the plane through its second row and the thumb reference direction
// (7, 3, -2), mirrored for a left hand; signed by the side of that normal. 0 when the plane
// is undefined (reference parallel to the second row, or a frame that is not finite).
double middleThumbRoll(const FBMatrix& thumbFrame, bool rightHand);

}  // namespace Manuvia
