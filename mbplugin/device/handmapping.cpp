#include "handmapping.hpp"

#include <algorithm>
#include <cmath>

namespace Manuvia {
namespace {

struct Vec {
    double x, y, z;
    Vec cross(const Vec& o) const {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }
    double dot(const Vec& o) const { return x * o.x + y * o.y + z * o.z; }
};

}  // namespace

double middleThumbRoll(const FBMatrix& thumbFrame, bool rightHand) {
    Vec a{thumbFrame(0, 0), thumbFrame(0, 1), thumbFrame(0, 2)};
    Vec b{thumbFrame(1, 0), thumbFrame(1, 1), thumbFrame(1, 2)};
    double s = (rightHand ? 1.0 : -1.0) / std::sqrt(62.0);
    Vec r{7.0 * s, 3.0 * s, -2.0 * s};
    Vec c = r.cross(b);
    double length = std::sqrt(c.dot(c));
    if (!(length > 1e-12) || !std::isfinite(length))
        return 0.0;
    Vec n{c.x / length, c.y / length, c.z / length};
    double theta = std::acos(std::clamp(n.dot(a), -1.0, 1.0));
    if (a.cross(n).dot(b) < 0.0)
        theta = -theta;
    return theta * 57.29577951308232;
}

}  // namespace Manuvia
