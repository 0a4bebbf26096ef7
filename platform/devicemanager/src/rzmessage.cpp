// Control-message header, field by field in network byte order.
#include <sys/time.h>

#include <cstring>

#include "devicemanager/rzplugin.h"

namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
}
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

extern "C" {

void RZ_MessageDecode(const RzMessageHeader* header, RzMessageInfo* out) {
    if (header == nullptr || out == nullptr) {
        return;
    }
    const uint8_t* b = header->bytes;
    std::memcpy(out->magic, b + RZ_HDR_MAGIC, 4);
    out->message = b[RZ_HDR_MESSAGE];
    out->senderKind = b[RZ_HDR_SENDER_KIND];
    out->receiverKind = b[RZ_HDR_RECEIVER_KIND];
    out->argcode = b[RZ_HDR_ARGCODE];
    out->senderHandle = get32(b + RZ_HDR_SENDER_HANDLE);
    out->receiverHandle = get32(b + RZ_HDR_RECEIVER_HANDLE);
    out->sequence = get16(b + RZ_HDR_SEQUENCE);
    out->answered = get16(b + RZ_HDR_ANSWERED);
    out->timeMicros = get32(b + RZ_HDR_TIME_MICROS);
    out->timeSeconds = get32(b + RZ_HDR_TIME_SECONDS);
    out->replyWanted = b[RZ_HDR_REPLY_WANTED];
    out->result = static_cast<int8_t>(b[RZ_HDR_RESULT]);
    out->length = get16(b + RZ_HDR_LENGTH);
}

void RZ_MessageEncode(const RzMessageInfo* info, RzMessageHeader* out) {
    if (info == nullptr || out == nullptr) {
        return;
    }
    uint8_t* b = out->bytes;
    std::memcpy(b + RZ_HDR_MAGIC, info->magic, 4);
    b[RZ_HDR_MESSAGE] = info->message;
    b[RZ_HDR_SENDER_KIND] = info->senderKind;
    b[RZ_HDR_RECEIVER_KIND] = info->receiverKind;
    b[RZ_HDR_ARGCODE] = info->argcode;
    put32(b + RZ_HDR_SENDER_HANDLE, info->senderHandle);
    put32(b + RZ_HDR_RECEIVER_HANDLE, info->receiverHandle);
    put16(b + RZ_HDR_SEQUENCE, info->sequence);
    put16(b + RZ_HDR_ANSWERED, info->answered);
    put32(b + RZ_HDR_TIME_MICROS, info->timeMicros);
    put32(b + RZ_HDR_TIME_SECONDS, info->timeSeconds);
    b[RZ_HDR_REPLY_WANTED] = info->replyWanted;
    b[RZ_HDR_RESULT] = static_cast<uint8_t>(info->result);
    put16(b + RZ_HDR_LENGTH, info->length);
}

void RZ_MessageStamp(RzMessageHeader* header) {
    if (header == nullptr) {
        return;
    }
    timeval tv{};
    gettimeofday(&tv, nullptr);
    put32(header->bytes + RZ_HDR_TIME_MICROS, static_cast<uint32_t>(tv.tv_usec / 1000 * 1000));
    put32(header->bytes + RZ_HDR_TIME_SECONDS, static_cast<uint32_t>(tv.tv_sec));
}

void RZ_MessagePrepare(RzMessageHeader* out, int message, int argcode, int senderKind,
                       uint32_t senderHandle, int receiverKind, uint32_t receiverHandle,
                       uint16_t sequence, int replyWanted, int length) {
    if (out == nullptr) {
        return;
    }
    RzMessageInfo info{};
    std::memcpy(info.magic, "RZI ", 4);
    info.message = static_cast<uint8_t>(message);
    info.argcode = static_cast<uint8_t>(argcode);
    info.senderKind = static_cast<uint8_t>(senderKind);
    info.senderHandle = senderHandle;
    info.receiverKind = static_cast<uint8_t>(receiverKind);
    info.receiverHandle = receiverHandle;
    info.sequence = sequence;
    info.replyWanted = replyWanted ? 1 : 0;
    info.length = static_cast<uint16_t>(length < 0 ? 0 : (length > 0xFFFF ? 0xFFFF : length));
    RZ_MessageEncode(&info, out);
    RZ_MessageStamp(out);
}

}  // extern "C"
