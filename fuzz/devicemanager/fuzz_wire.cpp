// The device manager's network frames from anywhere (a client's requests, a server's replies
// and data), the body fields read in any order, and the server text. A frame either decodes
// to a negative code or to fields that encode to a frame decoding to the same fields.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rzwire.hpp"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Reads the bytes as the field sequence the selector bytes spell, as a request handler
// walks a body; a failed read fails every later one.
void walk(const uint8_t* script, size_t scriptSize, const uint8_t* data, size_t size) {
    rzwire::Reader in(data, size);
    bool ok = true;
    for (size_t i = 0; i < scriptSize; ++i) {
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        std::string text;
        rzwire::Bytes blob;
        bool read = false;
        switch (script[i] % 6) {
            case 0:
                read = in.u8(u8);
                break;
            case 1:
                read = in.u16(u16);
                break;
            case 2:
                read = in.u32(u32);
                break;
            case 3:
                read = in.u64(u64);
                break;
            case 4:
                read = in.text(text);
                check(!read || text.size() <= rzwire::kMaxText);
                break;
            default:
                read = in.blob(blob, 4096);
                check(!read || blob.size() <= 4096);
                break;
        }
        check(ok || !read);
        ok = ok && read;
    }
    check(!in.done() || ok);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t which = data[0];
    ++data;
    --size;
    switch (which % 5) {
        case 0: {
            rzwire::Request r;
            if (rzwire::decodeRequest(data, size, r) == 0) {
                const rzwire::Bytes once = rzwire::encodeRequest(r);
                rzwire::Request again;
                check(rzwire::decodeRequest(once.data(), once.size(), again) == 0);
                check(rzwire::encodeRequest(again) == once);
            }
            break;
        }
        case 1: {
            rzwire::Reply r;
            if (rzwire::decodeReply(data, size, r) == 0) {
                const rzwire::Bytes once = rzwire::encodeReply(r);
                rzwire::Reply again;
                check(rzwire::decodeReply(once.data(), once.size(), again) == 0);
                check(rzwire::encodeReply(again) == once);
            }
            break;
        }
        case 2: {
            rzwire::DataRecord r;
            if (rzwire::decodeData(data, size, r) == 0) {
                const rzwire::Bytes once = rzwire::encodeData(r);
                rzwire::DataRecord again;
                check(rzwire::decodeData(once.data(), once.size(), again) == 0);
                check(rzwire::encodeData(again) == once);
            }
            uint32_t topic = 0;
            if (rzwire::decodeTopic(data, size, topic) == 0) {
                check(rzwire::encodeTopic(topic) == rzwire::Bytes(data, data + size));
            }
            break;
        }
        case 3: {
            const std::string text(reinterpret_cast<const char*>(data), size);
            std::string host;
            int port = 0;
            if (rzwire::parseServerText(text.c_str(), host, port)) {
                check(!host.empty() && port >= 1 && port <= 65535);
                (void)rzwire::endpoint(host, port);
            }
            break;
        }
        default: {
            // First byte: how many of the following bytes are the field sequence.
            const size_t n = size > 0 ? std::min<size_t>(data[0], size - 1) : 0;
            walk(data + 1, n, data + 1 + n, size > 0 ? size - 1 - n : 0);
            break;
        }
    }
    return 0;
}
