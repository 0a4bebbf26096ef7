#include "handsim/kpxglove.hpp"

#include "handsim/kpxbaseexception.hpp"

#include <string>

kpxGlove::~kpxGlove() = default;

void kpxGlove::checkJoint(const char* where, int finger, int joint) {
    if (finger < 0 || finger >= kFingers || joint < 0 || joint >= kJoints) {
        throw new kpxBaseException(std::string(where) + ": no joint (" + std::to_string(finger) +
                                   ", " + std::to_string(joint) + ")");
    }
}
