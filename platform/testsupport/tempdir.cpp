#include "testsupport/tempdir.hpp"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {

TempDir::TempDir(const std::string& stem) {
    std::string pattern = "/tmp/" + stem + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("cannot make " + pattern + ": " + std::strerror(errno));
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
    return !name.empty() && name.front() == '/' ? name : path_ + "/" + name;
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    const std::string target = file(name);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
    std::ofstream(target, std::ios::binary) << bytes;
    return target;
}

std::string TempDir::read(const std::string& name) const {
    return readFile(file(name));
}

std::string TempDir::mkdir(const std::string& name) const {
    const std::string target = file(name);
    std::error_code ec;
    std::filesystem::create_directories(target, ec);
    return target;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string> readExports(const std::string& path) {
    std::map<std::string, std::string> vars;
    std::istringstream lines(readFile(path));
    const std::string prefix = "export ";
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find("='");
        if (line.rfind(prefix, 0) == 0 && eq != std::string::npos && line.back() == '\'') {
            vars[line.substr(prefix.size(), eq - prefix.size())] =
                line.substr(eq + 2, line.size() - eq - 3);
        }
    }
    return vars;
}

}  // namespace testsupport
