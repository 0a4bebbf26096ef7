#pragma once
// Reads BVH text back the way other tools do, for the tests: the joint tree, channels and
// frames, failing loudly on anything out of place.

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace bvhtest {

struct Joint {
    std::string name;
    int parent = -1;
    double offset[3] = {};
    std::vector<std::string> channels;
    bool endSite = false;
    double endOffset[3] = {1, 1, 1};
};

struct Motion {
    std::vector<Joint> joints;
    int channelCount = 0;
    double frameTime = 0.0;
    std::vector<std::vector<double>> frames;
};

inline Motion readBvh(const std::string& text) {
    std::istringstream in(text);
    Motion m;
    auto expect = [&](const std::string& want) {
        std::string word;
        if (!(in >> word) || word != want)
            throw std::runtime_error("expected '" + want + "', got '" + word + "'");
    };
    auto numbers = [&](double* out, int n) {
        for (int i = 0; i < n; ++i)
            if (!(in >> out[i]))
                throw std::runtime_error("expected a number");
    };
    expect("HIERARCHY");
    std::vector<int> open;  // joints whose '{' is not yet closed
    std::string word;
    in >> word;
    if (word != "ROOT")
        throw std::runtime_error("expected ROOT");
    while (true) {
        if (word == "ROOT" || word == "JOINT") {
            Joint j;
            in >> j.name;
            j.parent = open.empty() ? -1 : open.back();
            expect("{");
            expect("OFFSET");
            numbers(j.offset, 3);
            expect("CHANNELS");
            int n = 0;
            in >> n;
            for (int c = 0; c < n; ++c) {
                std::string ch;
                in >> ch;
                j.channels.push_back(ch);
            }
            m.channelCount += n;
            open.push_back(static_cast<int>(m.joints.size()));
            m.joints.push_back(j);
        } else if (word == "End") {
            expect("Site");
            expect("{");
            expect("OFFSET");
            m.joints.at(static_cast<std::size_t>(open.back())).endSite = true;
            numbers(m.joints.back().endOffset, 3);
            expect("}");
        } else if (word == "}") {
            open.pop_back();
            if (open.empty())
                break;
        } else {
            throw std::runtime_error("unexpected '" + word + "' in the hierarchy");
        }
        in >> word;
    }
    expect("MOTION");
    expect("Frames:");
    int frames = -1;
    in >> frames;
    expect("Frame");
    expect("Time:");
    in >> m.frameTime;
    if (!in || frames < 0)
        throw std::runtime_error("bad frame count or time");
    for (int f = 0; f < frames; ++f) {
        std::vector<double> values(static_cast<std::size_t>(m.channelCount));
        numbers(values.data(), m.channelCount);
        m.frames.push_back(values);
    }
    if (in >> word)
        throw std::runtime_error("text after the last frame: '" + word + "'");
    return m;
}

}  // namespace bvhtest
