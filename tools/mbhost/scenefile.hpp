#pragma once
// The small scene file of mbhost: the fields objects store into a scene (a name and a list of
// integers, reals and texts each), one line per field:
//
//   ManuviaScene: 1
//   Version: 100
//   Configuration: "Simulated", "RightGlove"
//
// A scene file comes from anywhere, so reading it checks everything and bounds everything.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mbhost {

using SceneValue = std::variant<int, double, std::string>;

struct SceneField {
    std::string name;  // letters, digits and '_', starting with a letter
    std::vector<SceneValue> values;
};

// A malformed, truncated or oversized scene, with the line it was found on.
class SceneError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr std::size_t kMaxSceneBytes = 1u << 20;
constexpr std::size_t kMaxSceneFields = 4096;
constexpr std::size_t kMaxSceneValues = 256;  // per field
constexpr std::size_t kMaxSceneText = 4096;   // bytes of one text value

std::string writeScene(const std::vector<SceneField>& fields);
// Throws SceneError.
std::vector<SceneField> readScene(std::string_view text);

// Whole files; both throw SceneError naming the file (the write goes through a temporary
// file and a rename, so a failed save never leaves half a scene).
void saveSceneFile(const std::string& path, const std::vector<SceneField>& fields);
std::vector<SceneField> loadSceneFile(const std::string& path);

}  // namespace mbhost
