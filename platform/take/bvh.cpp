#include "bvh.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace mbhost {

namespace {

// Six decimals keep a hundredth of a micrometre and a millionth of a degree; exact gives the
// shortest text that reads back as the same double. + 0.0 drops a negative zero.
void number(std::string& out, double v, bool exact = false) {
    if (!std::isfinite(v))
        throw std::invalid_argument("a take value is not a finite number");
    char buf[64];
    auto r = exact ? std::to_chars(buf, buf + sizeof buf, v + 0.0)
                   : std::to_chars(buf, buf + sizeof buf, v + 0.0, std::chars_format::fixed, 6);
    if (r.ec != std::errc())
        throw std::invalid_argument("a take value is out of range");
    out.append(buf, r.ptr);
}

struct Writer {
    const BvhTake& take;
    std::string channels;  // "Zrotation Yrotation Xrotation" for XYZ
    int order[3];          // value index (x 0, y 1, z 2) of each channel
    std::vector<std::vector<int>> children;
    std::vector<int> written;  // joint indices in the order they are written
    std::string out;

    void indent(int depth) { out.append(static_cast<std::size_t>(2 * depth), ' '); }

    void joint(int j, int depth) {
        const BvhJoint& info = take.joints[static_cast<std::size_t>(j)];
        if (info.name.empty() || info.name.find_first_of(" \t\r\n{}") != std::string::npos)
            throw std::invalid_argument("joint name '" + info.name + "' is not a BVH name");
        written.push_back(j);
        indent(depth);
        out += (depth == 0 ? "ROOT " : "JOINT ") + info.name + "\n";
        indent(depth);
        out += "{\n";
        indent(depth + 1);
        out += "OFFSET";
        for (double v : info.offset) {
            out += ' ';
            number(out, v);
        }
        out += '\n';
        indent(depth + 1);
        out += depth == 0 ? "CHANNELS 6 Xposition Yposition Zposition " : "CHANNELS 3 ";
        out += channels + "\n";
        for (int child : children[static_cast<std::size_t>(j)])
            joint(child, depth + 1);
        if (info.endSite) {
            indent(depth + 1);
            out += "End Site\n";
            indent(depth + 1);
            out += "{\n";
            indent(depth + 2);
            out += "OFFSET 0.000000 0.000000 0.000000\n";
            indent(depth + 1);
            out += "}\n";
        }
        indent(depth);
        out += "}\n";
    }
};

}  // namespace

std::string writeBvh(const BvhTake& take, const char* axesApplied) {
    Writer w{take, {}, {}, {}, {}, {}};
    std::string axes = axesApplied ? axesApplied : "";
    if (axes.size() != 3 || axes.find('X') == std::string::npos ||
        axes.find('Y') == std::string::npos || axes.find('Z') == std::string::npos)
        throw std::invalid_argument("rotation order '" + axes + "' is not a permutation of XYZ");
    for (int c = 0; c < 3; ++c) {
        char axis = axes[static_cast<std::size_t>(2 - c)];
        w.order[c] = axis - 'X';
        w.channels += std::string(c ? " " : "") + axis + "rotation";
    }

    const int n = static_cast<int>(take.joints.size());
    w.children.resize(take.joints.size());
    int root = -1;
    for (int j = 0; j < n; ++j) {
        int parent = take.joints[static_cast<std::size_t>(j)].parent;
        if (parent < 0) {
            if (root >= 0)
                throw std::invalid_argument("a take has exactly one root joint");
            root = j;
        } else if (parent >= n || parent == j) {
            throw std::invalid_argument("joint " + std::to_string(j) + " has no valid parent");
        } else {
            w.children[static_cast<std::size_t>(parent)].push_back(j);
        }
    }
    if (root < 0)
        throw std::invalid_argument("a take has exactly one root joint");
    if (!(take.frameTime > 0.0) || !std::isfinite(take.frameTime))
        throw std::invalid_argument("the frame time must be a positive number of seconds");

    w.out = "HIERARCHY\n";
    w.joint(root, 0);
    if (static_cast<int>(w.written.size()) != n)
        throw std::invalid_argument("the joints do not form one tree");

    w.out += "MOTION\nFrames: " + std::to_string(take.frames.size()) + "\nFrame Time: ";
    number(w.out, take.frameTime, true);
    w.out += '\n';
    const std::size_t values = 3 + 3 * take.joints.size();
    for (const std::vector<double>& frame : take.frames) {
        if (frame.size() != values)
            throw std::invalid_argument("a frame holds " + std::to_string(frame.size()) +
                                        " values, not " + std::to_string(values));
        number(w.out, frame[0]);
        for (int k = 1; k < 3; ++k) {
            w.out += ' ';
            number(w.out, frame[static_cast<std::size_t>(k)]);
        }
        for (int j : w.written)
            for (int c = 0; c < 3; ++c) {
                w.out += ' ';
                number(w.out, frame[static_cast<std::size_t>(3 + 3 * j + w.order[c])]);
            }
        w.out += '\n';
    }
    return w.out;
}

}  // namespace mbhost
