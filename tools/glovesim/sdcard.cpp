#include "glovesim/sdcard.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace glovesim {

namespace fs = std::filesystem;

SdCard::SdCard(std::string folder) : folder_(std::move(folder)) {}

SdCard::~SdCard() {
    closeRead();
    closeAppend();
}

bool SdCard::validName(const std::string& name) {
    if (name.empty() || name.size() > 253 || name == "." || name == "..") {
        return false;
    }
    for (unsigned char c : name) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string SdCard::pathOf(const std::string& name) const {
    return folder_ + "/" + name;
}

std::vector<std::string> SdCard::list() const {
    std::vector<std::string> names;
    if (!present()) {
        return names;
    }
    std::error_code ec;
    fs::directory_iterator it(folder_, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeEc;
        if (!it->is_regular_file(typeEc)) {
            continue;
        }
        std::string name = it->path().filename().string();
        if (!validName(name)) {
            continue;
        }
        names.push_back(std::move(name));
        if (names.size() >= kMaxListed) {
            break;
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool SdCard::touch(const std::string& name) {
    if (!present() || !validName(name)) {
        return false;
    }
    std::FILE* f = std::fopen(pathOf(name).c_str(), "ab");
    if (!f) {
        return false;
    }
    std::fclose(f);
    return true;
}

bool SdCard::openForRead(const std::string& name) {
    closeRead();
    if (!present() || !validName(name)) {
        return false;
    }
    reader_ = std::fopen(pathOf(name).c_str(), "rb");
    return reader_ != nullptr;
}

size_t SdCard::readChunk(uint8_t* out, size_t capacity) {
    if (!reader_) {
        return 0;
    }
    return std::fread(out, 1, capacity, reader_);
}

void SdCard::closeRead() {
    if (reader_) {
        std::fclose(reader_);
        reader_ = nullptr;
    }
}

bool SdCard::openForAppend(const std::string& name) {
    closeAppend();
    if (!present() || !validName(name)) {
        return false;
    }
    appender_ = std::fopen(pathOf(name).c_str(), "ab");
    if (!appender_) {
        return false;
    }
    std::error_code ec;
    auto size = fs::file_size(pathOf(name), ec);
    appendSize_ = ec ? 0 : static_cast<long long>(size);
    return true;
}

void SdCard::append(const std::string& text) {
    if (!appender_ || appendSize_ + static_cast<long long>(text.size()) > kMaxFileBytes) {
        return;
    }
    appendSize_ += static_cast<long long>(std::fwrite(text.data(), 1, text.size(), appender_));
}

void SdCard::closeAppend() {
    if (appender_) {
        std::fclose(appender_);
        appender_ = nullptr;
    }
    appendSize_ = 0;
}

}  // namespace glovesim
