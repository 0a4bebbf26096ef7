// The glove's SD card, backed by a folder of the host. Only plain file names inside that folder
// are reachable: a name from the wire never becomes a path outside it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace glovesim {

class SdCard {
  public:
    // An empty folder means "no card": the list is empty and nothing can be opened.
    explicit SdCard(std::string folder);
    ~SdCard();
    SdCard(const SdCard&) = delete;
    SdCard& operator=(const SdCard&) = delete;

    bool present() const { return !folder_.empty(); }

    // Regular files of the card, sorted by name, at most kMaxListed.
    std::vector<std::string> list() const;

    // True for a plain file name the card accepts (no separator, not "." or "..", printable).
    static bool validName(const std::string& name);

    // Creates the file when absent (an existing file is left as it is).
    bool touch(const std::string& name);

    // Reading a file for download; readChunk returns 0 at the end or on error.
    bool openForRead(const std::string& name);
    size_t readChunk(uint8_t* out, size_t capacity);
    void closeRead();

    // Appending recorded frames; writes stop once the file reaches kMaxFileBytes.
    bool openForAppend(const std::string& name);
    bool isAppendEmpty() const { return appendSize_ == 0; }
    void append(const std::string& text);
    void closeAppend();

    static constexpr size_t kMaxListed = 4096;
    static constexpr long long kMaxFileBytes = 64LL * 1024 * 1024;

  private:
    std::string pathOf(const std::string& name) const;

    std::string folder_;
    std::FILE* reader_ = nullptr;
    std::FILE* appender_ = nullptr;
    long long appendSize_ = 0;
};

}  // namespace glovesim
