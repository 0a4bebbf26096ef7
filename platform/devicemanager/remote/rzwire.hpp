// The device manager's network message format (tools/dmserver/PROTOCOL.md): request and
// reply frames on the control socket, data frames on the publish socket, and the server
// text that names a remote device manager. Encoders never fail; decoders check every length
// and give 0 or a negative RZERR code. Pure functions, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rzwire {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kVersion = 1;
constexpr size_t kRequestHeaderSize = 24;
constexpr size_t kReplyHeaderSize = 20;
constexpr size_t kDataHeaderSize = 28;
// Largest body either side accepts: a full control payload plus its fields.
constexpr uint32_t kMaxBody = 65536 + 64;
// Largest reply payload a control request may ask for (the core's message limit).
constexpr int kMaxCapacity = 65536;
constexpr size_t kMaxText = 1024;

enum class Op : uint8_t {
    None = 0,  // in error replies to frames whose operation could not be read
    Hello = 1,
    Open = 2,
    Close = 3,
    Control = 4,
    Attach = 5,
    Detach = 6,
    Heartbeat = 7,
    Bye = 8,
    Status = 9,
    Plugins = 10,
};

struct Request {
    uint8_t version = kVersion;
    Op op = Op::None;
    uint64_t session = 0;
    uint32_t id = 0;
    Bytes body;
};

struct Reply {
    Op op = Op::None;
    uint32_t id = 0;
    int32_t result = 0;
    Bytes body;
};

enum class DataKind : uint8_t { Data = 0, Announce = 1 };

// One publish-socket message: topic frame (the instance id) and this record.
struct DataRecord {
    DataKind kind = DataKind::Data;
    uint32_t sequence = 0;  // per topic, counts every record the server published
    uint64_t stampNs = 0;   // CLOCK_MONOTONIC of the server host when the device wrote it
    int32_t reason = 0;     // announcements: the stream reason
    Bytes payload;
};

Bytes encodeRequest(const Request& r);
// On error `out` keeps whatever header fields were readable (op and id for the error reply).
int decodeRequest(const uint8_t* data, size_t size, Request& out);
Bytes encodeReply(const Reply& r);
int decodeReply(const uint8_t* data, size_t size, Reply& out);

Bytes encodeTopic(uint32_t instance);
int decodeTopic(const uint8_t* data, size_t size, uint32_t& out);
Bytes encodeData(const DataRecord& r);
// The 28 header bytes of a data frame into `out`, for a payload of `payloadSize` bytes placed
// right after it by the caller (r.payload is not read): lets a sender build the frame in place.
void encodeDataHeader(const DataRecord& r, size_t payloadSize, uint8_t* out);
int decodeData(const uint8_t* data, size_t size, DataRecord& out);

// Big-endian body fields.
class Writer {
  public:
    Writer& u8(uint8_t v);
    Writer& u16(uint16_t v);
    Writer& u32(uint32_t v);
    Writer& u64(uint64_t v);
    Writer& text(std::string_view s);                // u16 length, then the bytes (cut at kMaxText)
    Writer& blob(const uint8_t* data, size_t size);  // u32 length, then the bytes
    Bytes take() { return std::move(bytes_); }

  private:
    Bytes bytes_;
};

// Reads fields in order; any short or oversized field makes every later read fail.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit Reader(const Bytes& b) : Reader(b.data(), b.size()) {}
    bool u8(uint8_t& v);
    bool u16(uint16_t& v);
    bool u32(uint32_t& v);
    bool u64(uint64_t& v);
    bool text(std::string& s);
    bool blob(Bytes& b, size_t max);
    // True when every read succeeded and nothing is left over.
    bool done() const { return ok_ && pos_ == size_; }

  private:
    bool take(size_t n, const uint8_t*& out);
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// "server=HOST:port=N" names a remote device manager when HOST is not empty and N is a port
// from 1 to 65535; an IPv6 host is written in brackets. Anything else (no port, port 0, an
// empty host, a null text) means in-process: false.
bool parseServerText(const char* text, std::string& outHost, int& outPort);
// ZeroMQ endpoint "tcp://HOST:PORT" (brackets kept for IPv6).
std::string endpoint(const std::string& host, int port);

}  // namespace rzwire
