// glovepanel's stream reassembly on arbitrary bytes: the bytes after "1S" was sent, taken
// whole, one byte at a time and in pieces whose sizes the input picks, must give the same
// outcome (echo found, or given up because a frame came first), the same frames and the same
// partial frame; every frame is exactly 61 bytes and every byte after the echo is accounted
// for.
#include "framereassembler.hpp"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using Echo = FrameReassembler::Echo;

struct Outcome {
    Echo echo = Echo::Waiting;
    std::vector<QByteArray> frames;
    qsizetype pending = 0;
};

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Feeds the stream in pieces of 1 + sizes[k] % 97 bytes (whole when sizes is empty), as the
// window does: echo search first, frames after it; once the echo is given up the rest is
// not the window's business.
Outcome feed(const QByteArray& stream, const QByteArray& sizes, bool byteByByte) {
    FrameReassembler r;
    r.awaitEcho();
    Outcome out;
    auto onFrame = [&out](const QByteArray& f) { out.frames.push_back(f); };
    qsizetype pos = 0;
    qsizetype k = 0;
    while (pos < stream.size() && out.echo != Echo::Missing) {
        qsizetype n = stream.size() - pos;
        if (byteByByte) {
            n = 1;
        } else if (!sizes.isEmpty()) {
            n = std::min<qsizetype>(n, 1 + static_cast<uint8_t>(sizes[k++ % sizes.size()]) % 97);
        }
        // A view, not a copy: allocations are what the sanitizer makes expensive.
        const QByteArray piece = QByteArray::fromRawData(stream.constData() + pos, n);
        pos += n;
        if (out.echo == Echo::Waiting) {
            QByteArray rest;
            out.echo = r.takeEcho(piece, rest);
            if (out.echo == Echo::Found) {
                r.takeFrameBytes(rest, onFrame);
            }
            check(r.echoPending() < FrameReassembler::kStampLength);  // bounded while waiting
        } else {
            r.takeFrameBytes(piece, onFrame);
        }
    }
    out.pending = r.pending();
    return out;
}

bool same(const Outcome& a, const Outcome& b) {
    return a.echo == b.echo && a.frames == b.frames && a.pending == b.pending;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // Byte 0: how many of the following bytes give piece sizes; the rest is the stream.
    const size_t sizeCount = std::min<size_t>(data[0] % 16, size - 1);
    const QByteArray sizes(reinterpret_cast<const char*>(data + 1),
                           static_cast<qsizetype>(sizeCount));
    // Eight frames show every way a piece can fall; more only slows the byte-wise feed.
    const QByteArray stream(reinterpret_cast<const char*>(data + 1 + sizeCount),
                            static_cast<qsizetype>(std::min<size_t>(size - 1 - sizeCount, 512)));

    const Outcome whole = feed(stream, QByteArray(), false);
    check(same(whole, feed(stream, QByteArray(), true)));
    check(same(whole, feed(stream, sizes, false)));
    // Every byte after the echo (less a leading NUL) is in a frame or the partial one.
    qsizetype after = 0;
    if (whole.echo == Echo::Found) {
        const qsizetype at = stream.indexOf("1S") + 2;
        after = stream.size() - at - (at < stream.size() && stream[at] == '\0' ? 1 : 0);
    } else {
        check(whole.frames.empty());
    }
    check(static_cast<qsizetype>(whole.frames.size()) * FrameReassembler::kFrameSize +
              whole.pending ==
          after);
    check(whole.pending < FrameReassembler::kFrameSize);
    for (const QByteArray& f : whole.frames) {
        check(f.size() == FrameReassembler::kFrameSize);
    }
    return 0;
}
