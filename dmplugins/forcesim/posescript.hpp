// The pose a simulated tracker follows: key poses at given times, linearly interpolated and
// repeated from the start after the last key.
//
// Text form, one key a line ('#' starts a comment, blank lines are skipped):
//     t x y z azimuth elevation roll
// t in seconds from the start (0 first, then increasing), the position in the tracker's
// units, the angles in degrees. No key at all: the tracker rests at the origin.
#pragma once

#include <string>
#include <vector>

namespace forcesim {

class PoseScript {
  public:
    // Replaces the keys; false (keys unchanged) and the reason when the text is not a
    // script: a line without seven finite numbers, times not starting at 0 or not
    // increasing, more than kMaxKeys keys.
    bool parse(const std::string& text, std::string& out_error);
    // x, y, z, azimuth, elevation, roll at `seconds` from the start.
    void poseAt(double seconds, double out_pose[6]) const;
    int keyCount() const { return static_cast<int>(m_keys.size()); }

    static constexpr int kMaxKeys = 10000;

  private:
    struct Key {
        double t;
        double pose[6];
    };
    std::vector<Key> m_keys;
};

// The value of `key` in a device text of key=value pairs separated by ':' or newline,
// copied into out (cut to size-1 characters); "" when absent.
void textSetting(const char* settings, const char* key, char* out, int size);

}  // namespace forcesim
