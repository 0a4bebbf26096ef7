#pragma once
// The hand the device drives: 21 joints with their names, template names, the kinematic
// nodes they follow for each hand, and their rest geometry. Fixed in the program.

#include <array>

namespace Manuvia {

struct JointRow {
    const char* joint;      // shown in the layout; "_NA" marks a finger tip (no sensor)
    const char* templ;      // model template and animation node name
    const char* rightNode;  // kinematic node name for a right hand; "" for none
    const char* leftNode;   // and for a left hand
    double length;          // L, centimetres
    double offsetY;         // centimetres
    double offsetZ;         // centimetres; negated for a left hand
    double rest[3];         // rest rotation X, Y, Z, degrees; X and Y negated for a left hand
    double thumbBias;       // B, degrees; negated for a left hand
};

constexpr int kJointCount = 21;

extern const std::array<JointRow, kJointCount> kJointTable;

// Parent row of a row: -1 (the root template) for the palm, the palm for the first joint of
// each digit, else the row before.
int parentRow(int row);

}  // namespace Manuvia
