// A private folder under /tmp for one test, removed with everything in it. Under /tmp rather
// than $TMPDIR: links made inside must fit short path fields (the registry's serial port).
#pragma once

#include <map>
#include <string>

namespace testsupport {

class TempDir {
  public:
    // /tmp/<stem>-XXXXXX; throws std::runtime_error when the folder cannot be made.
    explicit TempDir(const std::string& stem = "manuvia-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // `name` inside the folder; an absolute `name` is taken as it is.
    std::string file(const std::string& name) const;
    // Writes `bytes` to file(name), making missing parent folders; returns that path.
    std::string write(const std::string& name, const std::string& bytes) const;
    // The whole of file(name); empty when it cannot be read.
    std::string read(const std::string& name) const;
    // Makes the folder file(name) (with parents) and returns its path.
    std::string mkdir(const std::string& name) const;

  private:
    std::string path_;
};

// The whole of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

// The variables of a shell file of lines "export NAME='value'" (other lines are skipped).
std::map<std::string, std::string> readExports(const std::string& path);

}  // namespace testsupport
