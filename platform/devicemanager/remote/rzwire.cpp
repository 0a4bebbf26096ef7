#include "rzwire.hpp"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "devicemanager/rzerr.h"

namespace rzwire {

namespace {

constexpr uint8_t kMagic[4] = {'R', 'Z', 'D', 'M'};
constexpr uint8_t kDataMagic[4] = {'R', 'Z', 'D', 'S'};

void put(Bytes& b, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void store(uint8_t* p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        *p++ = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint64_t get(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Checks the magic, version and declared body length shared by every frame kind; fills
// `outBody` with the body's position. The version is checked after the magic so that a
// frame of a later version is told so rather than called garbage.
int checkFrame(const uint8_t* data, size_t size, const uint8_t (&magic)[4], size_t header,
               size_t lengthAt, uint8_t& outVersion) {
    if (data == nullptr || size < 5 || std::memcmp(data, magic, 4) != 0) {
        return RZERR_INVALID_MESSAGE;
    }
    outVersion = data[4];
    if (outVersion != kVersion) {
        return RZERR_PLUGIN_INCOMPATIBLE_VERSION;
    }
    if (size < header) {
        return RZERR_MESSAGE_INCOMPLETE;
    }
    uint64_t length = get(data + lengthAt, 4);
    if (length > kMaxBody) {
        return RZERR_MESSAGE_TOO_LARGE;
    }
    if (length != size - header) {
        return RZERR_MESSAGE_INVALID_BODY;
    }
    return RZERR_NO_ERROR;
}

}  // namespace

Bytes encodeRequest(const Request& r) {
    Bytes b(kMagic, kMagic + 4);
    b.reserve(kRequestHeaderSize + r.body.size());
    put(b, r.version, 1);
    put(b, static_cast<uint8_t>(r.op), 1);
    put(b, 0, 2);
    put(b, r.session, 8);
    put(b, r.id, 4);
    put(b, r.body.size(), 4);
    b.insert(b.end(), r.body.begin(), r.body.end());
    return b;
}

int decodeRequest(const uint8_t* data, size_t size, Request& out) {
    out = Request{};
    int r = checkFrame(data, size, kMagic, kRequestHeaderSize, 20, out.version);
    if (size >= 6 && r != RZERR_INVALID_MESSAGE) {
        out.op = static_cast<Op>(data[5]);
    }
    if (size >= kRequestHeaderSize && r != RZERR_INVALID_MESSAGE) {
        out.session = get(data + 8, 8);
        out.id = static_cast<uint32_t>(get(data + 16, 4));
    }
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    out.body.assign(data + kRequestHeaderSize, data + size);
    return RZERR_NO_ERROR;
}

Bytes encodeReply(const Reply& r) {
    Bytes b(kMagic, kMagic + 4);
    b.reserve(kReplyHeaderSize + r.body.size());
    put(b, kVersion, 1);
    put(b, static_cast<uint8_t>(r.op), 1);
    put(b, 0, 2);
    put(b, r.id, 4);
    put(b, static_cast<uint32_t>(r.result), 4);
    put(b, r.body.size(), 4);
    b.insert(b.end(), r.body.begin(), r.body.end());
    return b;
}

int decodeReply(const uint8_t* data, size_t size, Reply& out) {
    out = Reply{};
    uint8_t version = 0;
    int r = checkFrame(data, size, kMagic, kReplyHeaderSize, 16, version);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    out.op = static_cast<Op>(data[5]);
    out.id = static_cast<uint32_t>(get(data + 8, 4));
    out.result = static_cast<int32_t>(static_cast<uint32_t>(get(data + 12, 4)));
    out.body.assign(data + kReplyHeaderSize, data + size);
    return RZERR_NO_ERROR;
}

Bytes encodeTopic(uint32_t instance) {
    Bytes b;
    put(b, instance, 4);
    return b;
}

int decodeTopic(const uint8_t* data, size_t size, uint32_t& out) {
    if (data == nullptr || size != 4) {
        return RZERR_INVALID_MESSAGE;
    }
    out = static_cast<uint32_t>(get(data, 4));
    return RZERR_NO_ERROR;
}

void encodeDataHeader(const DataRecord& r, size_t payloadSize, uint8_t* out) {
    std::memcpy(out, kDataMagic, 4);
    out[4] = kVersion;
    out[5] = static_cast<uint8_t>(r.kind);
    store(out + 6, 0, 2);
    store(out + 8, r.sequence, 4);
    store(out + 12, r.stampNs, 8);
    store(out + 20, static_cast<uint32_t>(r.reason), 4);
    store(out + 24, payloadSize, 4);
}

Bytes encodeData(const DataRecord& r) {
    Bytes b(kDataHeaderSize + r.payload.size());
    encodeDataHeader(r, r.payload.size(), b.data());
    std::copy(r.payload.begin(), r.payload.end(), b.begin() + kDataHeaderSize);
    return b;
}

int decodeData(const uint8_t* data, size_t size, DataRecord& out) {
    // The payload keeps its storage: a receiver decoding into one record allocates once.
    out.kind = DataKind::Data;
    out.sequence = 0;
    out.stampNs = 0;
    out.reason = 0;
    out.payload.clear();
    uint8_t version = 0;
    int r = checkFrame(data, size, kDataMagic, kDataHeaderSize, 24, version);
    if (r != RZERR_NO_ERROR) {
        return r;
    }
    if (data[5] > static_cast<uint8_t>(DataKind::Announce)) {
        return RZERR_INVALID_MESSAGE;
    }
    out.kind = static_cast<DataKind>(data[5]);
    out.sequence = static_cast<uint32_t>(get(data + 8, 4));
    out.stampNs = get(data + 12, 8);
    out.reason = static_cast<int32_t>(static_cast<uint32_t>(get(data + 20, 4)));
    out.payload.assign(data + kDataHeaderSize, data + size);
    return RZERR_NO_ERROR;
}

Writer& Writer::u8(uint8_t v) {
    put(bytes_, v, 1);
    return *this;
}
Writer& Writer::u16(uint16_t v) {
    put(bytes_, v, 2);
    return *this;
}
Writer& Writer::u32(uint32_t v) {
    put(bytes_, v, 4);
    return *this;
}
Writer& Writer::u64(uint64_t v) {
    put(bytes_, v, 8);
    return *this;
}
Writer& Writer::text(std::string_view s) {
    s = s.substr(0, kMaxText);
    put(bytes_, s.size(), 2);
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
}
Writer& Writer::blob(const uint8_t* data, size_t size) {
    put(bytes_, size, 4);
    if (size > 0) {
        bytes_.insert(bytes_.end(), data, data + size);
    }
    return *this;
}

bool Reader::take(size_t n, const uint8_t*& out) {
    if (!ok_ || n > size_ - pos_) {
        ok_ = false;
        return false;
    }
    out = data_ + pos_;
    pos_ += n;
    return true;
}

bool Reader::u8(uint8_t& v) {
    const uint8_t* p;
    if (!take(1, p)) {
        return false;
    }
    v = p[0];
    return true;
}
bool Reader::u16(uint16_t& v) {
    const uint8_t* p;
    if (!take(2, p)) {
        return false;
    }
    v = static_cast<uint16_t>(get(p, 2));
    return true;
}
bool Reader::u32(uint32_t& v) {
    const uint8_t* p;
    if (!take(4, p)) {
        return false;
    }
    v = static_cast<uint32_t>(get(p, 4));
    return true;
}
bool Reader::u64(uint64_t& v) {
    const uint8_t* p;
    if (!take(8, p)) {
        return false;
    }
    v = get(p, 8);
    return true;
}
bool Reader::text(std::string& s) {
    uint16_t n = 0;
    const uint8_t* p;
    if (!u16(n) || n > kMaxText || !take(n, p)) {
        ok_ = false;
        return false;
    }
    s.assign(reinterpret_cast<const char*>(p), n);
    // A device text with a NUL inside would be cut short by the C interface: refuse it.
    if (s.find('\0') != std::string::npos) {
        ok_ = false;
        return false;
    }
    return true;
}
bool Reader::blob(Bytes& b, size_t max) {
    uint32_t n = 0;
    const uint8_t* p;
    if (!u32(n) || n > max || !take(n, p)) {
        ok_ = false;
        return false;
    }
    b.assign(p, p + n);
    return true;
}

bool parseServerText(const char* text, std::string& outHost, int& outPort) {
    if (text == nullptr) {
        return false;
    }
    std::string s = text;
    std::string host;
    long port = 0;
    bool portSeen = false;
    size_t pos = 0;
    while (pos <= s.size()) {
        // Tokens end at ':' or newline, except inside a bracketed IPv6 address.
        size_t end = pos;
        bool bracket = false;
        while (end < s.size() && (bracket || (s[end] != ':' && s[end] != '\n'))) {
            bracket = s[end] == '[' ? true : (s[end] == ']' ? false : bracket);
            ++end;
        }
        std::string token = s.substr(pos, end - pos);
        size_t eq = token.find('=');
        if (eq != std::string::npos) {
            std::string key = token.substr(0, eq);
            std::string value = token.substr(eq + 1);
            if (strcasecmp(key.c_str(), "server") == 0) {
                host = value;
            } else if (strcasecmp(key.c_str(), "port") == 0) {
                char* stop = nullptr;
                port = std::strtol(value.c_str(), &stop, 10);
                portSeen = !value.empty() && *stop == '\0';
            }
        }
        pos = end + 1;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty() || !portSeen || port < 1 || port > 65535) {
        return false;
    }
    outHost = host;
    outPort = static_cast<int>(port);
    return true;
}

std::string endpoint(const std::string& host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    return "tcp://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace rzwire
